// First: on Windows it brings winsock2.h, which must come before anything includes windows.h.
#include <microhttpd.h>

#include "upnp/httpserver.h"

#include "upnp/upnplog.h"

#include <QSocketNotifier>
#include <QTimer>

#ifdef Q_OS_WIN
#include <QSet>

#include <io.h>
#else
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstring>
#include <optional>

namespace {

#ifdef Q_OS_WIN
// Windows has no epoll: libmicrohttpd is asked which sockets it waits on after every run, and
// each gets notifiers of its own (HttpServer::watchSockets).
constexpr unsigned pollingMode = 0;
// As many sockets as libmicrohttpd may list; fd_set of this program holds only FD_SETSIZE (64).
constexpr unsigned socketSetSize = 1024;
struct SocketSet
{
    u_int fd_count;
    SOCKET fd_array[socketSetSize];
};
// Files are read into libmicrohttpd's buffer this much at a time: its own descriptor reader
// takes 16 KiB a round, a third of the speed.
constexpr std::size_t fileBlock = 256 * 1024;

void closeDescriptor(int fd)
{
    ::_close(fd);
}

// A file's range read through its CRT descriptor at the answer's offset.
struct FileReader
{
    int fd;
    qint64 offset;

    static ssize_t read(void *cls, uint64_t position, char *buffer, std::size_t max)
    {
        auto *reader = static_cast<FileReader *>(cls);
        if (::_lseeki64(reader->fd, reader->offset + qint64(position), SEEK_SET) < 0)
            return MHD_CONTENT_READER_END_WITH_ERROR;
        const int got = ::_read(reader->fd, buffer, unsigned(std::min<std::size_t>(max, INT_MAX)));
        // The length was announced: a file that shrank ends the answer as an error.
        return got > 0 ? ssize_t(got) : ssize_t(MHD_CONTENT_READER_END_WITH_ERROR);
    }
    static void done(void *cls)
    {
        auto *reader = static_cast<FileReader *>(cls);
        ::_close(reader->fd);
        delete reader;
    }
};
#else
// On Linux libmicrohttpd's epoll descriptor stands for every socket it watches, so one
// notifier serves them all.
constexpr unsigned pollingMode = MHD_USE_EPOLL;

void closeDescriptor(int fd)
{
    ::close(fd);
}

int readinessDescriptor(MHD_Daemon *daemon)
{
    return MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
}

// sendfile stops at the end of a file that shrank, and libmicrohttpd then waits for the socket
// to become writable again, which it already is: the connection would hang until it idles out.
constexpr int fileCheckMs = 1000;
// A streamed answer waiting for bytes is checked this often for a client that hung up.
constexpr int streamCheckMs = 250;
#endif
// What a streamed answer hands libmicrohttpd at most per call.
constexpr std::size_t streamBlock = 64 * 1024;

quint16 portOf(const sockaddr *address)
{
    if (address->sa_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in *>(address)->sin_port);
    if (address->sa_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(address)->sin6_port);
    return 0;
}

// What a peer sent may hold anything: control characters do not reach the log.
QString shown(const QByteArray &text)
{
    QString line = QString::fromLatin1(text.left(200));
    for (QChar &c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('.');
    }
    return line;
}

QLatin1String endWords(MHD_RequestTerminationCode code)
{
    switch (code) {
    case MHD_REQUEST_TERMINATED_COMPLETED_OK:
        return QLatin1String("sent");
    case MHD_REQUEST_TERMINATED_TIMEOUT_REACHED:
        return QLatin1String("idle too long");
    case MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN:
        return QLatin1String("server stopped");
    case MHD_REQUEST_TERMINATED_READ_ERROR:
    case MHD_REQUEST_TERMINATED_CLIENT_ABORT:
        return QLatin1String("connection closed");
    case MHD_REQUEST_TERMINATED_WITH_ERROR:
        break;
    }
    return QLatin1String("error");
}

// Two Content-Length headers that disagree leave the body's end in doubt, and anything in
// front of this server may have read it the other way.
bool lengthsDisagree(const HttpRequest &request)
{
    std::optional<QByteArray> first;
    for (const auto &[key, value] : request.headers) {
        if (key.compare("Content-Length", Qt::CaseInsensitive) != 0)
            continue;
        if (!first)
            first = value.trimmed();
        else if (value.trimmed() != *first)
            return true;
    }
    return false;
}

// libmicrohttpd sends files with sendfile only when a peer that leaves mid-answer cannot raise
// SIGPIPE; without it every file goes through a 4 KiB buffer, ten times slower. (Windows has
// neither.)
void ignoreBrokenPipes()
{
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

} // namespace

struct HttpResponder::Exchange
{
    HttpServer *server = nullptr;
    MHD_Connection *connection = nullptr;
    HttpRequest request;
    bool bodyTooLarge = false;
    // Answered before its body was read: what of it still comes is dropped.
    bool answeredEarly = false;
    bool dispatched = false;
    bool inHandler = false;
    bool isSuspended = false;
    std::optional<HttpResponse> response;
    // For the log line once the answer is done.
    QString peer;
    QElapsedTimer started;
    int status = 0;
    qint64 answerBytes = -1;
};

struct HttpServer::Client
{
    MHD_Connection *connection = nullptr;
    QHostAddress address;
    QString peer; // address:port, for the log
    // When the awaited request must have arrived whole, on the server's clock; -1: none awaited.
    qint64 requestDeadline = -1;
#ifndef Q_OS_WIN
    // The file an answer is being sent from (libmicrohttpd's), and where that answer ends in it.
    int file = -1;
    qint64 fileEnd = 0;
#endif
};

QByteArray HttpRequest::header(QByteArrayView name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return QByteArray();
}

HttpResponse::HttpResponse(HttpResponse &&other) noexcept
{
    *this = std::move(other);
}

HttpResponse &HttpResponse::operator=(HttpResponse &&other) noexcept
{
    if (this != &other) {
        if (fd >= 0)
            closeDescriptor(fd);
        status = other.status;
        body = std::move(other.body);
        fd = std::exchange(other.fd, -1);
        offset = other.offset;
        length = other.length;
        stream = std::move(other.stream);
        headers = std::move(other.headers);
    }
    return *this;
}

HttpResponse::~HttpResponse()
{
    if (fd >= 0)
        closeDescriptor(fd);
}

HttpResponse HttpResponse::bytes(int status, QByteArray body, const QByteArray &contentType)
{
    HttpResponse response;
    response.status = status;
    response.body = std::move(body);
    if (!contentType.isEmpty())
        response.addHeader(QByteArrayLiteral("Content-Type"), contentType);
    return response;
}

HttpResponse HttpResponse::file(int status, int fd, qint64 offset, qint64 length)
{
    HttpResponse response;
    response.status = status;
    response.fd = fd;
    response.offset = offset;
    response.length = length;
    return response;
}

HttpResponse HttpResponse::streamed(int status, std::shared_ptr<HttpBodySource> source)
{
    HttpResponse response;
    response.status = status;
    response.stream = std::move(source);
    return response;
}

HttpResponse HttpResponse::empty(int status)
{
    HttpResponse response;
    response.status = status;
    return response;
}

void HttpResponse::addHeader(const QByteArray &name, const QByteArray &value)
{
    headers.append({ name, value });
}

void HttpResponder::send(HttpResponse response) const
{
    if (!exchange || exchange->response)
        return;
    exchange->response = std::move(response);
    // Inside the handler the answer is queued as it returns; later, the connection waits
    // suspended and is woken.
    if (!exchange->inHandler && exchange->isSuspended && exchange->server)
        exchange->server->resume(*exchange);
}

struct HttpServer::StreamReader
{
    HttpServer *server = nullptr;
    MHD_Connection *connection = nullptr;
    std::shared_ptr<HttpBodySource> source;
    int socket = -1;
    bool suspended = false;
    // The client hung up while the answer waited: it ends at its next read.
    bool cut = false;

