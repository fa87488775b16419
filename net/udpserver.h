#pragma once

#include <QObject>
#include <QString>

class QUdpSocket;

// Answers the players' discovery question with the server's name.
class UDPServer : public QObject
{
    Q_OBJECT

public:
    explicit UDPServer(const QString &name, quint16 port = 8000);

    // Binds the IPv4 any-address at the port given at construction; false when it is taken.
    bool bind();
    // The port actually bound (useful when constructed with port 0).
    quint16 localPort() const;

public slots:
    void data_available();
    void setServerName(const QString &name);

private:
    QUdpSocket *udpSocket = nullptr;
    QString serverName;
    quint16 port;
};
