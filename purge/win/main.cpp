// hearth-purge for Windows: a GUI-subsystem program without a window and without a C runtime;
// it imports from KERNEL32.dll only.
#include "purge/removalpass.h"
#include "purge/win/wininit.h"

#include <windows.h>

namespace {

bool moveFileExDefer(const char *path)
{
    return MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

purge::DeferRoutine chooseDeferRoutine()
{
    OSVERSIONINFOA version;
    auto *bytes = reinterpret_cast<volatile unsigned char *>(&version);
    for (unsigned i = 0; i < sizeof version; ++i)
        bytes[i] = 0;
    version.dwOSVersionInfoSize = sizeof version; // 148 bytes
    // Only the 95/98/Me family lacks delayed MoveFileEx and reads "wininit.ini" instead.
    if (GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return purge::wininitDefer;
    return moveFileExDefer;
}

} // namespace

static_assert(sizeof(OSVERSIONINFOA) == 148, "the version query expects 148 bytes");

// Entry point named to the linker; there is no C runtime start-up code to call main().
extern "C" void WINAPI purgeEntry()
{
    ExitProcess(static_cast<UINT>(purge::removalPass(chooseDeferRoutine())));
}

// The compiler may emit calls to these for plain copies and clears even without a C runtime.
extern "C" void *memset(void *destination, int value, size_t count)
{
    auto *bytes = static_cast<volatile unsigned char *>(destination);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<unsigned char>(value);
    return destination;
}

extern "C" void *memcpy(void *destination, const void *source, size_t count)
{
    auto *to = static_cast<volatile unsigned char *>(destination);
    const auto *from = static_cast<const unsigned char *>(source);
    for (size_t i = 0; i < count; ++i)
        to[i] = from[i];
    return destination;
}