    static ssize_t read(void *cls, uint64_t, char *buffer, std::size_t max)
    {
        auto *reader = static_cast<StreamReader *>(cls);
        if (reader->cut || !reader->server)
            return MHD_CONTENT_READER_END_WITH_ERROR;
        const qint64 got = reader->source->read(buffer, qint64(max));
        if (got > 0)
            return ssize_t(got);
        if (got == -1)
            return MHD_CONTENT_READER_END_OF_STREAM;
        if (got < 0)
            return MHD_CONTENT_READER_END_WITH_ERROR;
        // Nothing yet: the connection sleeps until the source wakes it (returning 0 alone
        // would have libmicrohttpd ask again at once, spinning).
        reader->suspended = true;
        reader->server->waitingStreams.insert(reader);
        MHD_suspend_connection(reader->connection);
#ifndef Q_OS_WIN
        if (!reader->server->streamCheck->isActive())
            reader->server->streamCheck->start();
#endif
        return 0;
    }

    void wake()
    {
        if (!suspended || !server)
            return;
        suspended = false;
        server->waitingStreams.erase(this);
        MHD_resume_connection(connection);
        server->scheduleRun();
    }

    static void done(void *cls)
    {
        auto *reader = static_cast<StreamReader *>(cls);
        reader->source->waker = nullptr;
        if (reader->server)
            reader->server->waitingStreams.erase(reader);
        delete reader;
    }
};

struct HttpServer::Callbacks
{
    using Shared = std::shared_ptr<HttpResponder::Exchange>;

