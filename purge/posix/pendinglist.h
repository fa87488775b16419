#pragma once

// Linux has no remove-at-restart facility in the kernel. Deferred paths are appended to a
// pending-removal list instead, which a boot-time service works through (purge/linux/).
namespace purge {

// Appends the absolute form of path, NUL-terminated, to the list at HEARTH_PURGE_PENDING_LIST.
bool pendingListDefer(const char *path);

} // namespace purge
