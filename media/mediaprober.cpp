#include "media/mediaprober.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {

Q_LOGGING_CATEGORY(lcMedia, "hearth.media", QtWarningMsg)

// No answer is anywhere near this long (a thumbnail is a few KiB); a worker that writes more
// without ending the line is out of control.
constexpr qsizetype maxAnswer = 4 << 20;
// Files a worker holds: the one it reads and the next. More would only queue an urgent file
// behind others.
constexpr size_t filesAhead = 2;

QByteArray encodedPath(const QString &path)
{
#ifdef Q_OS_WIN
    return path.toUtf8();
#else
    return QFile::encodeName(path);
#endif
}

} // namespace

struct MediaProber::Worker
{
    QProcess *process = nullptr;
    QTimer *timer = nullptr;
    QByteArray buffer;
    // In the order sent, which is the order answered; the first is being read.
    std::deque<Request> sent;

    bool busy() const { return !sent.empty(); }
    bool holds(const QString &path) const
    {
        return std::any_of(sent.cbegin(), sent.cend(),
            [&path](const Request &request) { return request.path == path; });
    }
};

MediaProber::MediaProber(QObject *parent)
    : QObject(parent)
{
    QString name = QStringLiteral("hearth-probe");
#ifdef Q_OS_WIN
    name += QLatin1String(".exe");
#endif
    program = QDir(QCoreApplication::applicationDirPath()).filePath(name);
    // Two where there are two cores: they run at low priority (CPU and disk), so the server
    // and the pictures still come first, and a library is read in half the time.
    setWorkerCount(QThread::idealThreadCount() >= 2 ? 2 : 1);
}

MediaProber::~MediaProber()
{
    // No worker outlives its prober, nor one retired and not yet reaped: killed and reaped here
    // (a worker keeps nothing, so nothing is lost; an idle one would end by itself once its
    // input closes).
    for (auto &worker : workers)
        worker->process = nullptr;
    for (QProcess *process : findChildren<QProcess *>(Qt::FindDirectChildrenOnly)) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(2000);
        delete process;
    }
}

void MediaProber::setWorkerProgram(const QString &path)
{
    program = path;
}

void MediaProber::setTimeLimit(int milliseconds)
{
    timeLimitMs = qMax(100, milliseconds);
}

void MediaProber::setWorkerCount(int count)
{
    wantedWorkers = qMax(1, count);
    while (int(workers.size()) < wantedWorkers) {
        auto worker = std::make_unique<Worker>();
        worker->timer = new QTimer(this);
        worker->timer->setSingleShot(true);
        Worker *w = worker.get();
        connect(worker->timer, &QTimer::timeout, this, [this, w] {
            if (!w->busy())
                return;
            qCWarning(lcMedia) << "The media reader gave up on" << w->sent.front().path
                               << "after" << timeLimitMs << "ms";
            fail(*w, Outcome::GaveUp);
        });
        workers.push_back(std::move(worker));
    }
    // Workers beyond the count end once idle (busy ones finish their file first); they are
    // kept, unused, so that no reaction in progress loses its worker.
    for (size_t i = size_t(wantedWorkers); i < workers.size(); ++i) {
        if (!workers[i]->busy())
            retire(*workers[i]);
    }
    dispatch();
}

void MediaProber::probe(const QString &path, bool urgent)
{
    for (const auto &worker : workers) {
        if (worker->holds(path))
            return;
    }
    const auto known = waiting.constFind(path);
    if (known != waiting.constEnd()) {
        if (!urgent || *known)
            return;
        waiting[path] = true;
        urgentQueue.push_back(path);
        return;
    }
    waiting.insert(path, urgent);
    (urgent ? urgentQueue : backgroundQueue).push_back(path);
    dispatch();
}

int MediaProber::pending() const
{
    qsizetype held = 0;
    for (const auto &worker : workers)
        held += qsizetype(worker->sent.size());
    return int(waiting.size() + held);
}

bool MediaProber::takeNext(Request &request)
{
    while (!urgentQueue.empty()) {
        request.path = urgentQueue.front();
        request.urgent = true;
        urgentQueue.pop_front();
        if (waiting.remove(request.path))
            return true;
    }
    while (!backgroundQueue.empty()) {
        request.path = backgroundQueue.front();
        request.urgent = false;
        backgroundQueue.pop_front();
        // Skipped where it moved to the urgent queue (and was taken from there).
        const auto it = waiting.find(request.path);
        if (it != waiting.end() && !*it) {
            waiting.erase(it);
            return true;
        }
    }
    return false;
}

void MediaProber::dispatch()
{
    if (!startPause.hasExpired()) {
        // Drained from the loop: a caller of probe() is not answered inside its own call.
        if (!drainQueued) {
            drainQueued = true;
            QTimer::singleShot(0, this, [this] {
                drainQueued = false;
                Request request;
                while (!startPause.hasExpired() && takeNext(request))
                    emit probed(request.path, MediaDetails(), Outcome::Unreadable);
                if (pending() > 0)
                    dispatch();
            });
        }
        return;
    }
    // Every idle worker gets a file before any gets its next.
    for (size_t held = 0; held < filesAhead; ++held) {
        for (size_t i = 0; i < size_t(wantedWorkers) && i < workers.size(); ++i) {
            Worker &worker = *workers[i];
            if (worker.sent.size() != held)
                continue;
            Request request;
            if (!takeNext(request))
                return;
            send(worker, std::move(request));
        }
    }
}