    static Client *clientOf(MHD_Connection *connection)
    {
        const MHD_ConnectionInfo *info
            = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        return info ? static_cast<Client *>(info->socket_context) : nullptr;
    }

    static MHD_Result queue(
        HttpServer *server, HttpResponder::Exchange &exchange, HttpResponse &answer)
    {
        MHD_Connection *connection = exchange.connection;
        const int fd = answer.fd;
        exchange.status = answer.status;
        exchange.answerBytes = exchange.request.method == "HEAD" || answer.stream ? 0
            : fd >= 0                                                             ? answer.length
                      : answer.body.size();
        MHD_Response *response = nullptr;
        if (answer.stream) {
            auto *reader = new StreamReader;
            reader->server = server;
            reader->connection = connection;
            reader->source = std::move(answer.stream);
            if (const MHD_ConnectionInfo *info
                = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
                reader->socket = int(info->connect_fd);
            }
            reader->source->waker = [reader] { reader->wake(); };
            response = MHD_create_response_from_callback(
                MHD_SIZE_UNKNOWN, streamBlock, &StreamReader::read, reader, &StreamReader::done);
            if (!response)
                StreamReader::done(reader);
        } else if (answer.fd >= 0) {
#ifdef Q_OS_WIN
            auto *reader = new FileReader { std::exchange(answer.fd, -1), answer.offset };
            response = MHD_create_response_from_callback(
                uint64_t(answer.length), fileBlock, &FileReader::read, reader, &FileReader::done);
            if (!response)
                FileReader::done(reader);
#else
            response = MHD_create_response_from_fd_at_offset64(
                uint64_t(answer.length), std::exchange(answer.fd, -1), uint64_t(answer.offset));
#endif
        } else {
            // The response keeps the bytes themselves rather than a copy: a listing of a big
            // folder is megabytes.
            auto *kept = new QByteArray(std::move(answer.body));
            // constData: data() would copy bytes still shared with the caller.
            response = MHD_create_response_from_buffer_with_free_callback_cls(
                std::size_t(kept->size()), const_cast<char *>(kept->constData()),
                [](void *bytes) { delete static_cast<QByteArray *>(bytes); }, kept);
            if (!response)
                delete kept;
        }
        if (!response)
            return MHD_NO;
        for (const auto &[name, value] : std::as_const(answer.headers))
            MHD_add_response_header(response, name.constData(), value.constData());
        if (!server->serverHeader.isEmpty())
            MHD_add_response_header(response, "Server", server->serverHeader.constData());
        const MHD_Result result = MHD_queue_response(connection, unsigned(answer.status), response);
        MHD_destroy_response(response);
#ifndef Q_OS_WIN
        Client *client = clientOf(connection);
        if (result == MHD_YES && fd >= 0 && client && server->fileCheck) {
            // Kept open by the response until the answer is done (onCompleted).
            client->file = fd;
            client->fileEnd = answer.offset + answer.length;
            if (!server->fileCheck->isActive())
                server->fileCheck->start();
        }
#endif
        return result;
    }

    // Answered before the body is read; whatever of it still comes is dropped.
    static MHD_Result answerEarly(HttpServer *server, HttpResponder::Exchange &exchange, int status)
    {
        exchange.dispatched = true;
        exchange.answeredEarly = true;
        if (Client *client = clientOf(exchange.connection))
            client->requestDeadline = -1;
        HttpResponse answer = HttpResponse::empty(status);
        answer.addHeader(QByteArrayLiteral("Connection"), QByteArrayLiteral("close"));
        return queue(server, exchange, answer);
    }

