#include "upnp/ssdp.h"

#include "upnp/description.h"
#include "upnp/upnplog.h"
#include "upnp/upnppaths.h"

#include <QDateTime>
#include <QLocale>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace {
const QHostAddress ssdpGroup(QStringLiteral("239.255.255.250"));
constexpr quint16 ssdpPort = 1900;
constexpr int interfaceCheckMs = 30 * 1000;
// Announcements are repeated well before max-age runs out, a little apart from other devices'.
constexpr int aliveMinMs = 600 * 1000;
constexpr int aliveSpreadMs = 240 * 1000;
constexpr int repeatMs = 150;
constexpr int maxSenders = 1024;
// A searcher on an address not seen before waits at most this long for the list to be read
// again, however many such questions come.
constexpr int subnetRereadMs = 1000;
constexpr int maxQuestionsPerTurn = 256;

const QByteArray deviceType = QByteArrayLiteral("urn:schemas-upnp-org:device:MediaServer:1");
const QByteArray serviceTypes[] = {
    QByteArrayLiteral("urn:schemas-upnp-org:service:ContentDirectory:1"),
    QByteArrayLiteral("urn:schemas-upnp-org:service:ConnectionManager:1"),
    QByteArrayLiteral("urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1"),
};

QByteArray httpDate()
{
    return QLocale::c()
               .toString(
                   QDateTime::currentDateTimeUtc(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss"))
               .toLatin1()
        + " GMT";
}

// The headers of an SSDP message, names in upper case; false when the start line is not `start`.
bool parseHeaders(
    const QByteArray &datagram, const QByteArray &start, QHash<QByteArray, QByteArray> *headers)
{
    const QList<QByteArray> lines = datagram.split('\n');
    if (lines.isEmpty() || lines.first().trimmed() != start)
        return false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        headers->insert(line.left(colon).trimmed().toUpper(), line.mid(colon + 1).trimmed());
    }
    return true;
}

bool usableInterface(const QNetworkInterface &interface)
{
    const auto flags = interface.flags();
    return flags.testFlag(QNetworkInterface::IsUp) && flags.testFlag(QNetworkInterface::IsRunning)
        && flags.testFlag(QNetworkInterface::CanMulticast);
}
} // namespace

SsdpServer::SsdpServer(QObject *parent)
    : SsdpServer(ssdpGroup, ssdpPort, ssdpPort, parent)
{ }

SsdpServer::SsdpServer(
    const QHostAddress &group, quint16 groupPort, quint16 bindPort, QObject *parent)
    : QObject(parent)
    , group(group)
    , groupPort(groupPort)
    , bindPort(bindPort)
{
    clock.start();
    interfaceTimer.setInterval(interfaceCheckMs);
    connect(&interfaceTimer, &QTimer::timeout, this, &SsdpServer::refreshInterfaces);
    aliveTimer.setSingleShot(true);
    connect(&aliveTimer, &QTimer::timeout, this, [this] { announce("ssdp:alive"); });
    repeatTimer.setSingleShot(true);
    repeatTimer.setInterval(repeatMs);
    connect(&repeatTimer, &QTimer::timeout, this, [this] {
        for (const Link &link : std::as_const(links))
            announceOn(link, "ssdp:alive");
    });
    answerTimer.setSingleShot(true);
    connect(&answerTimer, &QTimer::timeout, this, &SsdpServer::sendDue);
}

SsdpServer::~SsdpServer()
{
    stop();
}

void SsdpServer::setDevice(const QString &deviceUdn, quint16 port)
{
    udn = deviceUdn.toLatin1();
    httpPort = port;
}

