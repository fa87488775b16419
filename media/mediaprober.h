#pragma once

#include "media/mediadetails.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>
#include <vector>

class QProcess;
class QTimer;

// Reads what media files are through hearth-probe, a worker program that runs FFmpeg in a
// process of its own: a file that crashes or hangs the reader costs only that worker, which is
// started again for the next file. Lives on the event loop and never waits for the worker.
//
// Files are read in the order asked, urgent ones (a client waits for them) before the rest.
// Each asked file is answered once by probed(), unless it was already waiting or being read.
// A worker is handed its next file before it finishes the one it reads, so that it never waits
// for the event loop between files.
class MediaProber : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        // Read: the details are what FFmpeg found.
        Read,
        // FFmpeg could not read it: not media, damaged, gone, or not a regular file.
        Unreadable,
        // The worker died on it or passed the time limit; worth reading again only once the
        // file has changed.
        GaveUp,
    };
    Q_ENUM(Outcome)

    static constexpr int defaultTimeLimitMs = 10000;
    // How long files are answered unread after the program could not be started.
    static constexpr int startRetryMs = 30000;

    explicit MediaProber(QObject *parent = nullptr);
    ~MediaProber() override;

    // hearth-probe beside the running program unless set (tests).
    void setWorkerProgram(const QString &program);
    QString workerProgram() const { return program; }
    // How long one file may take; the worker is ended after it.
    void setTimeLimit(int milliseconds);
    // How many workers read at once (at least 1); one unless the machine has cores to spare.
    void setWorkerCount(int count);

    void probe(const QString &path, bool urgent = false);
    // Files waiting or being read.
    int pending() const;

signals:
    void probed(const QString &path, const MediaDetails &details, MediaProber::Outcome outcome);

private:
    struct Worker;

    struct Request
    {
        qint64 id = 0;
        QString path;
        bool urgent = false;
    };

    void dispatch();
    bool takeNext(Request &request);
    void send(Worker &worker, Request request);
    void start(Worker &worker);
    void readAnswers(Worker &worker);
    // The worker died, passed the time limit or misbehaved on the file it was reading: that file
    // is answered with `outcome`, the worker ended, and the files it held next wait again.
    void fail(Worker &worker, Outcome outcome);
    // Ends the worker's process (it is made anew for its next file).
    void retire(Worker &worker);
    // The worker is done with the file it was reading: the next files are handed out, then the
    // receivers told.
    void finish(Worker &worker, const MediaDetails &details, Outcome outcome);

    QString program;
    int timeLimitMs = defaultTimeLimitMs;
    int wantedWorkers = 1;
    qint64 nextId = 1;
    std::vector<std::unique_ptr<Worker>> workers;
    // Waiting files: the queue each is in (true: urgent). A file asked urgently while it waits
    // in the background queue is added to the urgent one; its old place is skipped.
    QHash<QString, bool> waiting;
    std::deque<QString> urgentQueue;
    std::deque<QString> backgroundQueue;
    bool warnedNoStart = false;
    // After the program failed to start, files are answered unread until this expires.
    QDeadlineTimer startPause { 0 };
    bool drainQueued = false;
};