    static MHD_Result collectHeader(void *cls, MHD_ValueKind, const char *key, const char *value)
    {
        auto *request = static_cast<HttpRequest *>(cls);
        request->headers.append({ QByteArray(key), QByteArray(value ? value : "") });
        return MHD_YES;
    }

    static QHostAddress localAddress(MHD_Connection *connection)
    {
        const MHD_ConnectionInfo *info
            = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (!info)
            return QHostAddress();
        sockaddr_storage address {};
#ifdef Q_OS_WIN
        int size = sizeof address;
#else
        socklen_t size = sizeof address;
#endif
        if (::getsockname(info->connect_fd, reinterpret_cast<sockaddr *>(&address), &size) != 0)
            return QHostAddress();
        return QHostAddress(reinterpret_cast<const sockaddr *>(&address));
    }

    static MHD_Result onRequest(void *cls, MHD_Connection *connection, const char *url,
        const char *method, const char *, const char *uploadData, std::size_t *uploadDataSize,
        void **state)
    {
        auto *server = static_cast<HttpServer *>(cls);
        if (!*state) {
            auto *shared = new Shared(std::make_shared<HttpResponder::Exchange>());
            *state = shared;
            HttpResponder::Exchange &exchange = **shared;
            exchange.server = server;
            exchange.connection = connection;
            HttpRequest &request = exchange.request;
            request.method = method;
            request.path = url;
            MHD_get_connection_values(connection, MHD_HEADER_KIND, &collectHeader, &request);
            if (const MHD_ConnectionInfo *info
                = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
                request.peer = QHostAddress(info->client_addr);
            }
            request.localAddress = localAddress(connection);
            const Client *client = clientOf(connection);
            exchange.peer = client ? client->peer : request.peer.toString();
            exchange.started.start();
            if (lengthsDisagree(request))
                return answerEarly(server, exchange, 400);
            bool ok = false;
            const qint64 declared = request.header("Content-Length").trimmed().toLongLong(&ok);
            if (ok && declared > server->serverLimits.maxBody)
                return answerEarly(server, exchange, 413);
            return MHD_YES;
        }
        HttpResponder::Exchange &exchange = **static_cast<Shared *>(*state);
        if (exchange.answeredEarly) {
            *uploadDataSize = 0;
            return MHD_YES;
        }
        if (*uploadDataSize > 0) {
            // A body without a length (chunked) is held to the same bound: what lies beyond
            // it is dropped and the request answered 413.
            if (!exchange.bodyTooLarge) {
                if (exchange.request.body.size() + qint64(*uploadDataSize)
                    > server->serverLimits.maxBody) {
                    exchange.bodyTooLarge = true;
                    exchange.request.body.clear();
                } else {
                    exchange.request.body.append(uploadData, qsizetype(*uploadDataSize));
                }
            }
            *uploadDataSize = 0;
            return MHD_YES;
        }
        if (!exchange.dispatched) {
            exchange.dispatched = true;
            if (Client *client = clientOf(connection))
                client->requestDeadline = -1;
            if (exchange.bodyTooLarge) {
                exchange.response = HttpResponse::empty(413);
            } else {
                HttpResponder responder;
                responder.exchange = *static_cast<Shared *>(*state);
                exchange.inHandler = true;
                server->handler(exchange.request, responder);
                exchange.inHandler = false;
            }
        }
        if (exchange.response)
            return queue(server, exchange, *exchange.response);
        exchange.isSuspended = true;
        server->suspended.insert(&exchange);
        MHD_suspend_connection(connection);
        return MHD_YES;
    }

    static void logAnswer(const HttpResponder::Exchange &exchange, MHD_RequestTerminationCode code)
    {
        if (!lcUpnp().isInfoEnabled())
            return;
        const HttpRequest &request = exchange.request;
        const QString asked = shown(request.method + ' ' + request.path);
        QString outcome;
        if (exchange.answerBytes < 0) {
            outcome = QStringLiteral("no answer (%1)").arg(endWords(code));
        } else if (code == MHD_REQUEST_TERMINATED_COMPLETED_OK) {
            outcome = QStringLiteral("%1, %2 bytes").arg(exchange.status).arg(exchange.answerBytes);
        } else {
            outcome = QStringLiteral("%1, stopped before its %2 bytes (%3)")
                          .arg(exchange.status)
                          .arg(exchange.answerBytes)
                          .arg(endWords(code));
        }
        qCInfo(lcUpnp).noquote() << exchange.peer << asked << "->" << outcome << "in"
                                 << exchange.started.elapsed() << "ms";
    }

