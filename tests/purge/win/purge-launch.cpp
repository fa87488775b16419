// Starts a program with an environment block made of the given entries (and nothing else) and
// prints its exit code and how long it ran:  purge-launch program entry...
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: purge-launch program entry...\n");
        return 2;
    }
    std::string block;
    for (int i = 2; i < argc; ++i) {
        block.append(argv[i]);
        block.push_back('\0');
    }
    block.append(2, '\0');

    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    const DWORD started = GetTickCount();
    if (!CreateProcessA(argv[1], nullptr, nullptr, nullptr, FALSE, 0, &block[0], nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "cannot start %s: error %lu\n", argv[1], GetLastError());
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    const DWORD elapsed = GetTickCount() - started;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::printf("exit=%ld ms=%lu\n", static_cast<long>(code), elapsed);
    return 0;
}
