#include "convert/conversion.h"

#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>

Q_LOGGING_CATEGORY(lcConvert, "hearth.convert", QtWarningMsg)

namespace {

// ffmpeg's last words are kept for the log, no more.
constexpr qsizetype lastWordsKept = 1024;
// The most read from the pipe in one go: a turn of the event loop stays short.
constexpr qint64 readBlock = 64 * 1024;
#ifndef Q_OS_WIN
// At most this many inherited inputs (a film and a subtitle file are two).
constexpr int maxDescriptors = 8;
#else
// QProcess reads the pipe on its own on Windows; a client this far behind ends the conversion.
constexpr qint64 windowsBacklog = 32 * 1024 * 1024;
#endif

void closeAll(const QList<int> &descriptors)
{
#ifndef Q_OS_WIN
    for (const int fd : descriptors) {
        if (fd >= 0)
            ::close(fd);
    }
#else
    Q_UNUSED(descriptors);
#endif
}

} // namespace

Conversion::Conversion(QObject *parent)
    : QObject(parent)
{ }

Conversion::~Conversion()
{
    killGroup();
    markOver();
    if (process) {
        process->disconnect(this);
        if (process->state() != QProcess::NotRunning) {
            // Killed: the process is reaped when it has gone, without waiting here.
            process->setParent(nullptr);
            connect(process, &QProcess::finished, process, &QObject::deleteLater);
        }
    }
#ifdef Q_OS_WIN
    if (job)
        ::CloseHandle(job);
#else
    if (pipeRead >= 0)
        ::close(pipeRead);
#endif
}

qint64 Conversion::processId() const
{
    return pid;
}

bool Conversion::start(
    const QString &program, const QStringList &arguments, const QList<int> &descriptors)
{
    if (current != State::Idle || program.isEmpty()) {
        closeAll(descriptors);
        fail(program.isEmpty() ? QStringLiteral("no ffmpeg program found")
                               : QStringLiteral("started twice"));
        return false;
    }
    current = State::Starting;
    process = new QProcess(this);
    process->setProgram(program);
    process->setArguments(arguments);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::SeparateChannels);
    connect(process, &QProcess::readyReadStandardError, this, &Conversion::readErrors);
    connect(process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        processDone(code, status == QProcess::CrashExit);
    });
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            fail(QStringLiteral("ffmpeg did not start: ") + process->errorString());
    });

#ifdef Q_OS_WIN
    closeAll(descriptors);
    job = ::CreateJobObjectW(nullptr, nullptr);
    if (job) {
        // Closing the job's last handle (this object's end, or hearth's) ends the process.
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    connect(process, &QProcess::readyReadStandardOutput, this, &Conversion::readOutput);
    process->start();
    if (current == State::Failed)
        return false;
    pid = process->processId();
    if (job) {
        HANDLE handle = ::OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(pid));
        if (handle) {
            ::AssignProcessToJobObject(job, handle);
            ::CloseHandle(handle);
        }
    }
#else
    int ends[2] = { -1, -1 };
    if (descriptors.size() > maxDescriptors || ::pipe2(ends, O_CLOEXEC) != 0) {
        closeAll(descriptors);
        fail(QStringLiteral("no pipe for ffmpeg's output"));
        return false;
    }
    pipeRead = ends[0];
    const int pipeWrite = ends[1];
    ::fcntl(pipeRead, F_SETFL, ::fcntl(pipeRead, F_GETFL) | O_NONBLOCK);
    // Replaced in the child by the pipe, which this process reads at its own pace.
    process->setStandardOutputFile(QProcess::nullDevice());
    int inherited[maxDescriptors];
    const int count = int(descriptors.size());
    std::copy(descriptors.cbegin(), descriptors.cend(), inherited);
    const pid_t parent = ::getpid();
    // Between fork and exec: only async-signal-safe calls.
    process->setChildProcessModifier([pipeWrite, inherited, count, parent]() {
        // A group of its own, ended as one; and gone when hearth goes, however it goes.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        // hearth ignores SIGPIPE for its sockets; ffmpeg may keep the default.
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(pipeWrite, STDOUT_FILENO);
        // Moved out of the way first, so that placing one cannot overwrite another.
        int high[maxDescriptors];
        for (int i = 0; i < count; ++i)
            high[i] = ::fcntl(inherited[i], F_DUPFD_CLOEXEC, 64);
        for (int i = 0; i < count; ++i)
            ::dup2(high[i], 3 + i);
    });
    process->start();
    ::close(pipeWrite);
    closeAll(descriptors);
    if (current == State::Failed)
        return false;
    pid = process->processId();
    outputReady = new QSocketNotifier(pipeRead, QSocketNotifier::Read, this);
    connect(outputReady, &QSocketNotifier::activated, this, &Conversion::readOutput);