    static void onCompleted(
        void *cls, MHD_Connection *connection, void **state, MHD_RequestTerminationCode code)
    {
        auto *server = static_cast<HttpServer *>(cls);
        if (Client *client = clientOf(connection)) {
#ifndef Q_OS_WIN
            client->file = -1;
#endif
            if (code == MHD_REQUEST_TERMINATED_COMPLETED_OK)
                server->awaitRequest(*client);
        }
        auto *shared = static_cast<Shared *>(*state);
        if (!shared)
            return;
        logAnswer(**shared, code);
        server->suspended.erase(shared->get());
        (*shared)->server = nullptr;
        (*shared)->connection = nullptr;
        delete shared;
        *state = nullptr;
    }

    static MHD_Result mayConnect(void *cls, const sockaddr *address, socklen_t)
    {
        const auto *server = static_cast<const HttpServer *>(cls);
        const Limits &limits = server->serverLimits;
        const QHostAddress from(address);
        const unsigned held = server->connectionsFrom.value(from);
        // An address that holds none always comes in while libmicrohttpd has room.
        if (held == 0)
            return MHD_YES;
        const unsigned shared
            = limits.connections - std::min(limits.reservedForNewcomers, limits.connections);
        if (held < limits.connectionsPerAddress && unsigned(server->openConnections) < shared)
            return MHD_YES;
        qCInfo(lcUpnp).noquote() << from.toString() << "turned away: it holds" << held << "of"
                                 << server->openConnections << "connections";
        return MHD_NO;
    }

    static void onConnection(
        void *cls, MHD_Connection *connection, void **context, MHD_ConnectionNotificationCode event)
    {
        auto *server = static_cast<HttpServer *>(cls);
        if (event == MHD_CONNECTION_NOTIFY_STARTED) {
            auto *client = new Client;
            client->connection = connection;
            if (const MHD_ConnectionInfo *info
                = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
                client->address = QHostAddress(info->client_addr);
                client->peer = client->address.toString() + QLatin1Char(':')
                    + QString::number(portOf(info->client_addr));
            }
            *context = client;
            server->clients.insert(client);
            ++server->connectionsFrom[client->address];
            server->awaitRequest(*client);
        } else if (auto *client = static_cast<Client *>(*context)) {
            *context = nullptr;
            server->clients.erase(client);
            const auto held = server->connectionsFrom.find(client->address);
            if (held != server->connectionsFrom.end() && --held.value() == 0)
                server->connectionsFrom.erase(held);
            delete client;
            server->closedInRun = true;
        }
#ifdef Q_OS_WIN
        // Called before the socket is closed: its handle may come back for the next one.
        if (event == MHD_CONNECTION_NOTIFY_CLOSED) {
            if (const MHD_ConnectionInfo *info
                = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
                server->unwatchSocket(qintptr(info->connect_fd));
            }
        }
#endif
        server->openConnections += event == MHD_CONNECTION_NOTIFY_STARTED ? 1 : -1;
        emit server->connectionCountChanged(server->openConnections);
    }
};

HttpServer::HttpServer(Handler handler, QObject *parent)
    : QObject(parent)
    , handler(std::move(handler))
{
    clock.start();
}

HttpServer::~HttpServer()
{
    close();
}

bool HttpServer::listen(const QHostAddress &address, quint16 port)
{
    close();
    sockaddr_storage storage {};
    unsigned flags = pollingMode | MHD_ALLOW_SUSPEND_RESUME;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
        flags |= MHD_USE_IPv6;
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
    }
    ignoreBrokenPipes();
    // Connections per address are counted here (Callbacks::mayConnect), not by libmicrohttpd.
    // clang-format off
    daemon = MHD_start_daemon(flags, port, &Callbacks::mayConnect, this,
        &Callbacks::onRequest, this,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&storage),
        MHD_OPTION_CONNECTION_LIMIT, serverLimits.connections,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, serverLimits.memoryPerConnection,
        MHD_OPTION_CONNECTION_TIMEOUT, serverLimits.idleTimeoutSeconds,
        MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::onCompleted, this,
        MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::onConnection, this,
        MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1,
        MHD_OPTION_END);
    // clang-format on
    if (!daemon) {
        qCWarning(lcUpnp, "Cannot listen for DLNA clients on port %u", unsigned(port));
        return false;
    }
    const MHD_DaemonInfo *portInfo = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
    boundPort = portInfo ? portInfo->port : port;
