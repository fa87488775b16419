#include "probe/platform.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

int openRegularFile(const std::string &utf8Path)
{
    // O_NONBLOCK: opening a FIFO without a writer would wait forever.
    const int fd = ::open(utf8Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void closeFile(int fd)
{
    ::close(fd);
}

int readFile(int fd, uint8_t *buffer, int size)
{
    for (;;) {
        const ssize_t n = ::read(fd, buffer, static_cast<size_t>(size));
        if (n >= 0)
            return static_cast<int>(n);
        if (errno != EINTR)
            return -1;
    }
}

int64_t seekFile(int fd, int64_t offset, int whence)
{
    return ::lseek(fd, static_cast<off_t>(offset), whence);
}

int64_t fileSize(int fd)
{
    struct stat st;
    return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void becomeBackgroundWorker(long long parent)
{
#ifdef __linux__
    // Ends with hearth even when hearth is killed. A parent gone before this line (loading
    // FFmpeg's libraries takes a while) left us with init or a subreaper: the check after it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (parent > 0 && ::getppid() != parent)
        ::_exit(0);
    // Disk: best effort, lowest level (the idle class could starve behind a busy disk).
    constexpr int ioprioWhoProcess = 1;
    constexpr int ioprioClassBestEffort = 2;
    ::syscall(SYS_ioprio_set, ioprioWhoProcess, 0, (ioprioClassBestEffort << 13) | 7);
#endif
    errno = 0;
    (void)::nice(10);
    // A reader that went away must not kill us with SIGPIPE; the write fails instead.
    ::signal(SIGPIPE, SIG_IGN);
}

void limitMemory(uint64_t bytes)
{
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(bytes);
    ::setrlimit(RLIMIT_AS, &limit);
}
