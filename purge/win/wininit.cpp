#include "purge/win/wininit.h"

#include "purge/decoder.h"
#include "purge/wininitsection.h"

#include <windows.h>

namespace purge {

bool wininitDefer(const char *path)
{
    char shortPath[kPathBufferSize];
    const DWORD length = GetShortPathNameA(path, shortPath, sizeof shortPath);
    // A result as large as the buffer is the size it would need: nothing was written.
    if (length == 0 || length >= sizeof shortPath)
        return false;
    const HANDLE heap = GetProcessHeap();
    auto *section = static_cast<char *>(HeapAlloc(heap, 0, kSectionBufferSize));
    if (section == nullptr)
        return false;
    const DWORD count =
        GetPrivateProfileSectionA("rename", section, kSectionBufferSize, "wininit.ini");
    const bool written = appendDeleteLine(section, count, kSectionBufferSize, shortPath)
        && WritePrivateProfileSectionA("rename", section, "wininit.ini") != 0;
    HeapFree(heap, 0, section);
    return written;
}

} // namespace purge