#ifdef Q_OS_WIN
    watchSockets();
#else
    readiness = new QSocketNotifier(readinessDescriptor(daemon), QSocketNotifier::Read, this);
    connect(readiness, &QSocketNotifier::activated, this, &HttpServer::runDaemon);
#endif
    timeout = new QTimer(this);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, this, &HttpServer::runDaemon);
    requestCheck = new QTimer(this);
    requestCheck->setSingleShot(true);
    connect(requestCheck, &QTimer::timeout, this, &HttpServer::checkDeadlines);
#ifndef Q_OS_WIN
    fileCheck = new QTimer(this);
    fileCheck->setInterval(fileCheckMs);
    connect(fileCheck, &QTimer::timeout, this, &HttpServer::checkFiles);
    streamCheck = new QTimer(this);
    streamCheck->setInterval(streamCheckMs);
    connect(streamCheck, &QTimer::timeout, this, &HttpServer::checkStreams);
#endif
    scheduleRun();
    return true;
}

void HttpServer::close()
{
    if (!daemon)
        return;
    // libmicrohttpd must not be stopped with a connection still suspended.
    const auto waiting = suspended;
    for (HttpResponder::Exchange *exchange : waiting) {
        exchange->isSuspended = false;
        exchange->server = nullptr;
        MHD_resume_connection(exchange->connection);
    }
    suspended.clear();
    // Woken to end: the daemon frees their answers as it stops.
    const auto streams = waitingStreams;
    for (StreamReader *reader : streams) {
        reader->cut = true;
        reader->wake();
    }
    delete readiness;
    readiness = nullptr;
#ifdef Q_OS_WIN
    for (QSocketNotifier *notifier : std::as_const(notifiers))
        retire(notifier);
    notifiers.clear();
#endif
    delete timeout;
    timeout = nullptr;
    delete requestCheck;
    requestCheck = nullptr;
#ifndef Q_OS_WIN
    delete fileCheck;
    fileCheck = nullptr;
    delete streamCheck;
    streamCheck = nullptr;
#endif
    // Every connection's notification comes as it stops.
    MHD_stop_daemon(daemon);
    daemon = nullptr;
    boundPort = 0;
    if (openConnections != 0) {
        openConnections = 0;
        emit connectionCountChanged(0);
    }
}

void HttpServer::resume(HttpResponder::Exchange &exchange)
{
    exchange.isSuspended = false;
    suspended.erase(&exchange);
    MHD_resume_connection(exchange.connection);
    scheduleRun();
}

void HttpServer::scheduleRun()
{
    if (runQueued)
        return;
    runQueued = true;
    QMetaObject::invokeMethod(this, &HttpServer::runDaemon, Qt::QueuedConnection);
}

void HttpServer::runDaemon()
{
    runQueued = false;
    if (!daemon)
        return;
    // While connections can go on at once (a file streaming into a socket with room), a few
    // rounds run here rather than one per pass of the event loop: each round sends at most
    // 128 KiB of a file (a 256 KiB block on Windows). The bound keeps every other socket and
    // timer served.
    MHD_UNSIGNED_LONG_LONG due = 0;
    for (int round = 0; round < 16; ++round) {
        closedInRun = false;
        MHD_run(daemon);
        if (!daemon)
            return;
        // At its connection limit libmicrohttpd takes its listening socket out of its epoll
        // set, and puts it back only as a run begins: once connections have closed, one more
        // run, or clients waiting in the backlog wait for a readiness that cannot come.
        if (closedInRun)
            continue;
        if (MHD_get_timeout(daemon, &due) != MHD_YES || due != 0)
            break;
    }
    if (closedInRun)
        scheduleRun();
#ifdef Q_OS_WIN
    watchSockets();
#endif
    if (MHD_get_timeout(daemon, &due) == MHD_YES)
        timeout->start(int(std::min<MHD_UNSIGNED_LONG_LONG>(due, INT_MAX)));
    else
        timeout->stop();
}

