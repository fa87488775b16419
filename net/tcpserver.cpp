#include "net/tcpserver.h"

#include "net/connectionhandler.h"

#include <QTcpSocket>

TCPServer::TCPServer(const QList<DirTreeInterface *> &libraries, PictureCache *pictures,
    quint16 port, QObject *parent)
    : QObject(parent)
    , libraryList(libraries)
    , pictures(pictures)
    , port(port)
{
    connect(&tcpServer, &QTcpServer::newConnection, this, &TCPServer::handleConnection);
}

TCPServer::~TCPServer()
{
    tcpServer.close();
    const QSet<QObject *> alive = handlers;
    handlers.clear();
    retiring.clear();
    for (QObject *handler : alive) {
        disconnect(handler, nullptr, this, nullptr);
        delete handler;
    }
}

bool TCPServer::listen(const QHostAddress &address)
{
    return tcpServer.listen(address, port);
}

quint16 TCPServer::serverPort() const
{
    return tcpServer.serverPort();
}

QList<ConnectionHandler *> TCPServer::connections() const
{
    QList<ConnectionHandler *> open;
    for (QObject *handler : handlers) {
        if (!retiring.contains(handler))
            open.append(static_cast<ConnectionHandler *>(handler));
    }
    return open;
}

void TCPServer::handleConnection()
{
    while (tcpServer.hasPendingConnections()) {
        QTcpSocket *socket = tcpServer.nextPendingConnection();
        if (!socket)
            break;
        auto *handler = new ConnectionHandler(this, socket, pictures);
        handler->setSendfileEnabled(sendfile);
        handlers.insert(handler);
        connect(handler, &ConnectionHandler::closed, this, &TCPServer::connectionClosed);
        connect(handler, &QObject::destroyed, this, &TCPServer::forget);
    }
}

void TCPServer::connectionClosed(ConnectionHandler *ch)
{
    // Closing can be reported more than once; the handler is deleted once, after the slot
    // that closed it has returned.
    if (!handlers.contains(ch) || retiring.contains(ch))
        return;
    retiring.insert(ch);
    ch->deleteLater();
}

void TCPServer::forget(QObject *handler)
{
    handlers.remove(handler);
    retiring.remove(handler);
}
