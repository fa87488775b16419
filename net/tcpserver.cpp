#include "net/tcpserver.h"

#include "net/connectionhandler.h"

#include <QTcpSocket>

#include <algorithm>
#include <limits>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <cerrno>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// A connection needs a descriptor for its socket and one for the file it serves; these stay
// free for everything else the program opens: pictures, folder listings, the configuration.
constexpr qint64 reservedDescriptors = 32;

} // namespace

TCPServer::TCPServer(const QList<DirTreeInterface *> &libraries, PictureCache *pictures,
    quint16 port, QObject *parent)
    : QObject(parent)
    , libraryList(libraries)
    , pictures(pictures)
    , port(port)
{
    roomTimer.setSingleShot(true);
    roomTimer.setInterval(1000);
    connect(&roomTimer, &QTimer::timeout, this, &TCPServer::resumeAccepting);
#ifndef Q_OS_UNIX
    connect(&tcpServer, &QTcpServer::newConnection, this, &TCPServer::handleConnection);
#endif
}

TCPServer::~TCPServer()
{
#ifdef Q_OS_UNIX
    // The notifier must not outlive the descriptor it watches.
    delete acceptNotifier;
#endif
    tcpServer.close();
}

bool TCPServer::listen(const QHostAddress &address)
{
    if (!tcpServer.listen(address, port))
        return false;
#ifdef Q_OS_UNIX
    // Accepting is ours: the toolkit retries a failed accept at once, which spins a core for as
    // long as descriptors are short.
    tcpServer.pauseAccepting();
    acceptNotifier = new QSocketNotifier(tcpServer.socketDescriptor(), QSocketNotifier::Read, this);
    connect(acceptNotifier, &QSocketNotifier::activated, this, &TCPServer::handleConnection);
#endif
    return true;
}

quint16 TCPServer::serverPort() const
{
    return tcpServer.serverPort();
}

QList<ConnectionHandler *> TCPServer::connections() const
{
    return handlers.values();
}

int TCPServer::streamingCount() const
{
    return int(std::count_if(handlers.cbegin(), handlers.cend(),
        [](const ConnectionHandler *handler) { return handler->isStreaming(); }));
}

qint64 TCPServer::connectionCap() const
{
    qint64 cap = std::numeric_limits<qint64>::max();
#ifdef Q_OS_UNIX
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        // What was open before listening (the listening descriptor is the newest of it) stays.
        const qint64 inUse = tcpServer.socketDescriptor() + 1;
        cap = qMax<qint64>(1, (qint64(limit.rlim_cur) - inUse - reservedDescriptors) / 2);
    }
#endif
    return capOverride > 0 ? qMin(cap, capOverride) : cap;
}

void TCPServer::handleConnection()
{
    for (;;) {
        if (handlers.size() >= connectionCap()) {
            // Readiness says when a player comes.
            if (!connectionWaiting())
                return;
            // At the cap a new player is not locked out by connections that do nothing.
            if (!makeRoom()) {
                // Every connection is busy: the player waits in the listen queue until one
                // closes, or is idle at the next look.
                pauseAccepting();
                roomTimer.start();
                return;
            }
        }
        QTcpSocket *socket = nextConnection();
        if (!socket)
            return;
        auto *handler = new ConnectionHandler(this, socket, pictures);
        handler->setSendfileEnabled(sendfile);
        handlers.insert(handler);
        connect(handler, &ConnectionHandler::closed, this, &TCPServer::connectionClosed);
        // Its descriptor is free once the socket is gone.
        connect(socket, &QObject::destroyed, this, &TCPServer::resumeAccepting);
    }
}

bool TCPServer::connectionWaiting() const
{
#ifdef Q_OS_UNIX
    pollfd listening { int(tcpServer.socketDescriptor()), POLLIN, 0 };
    return ::poll(&listening, 1, 0) > 0 && (listening.revents & POLLIN);
#else
    return tcpServer.hasPendingConnections();
#endif
}

bool TCPServer::makeRoom()
{
    // Never answered goes before answered (a player asks at once; a paused player between
    // two ranges has been answered), then the longest idle.
    ConnectionHandler *chosen = nullptr;
    for (ConnectionHandler *h : std::as_const(handlers)) {
        if (!h->isIdle())
            continue;
        if (!chosen || (!h->hasAnswered() && chosen->hasAnswered())
            || (h->hasAnswered() == chosen->hasAnswered() && h->idleNs() > chosen->idleNs()))
            chosen = h;
    }
    if (!chosen)
        return false;
    chosen->close();
    return true;
}

QTcpSocket *TCPServer::nextConnection()
{
#ifdef Q_OS_UNIX
    for (;;) {
        const int fd = ::accept4(
            int(tcpServer.socketDescriptor()), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            // Out of descriptors or memory: waiting for a connection to close frees them.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                pauseAccepting();
            return nullptr;
        }
        auto *socket = new QTcpSocket;
        if (socket->setSocketDescriptor(fd))
            return socket;
        delete socket;
        ::close(fd);
    }
#else
    return tcpServer.nextPendingConnection();
#endif
}

void TCPServer::pauseAccepting()
{
#ifdef Q_OS_UNIX
    if (acceptNotifier)
        acceptNotifier->setEnabled(false);
#else
    tcpServer.pauseAccepting();
#endif
}

void TCPServer::resumeAccepting()
{
#ifdef Q_OS_UNIX
    if (acceptNotifier && !acceptNotifier->isEnabled()) {
        acceptNotifier->setEnabled(true);
        // Connections may already wait: take them now rather than on the next readiness.
        handleConnection();
    }
#else
    tcpServer.resumeAccepting();
#endif
}

void TCPServer::heldTextChanged(qsizetype delta)
{
    heldTotal += delta;
    if (heldTotal <= heldBudget)
        return;
    // Many slow senders together must not fill memory: the biggest holder goes first. One
    // still waiting to be answered is not picked again.
    ConnectionHandler *biggest = nullptr;
    qsizetype most = 0;
    for (ConnectionHandler *h : std::as_const(handlers)) {
        const qsizetype held = h->heldText();
        if (held > most && !h->answerDue()) {
            most = held;
            biggest = h;
        }
    }
    if (biggest)
        biggest->answerHeldNow();
}

void TCPServer::connectionClosed(ConnectionHandler *ch)
{
    // Closing can be reported more than once; the handler is deleted once, after the slot
    // that closed it has returned.
    if (handlers.remove(ch))
        ch->deleteLater();
}
