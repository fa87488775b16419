#include "purge/removalpass.h"

#include "purge/decoder.h"
#include "purge/oslayer.h"

namespace purge {
namespace {

bool isGone(unsigned error)
{
    return error == os::kErrorNone || error == os::kErrorFileNotFound
        || error == os::kErrorPathNotFound;
}

void removePath(const char *path, DeferRoutine defer)
{
    const unsigned attributes = os::attributes(path);
    if (attributes == os::kInvalidAttributes)
        return;
    const bool directory = (attributes & os::kAttributeDirectory) != 0;
    for (unsigned attempt = 0;; ++attempt) {
        if (attempt > 0)
            os::pause(kRetryPauseMs);
        os::setAttributes(path, os::kAttributeNormal);
        const bool removed = directory ? os::removeDirectory(path) : os::deleteFile(path);
        if (removed)
            return;
        if (isGone(os::lastError()))
            return;
        // A directory that refuses now (usually: not empty) will not change within seconds;
        // a file may just be held open for a moment.
        if (directory || attempt == kFileRetries) {
            defer(path);
            return;
        }
    }
}

} // namespace

int removalPass(DeferRoutine defer)
{
    char *block = os::environmentBlock();
    if (block == nullptr)
        return -1;
    char path[kPathBufferSize];
    for (const char *entry = block; *entry != '\0'; entry += os::textLength(entry) + 1) {
        if (decodeEntry(entry, path).status == Decoded::Whole)
            removePath(path, defer);
    }
    os::freeEnvironmentBlock(block);
    return 0;
}

} // namespace purge
