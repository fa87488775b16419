// Calls the wininit deferral directly, as hearth-purge does on the 95/98/Me family, and prints
// the short path it should have recorded:  purge-wininit path
#include "purge/win/wininit.h"

#include <windows.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    char shortPath[MAX_PATH];
    if (GetShortPathNameA(argv[1], shortPath, sizeof shortPath) == 0)
        shortPath[0] = '\0';
    const bool scheduled = purge::wininitDefer(argv[1]);
    std::printf("scheduled=%d short=%s\n", scheduled ? 1 : 0, shortPath);
    return scheduled ? 0 : 1;
}
