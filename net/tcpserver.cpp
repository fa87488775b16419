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
    return handlers.values();
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
    }
}

void TCPServer::connectionClosed(ConnectionHandler *ch)
{
    // Closing can be reported more than once; the handler is deleted once, after the slot
    // that closed it has returned.
    if (handlers.remove(ch))
        ch->deleteLater();
}