void MediaProber::send(Worker &worker, Request request)
{
    request.id = nextId++;
    if (!worker.process)
        start(worker);
    // The clock runs for the file being read, from when the worker begins it.
    if (!worker.busy())
        worker.timer->start(timeLimitMs);
    worker.process->write(
        QByteArray::number(request.id) + ' ' + encodedPath(request.path).toBase64() + '\n');
    worker.sent.push_back(std::move(request));
}

void MediaProber::start(Worker &worker)
{
    worker.buffer.clear();
    worker.process = new QProcess(this);
    QProcess *process = worker.process;
    // FFmpeg is quiet in the worker; what it still says (a crash) reaches our standard error.
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Each reaction first checks that the process is still the worker's own.
    connect(process, &QProcess::readyReadStandardOutput, this, [this, &worker, process] {
        if (worker.process == process)
            readAnswers(worker);
    });
    connect(process, &QProcess::finished, this, [this, &worker, process] {
        if (worker.process != process)
            return;
        // Answers it gave before it died count.
        if (process->bytesAvailable() > 0)
            readAnswers(worker);
        if (worker.process != process)
            return;
        if (!worker.busy()) {
            retire(worker);
            return;
        }
        qCWarning(lcMedia) << "The media reader stopped on" << worker.sent.front().path;
        fail(worker, Outcome::GaveUp);
    });
    // Queued: a program that cannot start fails inside start(), and the next file would start
    // it again from there, one level deeper for every file waiting.
    connect(
        process, &QProcess::errorOccurred, this,
        [this, &worker, process](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart || worker.process != process)
                return;
            if (!warnedNoStart)
                qCWarning(lcMedia) << "Cannot start" << program << "to read media files";
            warnedNoStart = true;
            // Not tried again for every file (a process each), nor held against the files: they
            // are unread for now, and read once the program starts again.
            startPause.setRemainingTime(startRetryMs);
            if (worker.busy())
                fail(worker, Outcome::Unreadable);
            else
                retire(worker);
        },
        Qt::QueuedConnection);
    process->start(program,
        { QStringLiteral("--time-limit"), QString::number(timeLimitMs), QStringLiteral("--parent"),
            QString::number(QCoreApplication::applicationPid()) });
}

void MediaProber::readAnswers(Worker &worker)
{
    QProcess *process = worker.process;
    worker.buffer += process->readAllStandardOutput();
    for (;;) {
        const qsizetype end = worker.buffer.indexOf('\n');
        if (end < 0)
            break;
        const QByteArray line = worker.buffer.left(end);
        worker.buffer.remove(0, end + 1);
        const QJsonObject answer = QJsonDocument::fromJson(line).object();
        // Anything but the answer to the file being read (there should be none) is dropped.
        if (!worker.busy()
            || answer.value(QLatin1String("id")).toInteger(-1) != worker.sent.front().id) {
            continue;
        }
        const QString word = answer.value(QLatin1String("outcome")).toString();
        if (word == QLatin1String("read")) {
            finish(worker,
                MediaDetails::fromJson(answer.value(QLatin1String("details")).toObject()),
                Outcome::Read);
        } else {
            finish(worker, MediaDetails(),
                word == QLatin1String("gaveup") ? Outcome::GaveUp : Outcome::Unreadable);
        }
        // A receiver may have retired the worker.
        if (worker.process != process)
            return;
    }
    if (worker.buffer.size() <= maxAnswer)
        return;
    if (!worker.busy()) {
        retire(worker);
        return;
    }
    qCWarning(lcMedia) << "The media reader wrote too much for" << worker.sent.front().path;
    fail(worker, Outcome::GaveUp);
}

void MediaProber::fail(Worker &worker, Outcome outcome)
{
    retire(worker);
    // The files after the first were not begun: back to the front of their queues, in order.
    while (worker.sent.size() > 1) {
        Request request = std::move(worker.sent.back());
        worker.sent.pop_back();
        waiting.insert(request.path, request.urgent);
        (request.urgent ? urgentQueue : backgroundQueue).push_front(request.path);
    }
    finish(worker, MediaDetails(), outcome);
}

void MediaProber::retire(Worker &worker)
{
    worker.timer->stop();
    worker.buffer.clear();
    QProcess *process = worker.process;
    if (!process)
        return;
    worker.process = nullptr;
    process->disconnect(this);
    // Closing its input ends an idle worker; a busy one is killed (it keeps nothing).
    process->closeWriteChannel();
    if (process->state() != QProcess::NotRunning)
        process->kill();
    // Reaped once it is gone, without waiting here.
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
    if (process->state() == QProcess::NotRunning)
        process->deleteLater();
}

void MediaProber::finish(Worker &worker, const MediaDetails &details, Outcome outcome)
{
    const QString path = std::move(worker.sent.front().path);
    worker.sent.pop_front();
    // The worker has begun its next file, if it holds one.
    if (worker.busy())
        worker.timer->start(timeLimitMs);
    else
        worker.timer->stop();
    for (size_t i = size_t(wantedWorkers); i < workers.size(); ++i) {
        if (workers[i].get() == &worker && !worker.busy())
            retire(worker);
    }
    dispatch();
    emit probed(path, details, outcome);
}
