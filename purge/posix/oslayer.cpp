// The kernel operations of the removal pass, in POSIX terms.
#include "purge/oslayer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace purge::os {
namespace {

unsigned g_lastError = kErrorNone;

// The Windows error codes that the removal pass tells apart.
constexpr unsigned kErrorInvalidFunction = 1;
constexpr unsigned kErrorAccessDenied = 5;
constexpr unsigned kErrorSharingViolation = 32;
constexpr unsigned kErrorDirNotEmpty = 145;

unsigned errorFromErrno(int error)
{
    switch (error) {
    case ENOENT:
        return kErrorFileNotFound;
    case ENOTDIR:
        return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return kErrorAccessDenied;
    case EBUSY:
    case ETXTBSY:
        return kErrorSharingViolation;
    case ENOTEMPTY:
    case EEXIST:
        return kErrorDirNotEmpty;
    default:
        // Anything else is a refusal too; never report "no error" for a failure.
        return kErrorInvalidFunction;
    }
}

bool record(bool ok)
{
    if (!ok)
        g_lastError = errorFromErrno(errno);
    return ok;
}

} // namespace

// environ is a list of pointers; the pass reads one block of entries ended by an empty one,
// as the Windows kernel hands it out. An empty string in environ ends the block there too.
char *environmentBlock()
{
    size_t size = 1;
    char **end = environ;
    while (end != nullptr && *end != nullptr && **end != '\0')
        size += std::strlen(*end++) + 1;
    auto *block = static_cast<char *>(std::malloc(size));
    if (block == nullptr)
        return nullptr;
    char *at = block;
    for (char **entry = environ; entry != end; ++entry) {
        const size_t length = std::strlen(*entry) + 1;
        std::memcpy(at, *entry, length);
        at += length;
    }
    *at = '\0';
    return block;
}

void freeEnvironmentBlock(char *block)
{
    std::free(block);
}

unsigned textLength(const char *text)
{
    return static_cast<unsigned>(std::strlen(text));
}

unsigned attributes(const char *path)
{
    struct stat status;
    if (!record(lstat(path, &status) == 0))
        return kInvalidAttributes;
    // lstat: a symbolic link is removed itself, never what it points to.
    if (S_ISDIR(status.st_mode))
        return kAttributeDirectory | ((status.st_mode & S_IWUSR) ? 0 : kAttributeReadOnly);
    return (status.st_mode & S_IWUSR) ? kAttributeNormal : kAttributeReadOnly;
}

// Windows clears the read-only attribute; here that is the owner's write bit. A symbolic link
// is left alone: changing its mode would change the file it points to.
bool setAttributes(const char *path, unsigned attributes)
{
    struct stat status;
    if (!record(lstat(path, &status) == 0))
        return false;
    if (S_ISLNK(status.st_mode))
        return true;
    mode_t mode = status.st_mode & 07777;
    mode = (attributes & kAttributeReadOnly) ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
    return record(fchmodat(AT_FDCWD, path, mode, AT_SYMLINK_NOFOLLOW) == 0);
}

bool deleteFile(const char *path)
{
    return record(unlink(path) == 0);
}

bool removeDirectory(const char *path)
{
    return record(rmdir(path) == 0);
}

unsigned lastError()
{
    return g_lastError;
}

void pause(unsigned milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace purge::os
