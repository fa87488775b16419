#include "net/udpserver.h"

#include "net/netlog.h"
#include "net/servername.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QUdpSocket>

namespace {
const QByteArray question = QByteArrayLiteral("ARE_YOU_VELA_HEARTH_SERVER?");
} // namespace

UDPServer::UDPServer(const QString &name, quint16 port)
    : port(port)
{
    setServerName(name);
    udpSocket = new QUdpSocket(this);
    connect(udpSocket, &QUdpSocket::readyRead, this, &UDPServer::data_available);
}

bool UDPServer::bind()
{
    return udpSocket->bind(QHostAddress::AnyIPv4, port);
}

quint16 UDPServer::localPort() const
{
    return udpSocket->localPort();
}

void UDPServer::setServerName(const QString &name)
{
    serverName = cutServerName(name);
}

void UDPServer::data_available()
{
    while (udpSocket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = udpSocket->receiveDatagram();
        if (!datagram.isValid())
            continue;
        // The text ends at the first NUL; any other trailing byte makes it differ.
        QByteArray text = datagram.data();
        const int nul = text.indexOf('\0');
        if (nul >= 0)
            text.truncate(nul);
        if (text != question)
            continue;
        udpSocket->writeDatagram(
            serverName.toLatin1(), datagram.senderAddress(), datagram.senderPort());
        qCInfo(lcDiscovery).noquote()
            << datagram.senderAddress().toString() + QLatin1Char(':')
                + QString::number(datagram.senderPort())
            << "asked; answered" << QLatin1Char('"') + serverName + QLatin1Char('"');
    }
}
