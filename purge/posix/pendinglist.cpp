#include "purge/posix/pendinglist.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef HEARTH_PURGE_PENDING_LIST
#error "HEARTH_PURGE_PENDING_LIST must name the pending-removal list"
#endif

namespace purge {
namespace {

constexpr char kListPath[] = HEARTH_PURGE_PENDING_LIST;

// The list's directory belongs to root and nobody else: whoever may append to it chooses
// what is removed at boot.
void ensureListDirectory()
{
    char directory[sizeof kListPath];
    std::memcpy(directory, kListPath, sizeof kListPath);
    char *slash = std::strrchr(directory, '/');
    if (slash == nullptr || slash == directory)
        return;
    *slash = '\0';
    mkdir(directory, 0700);
}

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

} // namespace

bool pendingListDefer(const char *path)
{
    // The boot-time service runs in "/", so a relative path is recorded as the one meant here.
    char absolute[PATH_MAX + 512];
    size_t length = 0;
    if (path[0] != '/') {
        if (getcwd(absolute, PATH_MAX) == nullptr)
            return false;
        length = std::strlen(absolute);
        if (length > 1)
            absolute[length++] = '/';
    }
    const size_t pathLength = std::strlen(path);
    if (length + pathLength + 1 > sizeof absolute)
        return false;
    std::memcpy(absolute + length, path, pathLength + 1);
    length += pathLength + 1; // the terminator separates entries: a path may hold a newline

    ensureListDirectory();
    const int fd = open(kListPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    // One write with O_APPEND: entries of concurrent runs do not interleave.
    const bool written = writeAll(fd, absolute, length);
    return close(fd) == 0 && written;
}

} // namespace purge
