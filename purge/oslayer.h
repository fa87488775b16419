#pragma once

// The operating-system operations that the removal pass uses. The Windows build supplies them
// from the kernel library; the Linux build from a small POSIX layer with the same meanings.
namespace purge::os {

constexpr unsigned kInvalidAttributes = 0xFFFFFFFFu;
constexpr unsigned kAttributeReadOnly = 0x01;
constexpr unsigned kAttributeDirectory = 0x10;
constexpr unsigned kAttributeNormal = 0x80;

constexpr unsigned kErrorNone = 0;
constexpr unsigned kErrorFileNotFound = 2;
constexpr unsigned kErrorPathNotFound = 3;

// NUL-terminated entries ended by an empty one; null when it cannot be had.
char *environmentBlock();
void freeEnvironmentBlock(char *block);
unsigned textLength(const char *text);

// kInvalidAttributes when the path names nothing.
unsigned attributes(const char *path);
bool setAttributes(const char *path, unsigned attributes);
bool deleteFile(const char *path);
bool removeDirectory(const char *path);
// The error code of the last failed operation above.
unsigned lastError();
void pause(unsigned milliseconds);

} // namespace purge::os
