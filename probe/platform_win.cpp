#include "probe/platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

int openRegularFile(const std::string &utf8Path)
{
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path.data(),
        static_cast<int>(utf8Path.size()), nullptr, 0);
    if (length <= 0)
        return -1;
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path.data(),
        static_cast<int>(utf8Path.size()), wide.data(), length);
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    // Only a disk file: a device name (NUL, CON) or a pipe is refused.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)
        || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0)
        CloseHandle(handle);
    return fd;
}

void closeFile(int fd)
{
    _close(fd);
}

int readFile(int fd, uint8_t *buffer, int size)
{
    return _read(fd, buffer, static_cast<unsigned>(size));
}

int64_t seekFile(int fd, int64_t offset, int whence)
{
    return _lseeki64(fd, offset, whence);
}

int64_t fileSize(int fd)
{
    LARGE_INTEGER size;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return GetFileSizeEx(handle, &size) ? size.QuadPart : -1;
}

void becomeBackgroundWorker(long long)
{
    // Lower CPU, disk and memory priority for the whole process. hearth closes our input when
    // it goes, which ends the loop; the watchdog ends a file that hangs.
    SetPriorityClass(GetCurrentProcess(), PROCESS_MODE_BACKGROUND_BEGIN);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

void limitMemory(uint64_t bytes)
{
    // A job object of our own caps the process's committed memory.
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job)
        return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info = {};
    info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY;
    info.ProcessMemoryLimit = static_cast<SIZE_T>(bytes);
    if (SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof info))
        AssignProcessToJobObject(job, GetCurrentProcess());
}