bool SsdpServer::start()
{
    if (socket)
        return true;
    socket = new QUdpSocket(this);
    // Another program may hold the port too (on Windows a system service does).
    if (!socket->bind(QHostAddress::AnyIPv4, bindPort,
            QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        qCWarning(lcUpnp).noquote()
            << "SSDP: cannot bind UDP port" << bindPort << socket->errorString();
        delete socket;
        socket = nullptr;
        return false;
    }
    socket->setSocketOption(QAbstractSocket::MulticastTtlOption, 2);
    connect(socket, &QUdpSocket::readyRead, this, &SsdpServer::readQuestions);
    links.clear();
    refreshInterfaces();
    announce("ssdp:alive");
    interfaceTimer.start();
    return true;
}

void SsdpServer::stop()
{
    if (!socket)
        return;
    interfaceTimer.stop();
    aliveTimer.stop();
    repeatTimer.stop();
    answerTimer.stop();
    pending.clear();
    budgets.clear();
    subnets.clear();
    // Twice, as UDP may lose one; there is no later chance.
    for (int copy = 0; copy < 2; ++copy) {
        for (const Link &link : std::as_const(links))
            announceOn(link, "ssdp:byebye");
    }
    socket->close();
    delete socket;
    socket = nullptr;
    links.clear();
}

quint16 SsdpServer::localPort() const
{
    return socket ? socket->localPort() : 0;
}

QList<std::pair<QByteArray, QByteArray>> SsdpServer::targets() const
{
    QList<std::pair<QByteArray, QByteArray>> list {
        { "upnp:rootdevice", udn + "::upnp:rootdevice" },
        { udn, udn },
        { deviceType, udn + "::" + deviceType },
    };
    for (const QByteArray &type : serviceTypes)
        list.append({ type, udn + "::" + type });
    return list;
}

QList<QByteArray> SsdpServer::answersTo(
    const QByteArray &datagram, const QByteArray &location, int *mxSeconds) const
{
    QHash<QByteArray, QByteArray> headers;
    if (udn.isEmpty() || !parseHeaders(datagram, "M-SEARCH * HTTP/1.1", &headers))
        return {};
    if (headers.value("MAN") != "\"ssdp:discover\"")
        return {};
    const QByteArray st = headers.value("ST");
    if (st.isEmpty())
        return {};
    if (mxSeconds) {
        // Lenient: a missing or odd MX waits one second; no client waits longer than five.
        bool ok = false;
        const int mx = headers.value("MX").toInt(&ok);
        *mxSeconds = ok && mx >= 0 ? std::min(mx, 5) : 1;
    }

    QList<QByteArray> answers;
    const QByteArray common = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age="
        + QByteArray::number(maxAge) + "\r\nDATE: " + httpDate()
        + "\r\nEXT:\r\nLOCATION: " + location + "\r\nSERVER: " + serverWord() + "\r\n";
    for (const auto &[type, usn] : targets()) {
        // The UDN is compared without regard to case: some clients write it in upper case.
        const bool match = st == "ssdp:all"
            || (type == udn ? st.compare(type, Qt::CaseInsensitive) == 0 : st == type);
        if (match) {
            answers.append(
                common + "ST: " + type + "\r\nUSN: " + usn + "\r\nCONTENT-LENGTH: 0\r\n\r\n");
        }
    }
    return answers;
}

QUrl SsdpServer::announcedLocation(const QByteArray &datagram, const QHostAddress &peer)
{
    QHash<QByteArray, QByteArray> headers;
    if (!parseHeaders(datagram, "NOTIFY * HTTP/1.1", &headers)
        || headers.value("NTS").toLower() != "ssdp:alive")
        return {};
    const QUrl location(QString::fromLatin1(headers.value("LOCATION")), QUrl::StrictMode);
    // Only the sender's own description, over plain HTTP: a forged announcement must not
    // make this server fetch from a third host.
    if (!location.isValid() || location.scheme() != QLatin1String("http")
        || QHostAddress(location.host()) != peer || !location.userInfo().isEmpty())
        return {};
    return location;
}

void SsdpServer::readQuestions()
{
    // A bounded number per turn: a sender that never pauses must not keep the loop from the
    // players; the socket signals again for the rest.
    for (int read = 0; read < maxQuestionsPerTurn && socket && socket->hasPendingDatagrams();
         ++read) {
        if (socket->pendingDatagramSize() > maxDatagram) {
            // Read and drop: an oversized datagram is no SSDP question.
            socket->readDatagram(nullptr, 0);
            continue;
        }
        const QNetworkDatagram datagram = socket->receiveDatagram(maxDatagram);
        const QHostAddress peer = datagram.senderAddress();
        if (!datagram.isValid() || peer.protocol() != QAbstractSocket::IPv4Protocol
            || datagram.senderPort() <= 0) {
            continue;
        }
        const bool notify = datagram.data().startsWith("NOTIFY");
        if (!notify && !datagram.data().startsWith("M-SEARCH"))
            continue;
        const QHostAddress local = localAddressFor(peer, datagram.interfaceIndex());
        if (local.isNull())
            continue;
        if (notify) {
            // What a client is can be read in its own description (its maker and model).
            const QUrl location = announcedLocation(datagram.data(), peer);
            if (location.isValid())
                emit deviceAnnounced(peer, location);
            continue;
        }
        const int rank = admit(peer);
        if (rank == 0)
            continue;
        int mx = 0;
        const QList<QByteArray> answers = answersTo(datagram.data(), locationFor(local), &mx);
        if (answers.isEmpty())
            continue;
        // A question sent to our own address (not the group) needs no spreading out.
        const QHostAddress to = datagram.destinationAddress();
        const int spreadMs = to.isMulticast() || to.isNull() ? mx * 1000 : 0;
        qCInfo(lcUpnp).noquote() << peer.toString() << "searched; answering" << answers.size()
                                 << "targets";
        const qint64 now = clock.elapsed();
        for (const QByteArray &answer : answers) {
            const qint64 due
                = now + (spreadMs > 0 ? QRandomGenerator::global()->bounded(spreadMs) : 0);
            queue(PendingAnswer { answer, peer, quint16(datagram.senderPort()), due, now, rank });
        }
    }
    sendDue();
}

// Under a flood the queue keeps, and the rate spends itself on, the answers of those who asked
// least of late, the latest question first: a searcher new to us is answered in its time.
bool SsdpServer::sooner(const PendingAnswer &a, const PendingAnswer &b)
{
    return a.rank != b.rank ? a.rank < b.rank : a.asked > b.asked;
}

void SsdpServer::queue(PendingAnswer answer)
{
    if (pending.size() >= maxPendingAnswers) {
        const auto worst = std::max_element(pending.begin(), pending.end(), sooner);
        if (!sooner(answer, *worst))
            return;
        *worst = std::move(answer);
        return;
    }
    pending.append(std::move(answer));
}

int SsdpServer::admit(const QHostAddress &peer)
{
    const qint64 now = clock.elapsed();
    auto it = budgets.find(peer);
    if (it == budgets.end()) {
        if (budgets.size() >= maxSenders) {
            // Forget windows that have ended; when all are current, the oldest goes: the total
            // rate holds whoever is forgotten, and a new searcher is never turned away.
            for (auto old = budgets.begin(); old != budgets.end();)
                old = now - old->windowStart >= 2 * senderWindowMs ? budgets.erase(old) : ++old;
            if (budgets.size() >= maxSenders) {
                budgets.erase(std::min_element(
                    budgets.begin(), budgets.end(), [](const Budget &a, const Budget &b) {
                        return a.windowStart < b.windowStart;
                    }));
            }
        }
        it = budgets.insert(peer, Budget { now, 0, 0 });
    }
    if (now - it->windowStart >= senderWindowMs) {
        const int previous = now - it->windowStart < 2 * senderWindowMs ? it->questions : 0;
        *it = Budget { now, 0, previous };
    }
    if (++it->questions > questionsPerSenderWindow)
        return 0;
    return it->questions + it->previous;
}

void SsdpServer::sendDue()
{
    if (!socket)
        return;
    const qint64 now = clock.elapsed();
    tokens = std::min<double>(
        answerBurst, tokens + double(now - tokensAt) * answersPerSecond / 1000.0);
    tokensAt = now;
    pending.removeIf([&](const PendingAnswer &a) { return now - a.due > maxAnswerDelayMs; });

    while (tokens >= 1.0) {
        auto next = pending.end();
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if (it->due <= now && (next == pending.end() || sooner(*it, *next)))
                next = it;
        }
        if (next == pending.end())
            break;
        socket->writeDatagram(next->datagram, next->peer, next->port);
        pending.erase(next);
        tokens -= 1.0;
    }
    if (pending.isEmpty())
        return;
    qint64 wait = std::min_element(pending.cbegin(), pending.cend(),
                      [](const auto &a, const auto &b) { return a.due < b.due; })
                      ->due
        - now;
    if (wait <= 0) // due, but the rate is spent: until the next answer may go
        wait = qint64(std::ceil((1.0 - tokens) * 1000.0 / answersPerSecond));
    answerTimer.start(int(std::max<qint64>(1, wait)));
}

