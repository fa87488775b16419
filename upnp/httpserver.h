#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>

#include <functional>
#include <memory>
#include <set>
#include <utility>

class QSocketNotifier;
class QTimer;
struct MHD_Daemon;
struct MHD_Connection;

// One HTTP request as the media server sees it, body read whole (it is bounded).
struct HttpRequest
{
    QByteArray method;
    // The URL's path, without the query; libmicrohttpd has decoded its percent-escapes.
    QByteArray path;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    QHostAddress peer;
    // The address the peer reached us on: URLs handed to it name this address.
    QHostAddress localAddress;

    // The first header of that name (case-insensitive), or a null array.
    QByteArray header(QByteArrayView name) const;
};

// A body made as it is sent, its length not known ahead (a conversion's output): chunked to an
// HTTP/1.1 client, to the connection's close for HTTP/1.0.
class HttpBodySource
{
public:
    virtual ~HttpBodySource() = default;
    // Up to `max` bytes now: 0 when there are none yet (the source then calls wake() once
    // there are, or once it has ended), -1 at its end, -2 when it failed (the answer is broken
    // off, so the client can tell).
    virtual qint64 read(char *buffer, qint64 max) = 0;
    void wake() const
    {
        if (waker)
            waker();
    }

private:
    friend class HttpServer;
    // Set by the server while the answer waits for bytes.
    std::function<void()> waker;
};

// An answer: bytes, a body made as it is sent, or a range of an open file that goes out with
// sendfile (on Windows read in blocks: its descriptor is the C runtime's).
class HttpResponse
{
public:
    HttpResponse() = default;
    HttpResponse(HttpResponse &&other) noexcept;
    HttpResponse &operator=(HttpResponse &&other) noexcept;
    HttpResponse(const HttpResponse &) = delete;
    HttpResponse &operator=(const HttpResponse &) = delete;
    ~HttpResponse();

    static HttpResponse bytes(int status, QByteArray body, const QByteArray &contentType);
    // Takes the descriptor; it is closed when the answer is done.
    static HttpResponse file(int status, int fd, qint64 offset, qint64 length);
    static HttpResponse empty(int status);
    static HttpResponse streamed(int status, std::shared_ptr<HttpBodySource> source);

    void addHeader(const QByteArray &name, const QByteArray &value);

    int status = 200;
    QByteArray body;
    int fd = -1;
    qint64 offset = 0;
    qint64 length = 0;
    std::shared_ptr<HttpBodySource> stream;
    QList<std::pair<QByteArray, QByteArray>> headers;
};

// Answers one request, now or later. Copies share the one answer; only the first send counts.
class HttpResponder
{
public:
    void send(HttpResponse response) const;

    // One request's state, shared by the server and the responders (httpserver.cpp).
    struct Exchange;

private:
    friend class HttpServer;
    std::shared_ptr<Exchange> exchange;
};

// An HTTP/1.1 server (libmicrohttpd) run inside the Qt event loop of the thread it was made
// on: requests reach the handler there. An answer that is not ready when the handler returns
// suspends the connection until HttpResponder::send; other connections go on meanwhile.
class HttpServer : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        unsigned connections = 64;
        // An address that already holds connections gets no more than this many...
        unsigned connectionsPerAddress = 32;
        // ...and none of the last few: they are kept for addresses that hold none, so that a
        // host or two cannot lock every other client out.
        unsigned reservedForNewcomers = 16;
        // Request line and headers are held in this much memory per connection.
        std::size_t memoryPerConnection = 32 * 1024;
        unsigned idleTimeoutSeconds = 60;
        // A request must arrive whole within this time of the connection's opening or of the
        // previous answer's end: a byte now and then keeps a connection from idling out, not
        // open for good.
        int requestTimeoutMs = 20 * 1000;
        // Longer bodies are answered 413 without reading them into memory.
        qint64 maxBody = 64 * 1024;
    };

    using Handler = std::function<void(const HttpRequest &request, const HttpResponder &responder)>;

    explicit HttpServer(Handler handler, QObject *parent = nullptr);
    ~HttpServer() override;

    void setLimits(const Limits &limits) { serverLimits = limits; }
    // The Server header of every answer.
    void setServerHeader(const QByteArray &value) { serverHeader = value; }
    // Port 0: any free port.
    bool listen(const QHostAddress &address, quint16 port);
    void close();
    bool isListening() const { return daemon != nullptr; }
    quint16 serverPort() const { return boundPort; }
    int connectionCount() const { return openConnections; }

signals:
    void connectionCountChanged(int count);

private:
    // libmicrohttpd's callbacks (httpserver.cpp).
    struct Callbacks;
    friend struct Callbacks;
    friend class HttpResponder;

    // One open connection (httpserver.cpp).
    struct Client;
    // A streamed answer's reader (httpserver.cpp).
    struct StreamReader;
    friend struct StreamReader;

    void resume(HttpResponder::Exchange &exchange);
    // The connection's next request must have arrived whole within the request time.
    void awaitRequest(Client &client);
    void checkDeadlines();
    // Ends a connection from outside libmicrohttpd: it sees the socket shut and closes it.
    void cut(const Client &client);
#ifndef Q_OS_WIN
    // Ends the answers whose file has become shorter than what they promised.
    void checkFiles();
    // Ends the streamed answers that wait for bytes whose client has hung up (a suspended
    // connection is not watched by libmicrohttpd).
    void checkStreams();
#endif
    // Lets libmicrohttpd do what is due, then waits again for readiness or its timeout.
    void runDaemon();
    void scheduleRun();
#ifdef Q_OS_WIN
    // Notifiers for each socket libmicrohttpd waits on, made and retired to match its list.
    void watchSockets();
    void unwatchSocket(qintptr socket);
    static void retire(QSocketNotifier *notifier);
    QHash<std::pair<qintptr, int>, QSocketNotifier *> notifiers;
#endif

    Handler handler;
    Limits serverLimits;
    QByteArray serverHeader;
    MHD_Daemon *daemon = nullptr;
    quint16 boundPort = 0;
    int openConnections = 0;
    QSocketNotifier *readiness = nullptr;
    QTimer *timeout = nullptr;
    bool runQueued = false;
    std::set<HttpResponder::Exchange *> suspended;
    std::set<Client *> clients;
    QHash<QHostAddress, unsigned> connectionsFrom;
    // A connection closed during the current run of libmicrohttpd.
    bool closedInRun = false;
    QElapsedTimer clock;
    QTimer *requestCheck = nullptr;
#ifndef Q_OS_WIN
    QTimer *fileCheck = nullptr;
    QTimer *streamCheck = nullptr;
#endif
    std::set<StreamReader *> waitingStreams;
};
