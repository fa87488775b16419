#pragma once

#include "library/entryinfo.h"
#include "net/requestparser.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringView>
#include <QTimer>

#include <chrono>
#include <functional>

#include <memory>

class DirTreeInterface;
class PictureCache;
class QIODevice;
class QTcpSocket;
class TCPServer;

// One player connection: reads its requests, answers them on its socket, and streams GET
// answers as the socket drains so that a long transfer neither fills memory nor stalls other
// players. Requests behind a GET wait for it and are answered in order.
class ConnectionHandler : public QObject
{
    Q_OBJECT

public:
    // Bytes queued in the socket before feeding waits for it to drain.
    static constexpr qint64 maxQueuedBytes = 1024 * 1024;
    // Largest read from a source, and largest text parsed in one go.
    static constexpr qint64 chunkSize = 64 * 1024;
    static constexpr qint64 maxTextSize = 64 * 1024;
    // Requests answered, and bytes of a GET sent, before other connections get their turn:
    // one turn of the event loop then stays short for a player waiting on another
    // connection, whatever the others stream.
    static constexpr int requestsPerTurn = 16;
    static constexpr qint64 turnBytes = 256 * 1024;
    // How long a connection may stay open without asking anything we answer (players ask at
    // once).
    static constexpr std::chrono::seconds unansweredWait { 30 };
    // How long a request cut short waits for the rest of its bytes before it is answered as
    // it stands (a player may send requests without their terminators).
    static constexpr std::chrono::milliseconds tailWait { 100 };

    ConnectionHandler(TCPServer *server, QTcpSocket *socket, PictureCache *pictures);
    ~ConnectionHandler() override;

    QTcpSocket *socket() const { return connection; }

    // Bytes handed to the socket and not yet reported written.
    qint64 queuedBytes() const { return queued; }
    // Bytes of answers sent so far.
    qint64 bytesAnswered() const { return answeredBytes; }
    // Bytes taken from the socket so far.
    qint64 bytesReceived() const { return received; }
    bool transferActive() const { return transferRemaining > 0; }
    // Sending a GET now, or sent one within the last few seconds: a player plays in ranges.
    bool isStreaming() const;
    // Requests of the current text not answered yet.
    bool requestsWaiting() const { return textPos < text.size(); }
    // The text ends inside a request that waits for the rest of its bytes.
    bool holdsPartialRequest() const { return holdingTail; }
    // Characters of the request held for the rest of its bytes (0 when none is held).
    qsizetype heldText() const { return holdingTail ? text.size() - textPos : 0; }
    // The held request is answered as it stands at the next turn, as if its wait were over.
    void answerHeldNow();
    bool answerDue() const { return holdingTail && answerTail; }
    // Nothing to do for it: no request pending or held, no picture converting, nothing being
    // sent, and nothing of an answer left in the kernel for the player to take (a paused
    // player's GET is still being sent).
    bool isIdle() const;
    // Whether any request on it has been answered.
    bool hasAnswered() const { return answeredAny; }
    // Nanoseconds since bytes last came or went (or it opened).
    qint64 idleNs() const { return lastActivity.nsecsElapsed(); }
    // Plain files go from the disk to the connection through the kernel where it can
    // (Linux); off, every byte passes through the socket's buffer.
    void setSendfileEnabled(bool enabled) { sendfileEnabled = enabled; }

signals:
    void closed(ConnectionHandler *ch);

public slots:
    void readData();
    void close();

private:
    // Request handlers: each answers one parsed request on the socket.
    void handleList(const RequestParser::Request &request);
    void handleAction(const RequestParser::Request &request);
    void handleSize(const RequestParser::Request &request);
    void handleGet(const RequestParser::Request &request);

    DirTreeInterface *libraryFor(const QString &mediaWord) const;
    EntryInfo resolvePath(const RequestParser::RequestPath &path) const;

    void bytesWritten(qint64 count);
    // Answers what can be answered now: pending text first, then what waits on the socket.
    void process();
    // The same, then small answers go out at once.
    void processAndFlush();
    void resumeLater();
    bool readText();
    void tailWaitOver();
    // Tells the server how much this connection holds now.
    void countHeld();
    void unansweredWaitOver();
    // With hearth.net info enabled: one line per request, written once its answer is out.
    void beginLogLine(QStringView request);
    void finishLogLine();
    void dispatchOne();
    bool write(const char *data, qint64 size);
    bool write(const QByteArray &bytes);
    void feedTransfer();
    bool feedChunk();
#ifdef Q_OS_LINUX
    bool sendfileApplies() const;
    // Sends straight from the file until the connection is full, the range is done or the
    // turn's bytes are spent; true when the connection is full.
    bool sendFileDirectly();
#endif
    // The source and the size SIZE reports for it (and GET pads to).
    void replaceSource(std::unique_ptr<QIODevice> device, qint64 size);
    // Makes the source a SIZE or GET names, then runs `then`: at once for a file, once the
    // picture cache has answered for a picture to convert.
    void makeSource(
        const RequestParser::RequestPath &path, const EntryInfo &entry, std::function<void()> then);
    void startTransfer(const RequestParser::Range &range);

    TCPServer *server;
    QTcpSocket *connection;
    PictureCache *pictureCache;
    std::unique_ptr<QIODevice> currentSource;
    qint64 currentSourceSize = 0;

    QString text; // the text being answered
    qsizetype textPos = 0;
    // text from textPos on is a request cut short, kept to be joined with the next bytes;
    // once the wait is over it is answered as it stands.
    bool holdingTail = false;
    bool answerTail = false;
    QTimer tailTimer;
    int heldBarsNeeded = 0;
    int heldBars = 0; // in the held text
    qsizetype heldCounted = 0; // as the server last heard it

    QElapsedTimer lastGet;
    QElapsedTimer lastActivity;
    QTimer unansweredTimer;
    bool answeredAny = false;
    QString peer; // address:port, for the log
    qint64 answeredBytes = 0;
    QString logRequest; // null: no line pending
    qint64 logStartBytes = 0;
    QElapsedTimer logTimer;
    qint64 queued = 0;
    qint64 received = 0;
    quint64 transferRemaining = 0;
    bool transferPadding = false;
    bool processing = false;
    bool resumePosted = false;
    bool flushing = false;
    bool drainedWhileFlushing = false;
    bool closing = false;
    bool sendfileEnabled = true;
    bool waitingForPicture = false;
    QByteArray chunk; // one read buffer, reused
};