QHostAddress SsdpServer::answeringAddress(
    const QList<Subnet> &subnets, const QHostAddress &peer, uint interfaceIndex)
{
    // A sender that names no address (Wine reports an unbound local socket so) can only be this
    // machine: an answer to 0.0.0.0 goes nowhere else.
    if (peer.isLoopback() || peer == QHostAddress(QHostAddress::AnyIPv4))
        return QHostAddress(QHostAddress::LocalHost);
    for (const Subnet &subnet : subnets) {
        if (subnet.address == peer)
            return peer; // this machine, by another of its addresses
    }
    for (const Subnet &subnet : subnets) {
        if ((interfaceIndex != 0 && subnet.interfaceIndex != interfaceIndex)
            || subnet.prefixLength <= 0 || !peer.isInSubnet(subnet.address, subnet.prefixLength))
            continue;
        // The subnet's own and broadcast addresses are no one's: answers sent there would reach
        // every host on it.
        if (subnet.prefixLength < 31) {
            const quint32 hostMask = 0xffffffffu >> subnet.prefixLength;
            const quint32 host = peer.toIPv4Address() & hostMask;
            if (host == 0 || host == hostMask)
                return {};
        }
        return subnet.address;
    }
    return {};
}

QHostAddress SsdpServer::localAddressFor(const QHostAddress &peer, uint interfaceIndex)
{
    QHostAddress local = answeringAddress(subnets, peer, interfaceIndex);
    // An address that came up since the list was read is found at the latest a second later.
    if (local.isNull() && clock.elapsed() - subnetsAt >= subnetRereadMs) {
        refreshSubnets();
        local = answeringAddress(subnets, peer, interfaceIndex);
    }
    return local;
}

