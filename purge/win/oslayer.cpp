#include "purge/oslayer.h"

#include <windows.h>

namespace purge::os {

char *environmentBlock()
{
    return GetEnvironmentStrings();
}

void freeEnvironmentBlock(char *block)
{
    FreeEnvironmentStringsA(block);
}

unsigned textLength(const char *text)
{
    return static_cast<unsigned>(lstrlenA(text));
}

unsigned attributes(const char *path)
{
    return GetFileAttributesA(path);
}

bool setAttributes(const char *path, unsigned attributes)
{
    return SetFileAttributesA(path, attributes) != 0;
}

bool deleteFile(const char *path)
{
    return DeleteFileA(path) != 0;
}

bool removeDirectory(const char *path)
{
    return RemoveDirectoryA(path) != 0;
}

unsigned lastError()
{
    return GetLastError();
}

void pause(unsigned milliseconds)
{
    Sleep(milliseconds);
}

} // namespace purge::os
