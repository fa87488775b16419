#pragma once

#include "media/mediadetails.h"

#include <chrono>
#include <string>

using Deadline = std::chrono::steady_clock::time_point;

struct ProbeResult
{
    enum class Outcome { Read, Unreadable, GaveUp };

    Outcome outcome = Outcome::Unreadable;
    MediaDetails details;
};

// Reads what the file is with FFmpeg: only a regular file, only that file (a container that
// names others is not followed), giving up at the deadline.
ProbeResult probeFile(const std::string &utf8Path, Deadline deadline);