void SsdpServer::refreshSubnets()
{
    subnetsAt = clock.elapsed();
    subnets.clear();
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        if (!interface.flags().testFlag(QNetworkInterface::IsUp))
            continue;
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                subnets.append(
                    Subnet { uint(interface.index()), entry.ip(), entry.prefixLength() });
        }
    }
}

QByteArray SsdpServer::locationFor(const QHostAddress &local) const
{
    return "http://" + local.toString().toLatin1() + ':' + QByteArray::number(httpPort)
        + UpnpPaths::description;
}

void SsdpServer::refreshInterfaces()
{
    if (!socket)
        return;
    refreshSubnets();
    if (!group.isMulticast()) {
        // A test's unicast "group": the loopback is the one link.
        if (links.isEmpty())
            links.append(Link { QNetworkInterface(), QHostAddress(QHostAddress::LocalHost), 8 });
        return;
    }
    QList<Link> now;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        if (!usableInterface(interface))
            continue;
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) {
                now.append(Link { interface, entry.ip(), entry.prefixLength() });
                break;
            }
        }
    }
    const auto sameLink = [](const Link &a, const Link &b) {
        return a.interface.index() == b.interface.index() && a.address == b.address;
    };
    QList<Link> kept;
    for (const Link &link : std::as_const(links)) {
        if (std::any_of(now.cbegin(), now.cend(), [&](const Link &l) { return sameLink(l, link); }))
            kept.append(link);
        else
            socket->leaveMulticastGroup(group, link.interface);
    }
    const bool announced = aliveTimer.isActive();
    for (const Link &link : std::as_const(now)) {
        if (std::any_of(
                kept.cbegin(), kept.cend(), [&](const Link &l) { return sameLink(l, link); }))
            continue;
        if (!socket->joinMulticastGroup(group, link.interface)) {
            qCInfo(lcUpnp).noquote() << "SSDP: cannot join the group on" << link.interface.name()
                                     << socket->errorString();
            continue;
        }
        qCInfo(lcUpnp).noquote() << "SSDP: announcing on" << link.interface.name()
                                 << link.address.toString();
        kept.append(link);
        // An interface that comes up later hears the device at once, twice.
        if (announced) {
            announceOn(link, "ssdp:alive");
            QTimer::singleShot(repeatMs, this, [this, link] { announceOn(link, "ssdp:alive"); });
        }
    }
    links = kept;
}

void SsdpServer::announce(const QByteArray &nts)
{
    for (const Link &link : std::as_const(links))
        announceOn(link, nts);
    if (nts == "ssdp:alive") {
        repeatTimer.start();
        aliveTimer.start(aliveMinMs + int(QRandomGenerator::global()->bounded(aliveSpreadMs)));
    }
}

void SsdpServer::announceOn(const Link &link, const QByteArray &nts)
{
    if (!socket || udn.isEmpty())
        return;
    if (group.isMulticast())
        socket->setMulticastInterface(link.interface);
    const QByteArray location = locationFor(link.address);
    for (const auto &[nt, usn] : targets())
        socket->writeDatagram(notifyMessage(nt, usn, nts, location), group, groupPort);
}

QByteArray SsdpServer::notifyMessage(const QByteArray &nt, const QByteArray &usn,
    const QByteArray &nts, const QByteArray &location) const
{
    QByteArray message = "NOTIFY * HTTP/1.1\r\nHOST: " + group.toString().toLatin1() + ':'
        + QByteArray::number(groupPort) + "\r\n";
    if (nts == "ssdp:alive") {
        message += "CACHE-CONTROL: max-age=" + QByteArray::number(maxAge)
            + "\r\nLOCATION: " + location + "\r\nSERVER: " + serverWord() + "\r\n";
    }
    return message + "NT: " + nt + "\r\nNTS: " + nts + "\r\nUSN: " + usn + "\r\n\r\n";
}