#endif
    qCInfo(lcConvert).noquote() << "ffmpeg" << pid
                                << "started:" << arguments.join(QLatin1Char(' '));
    firstBytes = new QTimer(this);
    firstBytes->setSingleShot(true);
    connect(firstBytes, &QTimer::timeout, this, [this] {
        if (made == 0)
            fail(QStringLiteral("ffmpeg made nothing within %1 s").arg(firstBytesMs / 1000));
    });
    firstBytes->start(firstBytesMs);
    return true;
}

void Conversion::stop()
{
    if (current == State::Finished || current == State::Failed)
        return;
    current = State::Failed;
    why = QStringLiteral("stopped");
    killGroup();
    markOver();
}

void Conversion::markOver()
{
    if (isOver)
        return;
    isOver = true;
    emit over();
}

void Conversion::killGroup()
{
    if (!process || process->state() == QProcess::NotRunning)
        return;
#ifdef Q_OS_WIN
    if (job)
        ::TerminateJobObject(job, 1);
    process->kill();
#else
    if (pid > 0)
        ::kill(-pid_t(pid), SIGKILL);
    // Before the child has made its group, the group is not there yet.
    process->kill();
#endif
}

qint64 Conversion::read(char *data, qint64 max)
{
    const qint64 taken = std::min(max, bytesAvailable());
    if (taken <= 0)
        return 0;
    std::memcpy(data, buffer.constData() + head, size_t(taken));
    head += taken;
    if (head == buffer.size()) {
        buffer.clear();
        head = 0;
    }
    resumeReading();
    return taken;
}

bool Conversion::atEnd() const
{
    return bytesAvailable() == 0 && (current == State::Finished || current == State::Failed);
}

void Conversion::resumeReading()
{
    if (bytesAvailable() >= bufferLimit || outputClosed)
        return;
#ifdef Q_OS_WIN
    if (process && process->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &Conversion::readOutput, Qt::QueuedConnection);
#else
    if (outputReady && !outputReady->isEnabled())
        outputReady->setEnabled(true);
#endif
}

void Conversion::readOutput()
{
    if (current == State::Failed)
        return;
    // What was taken goes before the buffer grows again.
    if (head > 0) {
        buffer.remove(0, head);
        head = 0;
    }
    const qint64 before = made;
    while (bytesAvailable() < bufferLimit) {
        const qint64 room = std::min(readBlock, bufferLimit - bytesAvailable());
        const qsizetype old = buffer.size();
        buffer.resize(old + room);
#ifdef Q_OS_WIN
        const qint64 got = process->read(buffer.data() + old, room);
        buffer.resize(old + std::max<qint64>(got, 0));
        if (got <= 0)
            break;
#else
        const ssize_t got = ::read(pipeRead, buffer.data() + old, size_t(room));
        buffer.resize(old + std::max<qsizetype>(got, 0));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            break;
        if (got <= 0) {
            outputClosed = true;
            outputReady->setEnabled(false);
            break;
        }
#endif
        made += got;
    }
#ifdef Q_OS_WIN
    if (process->bytesAvailable() > windowsBacklog) {
        fail(QStringLiteral("the client took too slowly"));
        return;
    }
#else
    // Full: the process blocks on its pipe until the client takes some.
    if (!outputClosed && bytesAvailable() >= bufferLimit)
        outputReady->setEnabled(false);
#endif
    if (made > before && current == State::Starting) {
        current = State::Streaming;
        firstBytes->stop();
    }
    if (outputClosed && processExited)
        settle();
    else if (made > before)
        emit readyRead();
}

void Conversion::readErrors()
{
    lastWords += process->readAllStandardError();
    if (lastWords.size() > lastWordsKept)
        lastWords = lastWords.right(lastWordsKept);
}

void Conversion::processDone(int code, bool crash)
{
    processExited = true;
    exitCode = code;
    crashed = crash;
    readErrors();
#ifdef Q_OS_WIN
    readOutput();
    outputClosed = true;
#endif
    if (outputClosed)
        settle();
}

void Conversion::settle()
{
    if (current == State::Finished || current == State::Failed)
        return;
    if (crashed || exitCode != 0) {
        const QString words = QString::fromUtf8(lastWords).trimmed();
        fail(crashed ? QStringLiteral("ffmpeg crashed")
                    + (words.isEmpty() ? QString() : QStringLiteral(": ") + words)
                     : QStringLiteral("ffmpeg ended with code %1").arg(exitCode)
                    + (words.isEmpty() ? QString() : QStringLiteral(": ") + words));
        return;
    }
    if (made == 0) {
        fail(QStringLiteral("ffmpeg made nothing"));
        return;
    }
    current = State::Finished;
    qCInfo(lcConvert).noquote() << "ffmpeg" << pid << "done:" << made << "bytes";
    markOver();
    emit readyRead();
}

void Conversion::fail(const QString &reason)
{
    if (current == State::Finished || current == State::Failed)
        return;
    current = State::Failed;
    why = reason;
    killGroup();
    if (firstBytes)
        firstBytes->stop();
    qCInfo(lcConvert).noquote() << "ffmpeg" << pid << "failed:" << reason;
    markOver();
    if (made == 0)
        emit failed(reason);
    emit readyRead();
}