void HttpServer::awaitRequest(Client &client)
{
    if (serverLimits.requestTimeoutMs <= 0)
        return;
    client.requestDeadline = clock.elapsed() + serverLimits.requestTimeoutMs;
    // Every deadline is set this far ahead: a running check is due no later.
    if (requestCheck && !requestCheck->isActive())
        requestCheck->start(serverLimits.requestTimeoutMs);
}

void HttpServer::checkDeadlines()
{
    const qint64 now = clock.elapsed();
    qint64 next = -1;
    for (Client *client : clients) {
        if (client->requestDeadline < 0)
            continue;
        if (client->requestDeadline <= now) {
            qCInfo(lcUpnp).noquote() << client->peer << "closed: no request whole within"
                                     << serverLimits.requestTimeoutMs << "ms";
            client->requestDeadline = -1;
            cut(*client);
        } else if (next < 0 || client->requestDeadline < next) {
            next = client->requestDeadline;
        }
    }
    if (next >= 0)
        requestCheck->start(int(next - now));
}

void HttpServer::cut(const Client &client)
{
    const MHD_ConnectionInfo *info
        = MHD_get_connection_info(client.connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (!info)
        return;
#ifdef Q_OS_WIN
    ::shutdown(info->connect_fd, SD_BOTH);
#else
    ::shutdown(info->connect_fd, SHUT_RDWR);
#endif
    scheduleRun();
}

#ifndef Q_OS_WIN
void HttpServer::checkFiles()
{
    bool sending = false;
    for (Client *client : clients) {
        if (client->file < 0)
            continue;
        struct stat status
        {
        };
        if (::fstat(client->file, &status) == 0 && status.st_size < client->fileEnd) {
            qCInfo(lcUpnp).noquote()
                << client->peer << "closed: the file it was sent shrank below its answer";
            client->file = -1;
            cut(*client);
        } else {
            sending = true;
        }
    }
    if (!sending)
        fileCheck->stop();
}
#endif

#ifndef Q_OS_WIN
void HttpServer::checkStreams()
{
    const auto streams = waitingStreams;
    for (StreamReader *reader : streams) {
        pollfd socket { reader->socket, POLLRDHUP, 0 };
        if (reader->socket >= 0 && ::poll(&socket, 1, 0) > 0
            && (socket.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))) {
            qCInfo(lcUpnp) << "a client waiting for a stream hung up";
            reader->cut = true;
            reader->wake();
        }
    }
    if (waitingStreams.empty())
        streamCheck->stop();
}
#endif

#ifdef Q_OS_WIN
void HttpServer::retire(QSocketNotifier *notifier)
{
    // It may be the one whose signal is being handled.
    notifier->setEnabled(false);
    notifier->deleteLater();
}

void HttpServer::watchSockets()
{
    SocketSet read {}, write {}, except {};
    MHD_socket highest = MHD_INVALID_SOCKET;
    if (MHD_get_fdset2(daemon, reinterpret_cast<fd_set *>(&read),
            reinterpret_cast<fd_set *>(&write), reinterpret_cast<fd_set *>(&except), &highest,
            socketSetSize)
        != MHD_YES) {
        return;
    }
    QSet<std::pair<qintptr, int>> wanted;
    for (u_int i = 0; i < read.fd_count; ++i)
        wanted.insert({ qintptr(read.fd_array[i]), int(QSocketNotifier::Read) });
    for (u_int i = 0; i < write.fd_count; ++i)
        wanted.insert({ qintptr(write.fd_array[i]), int(QSocketNotifier::Write) });
    for (auto it = notifiers.begin(); it != notifiers.end();) {
        if (wanted.remove(it.key())) {
            ++it;
        } else {
            retire(it.value());
            it = notifiers.erase(it);
        }
    }
    for (const auto &[socket, type] : std::as_const(wanted)) {
        auto *notifier = new QSocketNotifier(socket, QSocketNotifier::Type(type), this);
        connect(notifier, &QSocketNotifier::activated, this, &HttpServer::runDaemon);
        notifiers.insert({ socket, type }, notifier);
    }
}

void HttpServer::unwatchSocket(qintptr socket)
{
    for (const int type : { int(QSocketNotifier::Read), int(QSocketNotifier::Write) }) {
        if (QSocketNotifier *notifier = notifiers.take({ socket, type }))
            retire(notifier);
    }
}
#endif
