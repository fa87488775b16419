#pragma once

namespace purge {

// Deferred removal for the Windows 95/98/Me family: a "NUL=" line in the "rename" section of
// "wininit.ini". Returns false when nothing was scheduled.
bool wininitDefer(const char *path);

} // namespace purge
