#pragma once

#include "convert/decision.h"

#include <QObject>
#include <QString>

#include <functional>

// What the ffmpeg at hand can do, asked of it once: its encoders (libx264 is in Debian's, not in
// every build) and whether it has the subtitles filter that burns subtitles in.
namespace FfmpegCapabilities {

// The options as the program's own listings say them.
DecisionOptions fromListings(const QByteArray &encoders, const QByteArray &filters);

// Runs `program -encoders` and `-filters` in the background and hands the options to `done`
// on the event loop (not when `context` is gone by then); a program that is missing or does
// not answer within a few seconds gives options that convert nothing.
void ask(const QString &program, QObject *context, std::function<void(DecisionOptions)> done);

} // namespace FfmpegCapabilities
