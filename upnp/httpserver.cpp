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
#include <sys/socket.h>
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
#endif

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
    bool dispatched = false;
    bool inHandler = false;
    bool isSuspended = false;
    std::optional<HttpResponse> response;
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
        headers = std::move(other.headers);
    }
    return *this;
}

HttpResponse::~HttpResponse()
{
    if (fd >= 0)
        closeDescriptor(fd);
}

HttpResponse HttpResponse::bytes(int status, const QByteArray &body, const QByteArray &contentType)
{
    HttpResponse response;
    response.status = status;
    response.body = body;
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

struct HttpServer::Callbacks
{
    using Shared = std::shared_ptr<HttpResponder::Exchange>;

    static MHD_Result queue(HttpServer *server, MHD_Connection *connection, HttpResponse &answer)
    {
        MHD_Response *response = nullptr;
        if (answer.fd >= 0) {
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
            response = MHD_create_response_from_buffer_with_free_callback_cls(
                std::size_t(kept->size()), kept->data(),
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
        return result;
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
            bool ok = false;
            const qint64 declared = request.header("Content-Length").trimmed().toLongLong(&ok);
            if (ok && declared > server->serverLimits.maxBody) {
                // Answered before the body is read; whatever of it still comes is dropped.
                exchange.dispatched = true;
                exchange.bodyTooLarge = true;
                HttpResponse tooLarge = HttpResponse::empty(413);
                tooLarge.addHeader(QByteArrayLiteral("Connection"), QByteArrayLiteral("close"));
                return queue(server, connection, tooLarge);
            }
            return MHD_YES;
        }
        HttpResponder::Exchange &exchange = **static_cast<Shared *>(*state);
        if (exchange.dispatched && exchange.bodyTooLarge) {
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
            return queue(server, connection, *exchange.response);
        exchange.isSuspended = true;
        server->suspended.insert(&exchange);
        MHD_suspend_connection(connection);
        return MHD_YES;
    }

    static void onCompleted(void *cls, MHD_Connection *, void **state, MHD_RequestTerminationCode)
    {
        auto *shared = static_cast<Shared *>(*state);
        if (!shared)
            return;
        auto *server = static_cast<HttpServer *>(cls);
        server->suspended.erase(shared->get());
        (*shared)->server = nullptr;
        (*shared)->connection = nullptr;
        delete shared;
        *state = nullptr;
    }

    static void onConnection(
        void *cls, MHD_Connection *connection, void **, MHD_ConnectionNotificationCode event)
    {
        auto *server = static_cast<HttpServer *>(cls);
#ifdef Q_OS_WIN
        // Called before the socket is closed: its handle may come back for the next one.
        if (event == MHD_CONNECTION_NOTIFY_CLOSED) {
            if (const MHD_ConnectionInfo *info
                = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
                server->unwatchSocket(qintptr(info->connect_fd));
            }
        }
#else
        Q_UNUSED(connection);
#endif
        server->openConnections += event == MHD_CONNECTION_NOTIFY_STARTED ? 1 : -1;
        emit server->connectionCountChanged(server->openConnections);
    }
};

HttpServer::HttpServer(Handler handler, QObject *parent)
    : QObject(parent)
    , handler(std::move(handler))
{ }

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
    // clang-format off
    daemon = MHD_start_daemon(flags, port, nullptr, nullptr, &Callbacks::onRequest, this,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&storage),
        MHD_OPTION_CONNECTION_LIMIT, serverLimits.connections,
        // One peer may not take every connection.
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, std::max(1u, serverLimits.connections / 2),
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
    delete readiness;
    readiness = nullptr;
#ifdef Q_OS_WIN
    for (QSocketNotifier *notifier : std::as_const(notifiers))
        retire(notifier);
    notifiers.clear();
#endif
    delete timeout;
    timeout = nullptr;
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
        MHD_run(daemon);
        if (!daemon)
            return;
        if (MHD_get_timeout(daemon, &due) != MHD_YES || due != 0)
            break;
    }
#ifdef Q_OS_WIN
    watchSockets();
#endif
    if (MHD_get_timeout(daemon, &due) == MHD_YES)
        timeout->start(int(std::min<MHD_UNSIGNED_LONG_LONG>(due, INT_MAX)));
    else
        timeout->stop();
}

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
