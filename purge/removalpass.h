#pragma once

namespace purge {

// Asks the operating system to remove the path at the next restart. Its result is not used:
// a failure leaves the path where it is, and the pass goes on.
using DeferRoutine = bool (*)(const char *path);

constexpr unsigned kFileRetries = 3;
constexpr unsigned kRetryPauseMs = 500;

// Removes every path named in the environment block, deferring what cannot go now.
// Returns 0, or -1 when there is no environment block.
int removalPass(DeferRoutine defer);

} // namespace purge
