#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <QStringList>

class QProcess;
class QSocketNotifier;
class QTimer;

Q_DECLARE_LOGGING_CATEGORY(lcConvert)

// One ffmpeg process whose output a client takes as it is made. Lives on the event loop. What
// the process writes waits in a bounded buffer; when the reader falls behind, the process is
// no longer read and blocks on its pipe. The process dies with this object, and with hearth.
class Conversion : public QObject
{
    Q_OBJECT

public:
    enum class State { Idle, Starting, Streaming, Finished, Failed };

    static constexpr qint64 defaultBufferLimit = 1024 * 1024;
    // A process that has written nothing by then is taken for hung.
    static constexpr int defaultFirstBytesMs = 20 * 1000;

    explicit Conversion(QObject *parent = nullptr);
    ~Conversion() override;

    void setBufferLimit(qint64 bytes) { bufferLimit = bytes; }
    void setFirstBytesTimeout(int ms) { firstBytesMs = ms; }

    // Runs `program` with `arguments`; `descriptors` (taken, closed here) become the process's
    // 3, 4, ... (Linux), for inputs it reads as /proc/self/fd/N. False when it cannot start
    // at all (failed() has been emitted); a program that is not there fails soon after.
    bool start(
        const QString &program, const QStringList &arguments, const QList<int> &descriptors = {});
    // Ends the process now (its whole process group).
    void stop();

    State state() const { return current; }
    // Why it failed (ffmpeg's own last words where it said any).
    QString errorString() const { return why; }
    qint64 processId() const;
    qint64 bytesAvailable() const { return buffer.size() - head; }
    // Bytes made so far, taken or not.
    qint64 bytesMade() const { return made; }
    // Takes up to `max` bytes of what is there.
    qint64 read(char *data, qint64 max);
    // Everything made has been taken, and the process is done (Finished or Failed).
    bool atEnd() const;

signals:
    // New bytes to read, or the end (see state()).
    void readyRead();
    // Failed before making anything.
    void failed(const QString &why);
    // Once, when its process is done with (finished, failed, stopped, or this object gone):
    // it no longer counts against the limit, though bytes may still wait to be read.
    void over();

private:
    void readOutput();
    void readErrors();
    void processDone(int exitCode, bool crashed);
    void fail(const QString &reason);
    void settle();
    void resumeReading();
    void killGroup();
    void markOver();

    QProcess *process = nullptr;
    State current = State::Idle;
    QString why;
    QByteArray lastWords;
    QByteArray buffer;
    qsizetype head = 0;
    qint64 made = 0;
    qint64 bufferLimit = defaultBufferLimit;
    int firstBytesMs = defaultFirstBytesMs;
    QTimer *firstBytes = nullptr;
    bool outputClosed = false;
    bool processExited = false;
    int exitCode = 0;
    bool crashed = false;
    bool isOver = false;
    qint64 pid = 0;
#ifdef Q_OS_WIN
    void *job = nullptr;
#else
    int pipeRead = -1;
    QSocketNotifier *outputReady = nullptr;
#endif
};
