#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTcpServer>
#include <QTimer>

class ConnectionHandler;
class DirTreeInterface;
class PictureCache;
class QSocketNotifier;
class QTcpSocket;

// Listens for players and gives each connection its own ConnectionHandler. Connections are
// capped well below the descriptor limit, so a connected player's file can always be opened.
// At the cap an idle connection makes room for a new player (see makeRoom); players beyond
// the cap when none is idle, or beyond the descriptors there are, wait in the listen queue.
class TCPServer : public QObject
{
    Q_OBJECT

public:
    // The libraries (video, audio, pictures) and the picture cache are not owned.
    TCPServer(const QList<DirTreeInterface *> &libraries, PictureCache *pictures,
        quint16 port = 8000, QObject *parent = nullptr);
    // Handlers still alive are deleted with the server, their children: they answer through it.
    ~TCPServer() override;

    // Listens at the port given at construction, on every IPv4 address unless told
    // otherwise; false when the port is taken.
    bool listen(const QHostAddress &address = QHostAddress::AnyIPv4);
    // The port actually bound (useful when constructed with port 0).
    quint16 serverPort() const;

    const QList<DirTreeInterface *> &libraries() const { return libraryList; }
    // For connections accepted from now on: whether plain files may go through the
    // kernel's sendfile (on by default; only Linux has it).
    void setSendfileEnabled(bool enabled) { sendfile = enabled; }
    // Handlers whose connection has not closed yet.
    QList<ConnectionHandler *> connections() const;
    int connectionCount() const { return int(handlers.size()); }
    // Connections whose player is streaming (see ConnectionHandler::isStreaming).
    int streamingCount() const;
    // How many connections may be open at once: from the descriptor limit now, or lower when
    // set (tests).
    qint64 connectionCap() const;
    void setConnectionCap(qint64 cap) { capOverride = cap; }

    // Characters of requests cut short that all connections together may hold. Past it, the
    // connection holding the most is answered as it stands, as if its wait were over.
    static constexpr qsizetype defaultHeldTextBudget = 4 * 1024 * 1024;
    void setHeldTextBudget(qsizetype characters) { heldBudget = characters; }
    qsizetype heldText() const { return heldTotal; }
    // Called by a connection whose held text grew or shrank by delta characters.
    void heldTextChanged(qsizetype delta);

public slots:
    void handleConnection();
    void connectionClosed(ConnectionHandler *ch);

private:
    QTcpSocket *nextConnection();
    // A player waits in the listen queue.
    bool connectionWaiting() const;
    // Closes the idle connection that should make room for a new player; false when every
    // connection is busy.
    bool makeRoom();
    void pauseAccepting();
    void resumeAccepting();

    QList<DirTreeInterface *> libraryList;
    QTcpServer tcpServer;
    PictureCache *pictures;
    quint16 port;
    bool sendfile = true;
    QSet<ConnectionHandler *> handlers; // connections not closed yet
    QSocketNotifier *acceptNotifier = nullptr;
    qsizetype heldBudget = defaultHeldTextBudget;
    qsizetype heldTotal = 0;
    qint64 capOverride = 0;
    QTimer roomTimer; // looks again for an idle connection while players wait
};
