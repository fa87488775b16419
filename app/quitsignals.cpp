#include "app/quitsignals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int pipeFds[2] = { -1, -1 };

void onSignal(int)
{
    const char byte = 1;
    // Nothing but async-signal-safe work here; a full pipe just drops the extra byte. The
    // interrupted code may be about to read errno, so it is left as it was.
    const int savedErrno = errno;
    [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], &byte, 1);
    errno = savedErrno;
}

const int handledSignals[] = { SIGTERM, SIGINT, SIGHUP };
} // namespace
#endif

QuitSignals::QuitSignals(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (pipeFds[0] < 0 && ::pipe(pipeFds) != 0)
        return;
    for (int fd : pipeFds) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &QuitSignals::readPipe);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : handledSignals)
        ::sigaction(sig, &action, nullptr);
#endif
}

QuitSignals::~QuitSignals()
{
#ifdef Q_OS_UNIX
    for (int sig : handledSignals)
        ::signal(sig, SIG_DFL);
#endif
}

void QuitSignals::readPipe()
{
#ifdef Q_OS_UNIX
    char buffer[64];
    while (::read(pipeFds[0], buffer, sizeof buffer) > 0) {
    }
#endif
    emit quitRequested();
}
