#include "upnp/eventing.h"

#include "upnp/upnplog.h"

#include <QTcpSocket>
#include <QUrl>
#include <QUuid>
#include <QXmlStreamWriter>

#include <algorithm>

namespace {
constexpr int expiryCheckMs = 30 * 1000;
constexpr int maxResponse = 8 * 1024;

int index(UpnpService service)
{
    return int(service);
}

// "Second-N" clamped to what we keep; anything else gets the longest.
int timeoutSeconds(const QByteArray &header)
{
    const QByteArray text = header.trimmed().toLower();
    if (text.startsWith("second-")) {
        bool ok = false;
        const qint64 seconds = text.mid(7).toLongLong(&ok);
        if (ok)
            return int(std::clamp<qint64>(
                seconds, EventPublisher::minTimeoutSeconds, EventPublisher::maxTimeoutSeconds));
    }
    return EventPublisher::maxTimeoutSeconds;
}

// The first "<http://address:port/path>" of a CALLBACK header that points back at `peer`;
// empty when none does. Host names are refused: only the subscriber's own address is trusted.
QUrl callbackToPeer(const QByteArray &header, const QHostAddress &peer)
{
    qsizetype at = 0;
    while ((at = header.indexOf('<', at)) >= 0) {
        const qsizetype end = header.indexOf('>', at);
        if (end < 0)
            break;
        const QUrl url(QString::fromLatin1(header.mid(at + 1, end - at - 1)), QUrl::StrictMode);
        at = end;
        if (!url.isValid() || url.scheme() != QLatin1String("http") || !url.userInfo().isEmpty())
            continue;
        const QHostAddress host(url.host());
        if (!host.isNull() && host.isEqual(peer, QHostAddress::ConvertV4MappedToIPv4))
            return url;
    }
    return {};
}

// One key per subscriber, however the HTTP server spells its address.
QHostAddress normalized(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

QByteArray newSid()
{
    return "uuid:" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
}
} // namespace

EventPublisher::EventPublisher(QObject *parent)
    : QObject(parent)
{
    values[index(UpnpService::ContentDirectory)] = { { "SystemUpdateID", "1" } };
    values[index(UpnpService::ConnectionManager)] = { { "SourceProtocolInfo", "" },
        { "SinkProtocolInfo", "" }, { "CurrentConnectionIDs", "0" } };
    values[index(UpnpService::MediaReceiverRegistrar)]
        = { { "AuthorizationGrantedUpdateID", "0" }, { "AuthorizationDeniedUpdateID", "0" },
              { "ValidationSucceededUpdateID", "0" }, { "ValidationRevokedUpdateID", "0" } };
    for (int i = 0; i < 3; ++i) {
        moderation[i].setSingleShot(true);
        connect(
            &moderation[i], &QTimer::timeout, this, [this, i] { flushChanges(UpnpService(i)); });
        lastChange[i].start();
    }
    expiryTimer.setInterval(expiryCheckMs);
    connect(&expiryTimer, &QTimer::timeout, this, &EventPublisher::expire);
    expiryTimer.start();
}

EventPublisher::~EventPublisher()
{
    const QList<QByteArray> sids = subscriptions.keys();
    for (const QByteArray &sid : sids)
        remove(sid);
}

EventPublisher::Reply EventPublisher::subscribe(UpnpService service, const QHostAddress &peer,
    const QByteArray &callback, const QByteArray &nt, const QByteArray &sid,
    const QByteArray &timeout)
{
    expire();
    const int seconds = timeoutSeconds(timeout);
    const QByteArray timeoutHeader = "Second-" + QByteArray::number(seconds);

    if (!sid.isEmpty()) {
        // A renewal names the subscription only.
        if (!callback.isEmpty() || !nt.isEmpty())
            return Reply { 400, {} };
        const auto it = subscriptions.constFind(sid);
        if (it == subscriptions.cend() || (*it)->service != service)
            return Reply { 412, {} };
        (*it)->timeoutMs = qint64(seconds) * 1000;
        (*it)->lifetime.restart();
        return Reply { 200, { { "SID", sid }, { "TIMEOUT", timeoutHeader } } };
    }

    if (nt != "upnp:event" || callback.isEmpty() || callback.size() > maxCallbackLength)
        return Reply { 412, {} };
    const QUrl url = callbackToPeer(callback, peer);
    if (url.isEmpty()) {
        qCInfo(lcUpnp).noquote() << "GENA: refused a callback away from" << peer.toString();
        return Reply { 412, {} };
    }
    if (!makeRoomFor(peer))
        return Reply { 503, {} };

    auto subscription = std::make_shared<Subscription>();
    subscription->sid = newSid();
    subscription->service = service;
    // The callback's own spelling of the address (the peer may be seen as IPv4-mapped IPv6).
    subscription->peer = QHostAddress(url.host());
    subscription->port = quint16(url.port(80));
    subscription->path = url.path(QUrl::FullyEncoded).toLatin1();
    if (subscription->path.isEmpty())
        subscription->path = "/";
    if (url.hasQuery())
        subscription->path += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    subscription->timeoutMs = qint64(seconds) * 1000;
    subscription->lifetime.start();
    subscriptions.insert(subscription->sid, subscription);

    // The first event follows the reply, which the HTTP server sends after we return.
    const QByteArray newId = subscription->sid;
    QTimer::singleShot(initialEventDelayMs, this, [this, newId] {
        const auto it = subscriptions.constFind(newId);
        if (it == subscriptions.cend())
            return;
        Subscription *s = it->get();
        s->initialSent = true;
        s->waiting = values[index(s->service)];
        sendNext(s);
    });
    return Reply { 200, { { "SID", newId }, { "TIMEOUT", timeoutHeader } } };
}

EventPublisher::Reply EventPublisher::unsubscribe(UpnpService service, const QByteArray &sid)
{
    const auto it = subscriptions.constFind(sid);
    if (sid.isEmpty() || it == subscriptions.cend() || (*it)->service != service)
        return Reply { 412, {} };
    remove(sid);
    return Reply { 200, {} };
}

void EventPublisher::setSystemUpdateId(quint32 id)
{
    setVariable(UpnpService::ContentDirectory, "SystemUpdateID", QByteArray::number(id));
}

void EventPublisher::setVariable(
    UpnpService service, const QByteArray &name, const QByteArray &value)
{
    const int i = index(service);
    if (values[i].value(name) == value && values[i].contains(name))
        return;
    values[i].insert(name, value);
    changed[i].insert(name, value);
    if (!moderation[i].isActive())
        moderation[i].start(int(std::max<qint64>(0, moderationMs - lastChange[i].elapsed())));
}

void EventPublisher::flushChanges(UpnpService service)
{
    const int i = index(service);
    lastChange[i].restart();
    const QMap<QByteArray, QByteArray> change = std::exchange(changed[i], {});
    for (const auto &subscription : std::as_const(subscriptions)) {
        if (subscription->service != service)
            continue;
        subscription->waiting.insert(change);
        sendNext(subscription.get());
    }
}

void EventPublisher::sendNext(Subscription *s)
{
    // The first event (SEQ 0) goes out before any other.
    if (s->socket || !s->initialSent || s->waiting.isEmpty())
        return;
    const QByteArray content = body(std::exchange(s->waiting, {}));
    const QByteArray request = "NOTIFY " + s->path
        + " HTTP/1.1\r\nHOST: " + s->peer.toString().toLatin1() + ':' + QByteArray::number(s->port)
        + "\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nCONTENT-LENGTH: "
        + QByteArray::number(content.size())
        + "\r\nNT: upnp:event\r\nNTS: upnp:propchange\r\nSID: " + s->sid
        + "\r\nSEQ: " + QByteArray::number(s->seq) + "\r\nCONNECTION: close\r\n\r\n" + content;
    // The key wraps to 1, never to 0: 0 means "the first event" to the subscriber.
    s->seq = s->seq == 0xffffffffu ? 1 : s->seq + 1;

    const QByteArray sid = s->sid;
    s->response.clear();
    s->socket = new QTcpSocket(this);
    s->sendTimer = new QTimer(s->socket);
    s->sendTimer->setSingleShot(true);
    connect(s->sendTimer, &QTimer::timeout, this, [this, sid] { finishSend(sid); });
    connect(s->socket, &QTcpSocket::connected, this,
        [socket = s->socket, request] { socket->write(request); });
    connect(s->socket, &QTcpSocket::readyRead, this, [this, sid, socket = s->socket] {
        const auto it = subscriptions.constFind(sid);
        if (it == subscriptions.cend())
            return;
        (*it)->response += socket->read(maxResponse);
        // The status line and headers are all we wait for.
        if ((*it)->response.contains("\r\n\r\n") || (*it)->response.size() >= maxResponse)
            finishSend(sid);
    });
    connect(s->socket, &QTcpSocket::disconnected, this, [this, sid] { finishSend(sid); });
    connect(s->socket, &QTcpSocket::errorOccurred, this, [this, sid] { finishSend(sid); });
    s->sendTimer->start(sendTimeoutMs);
    s->socket->connectToHost(s->peer, s->port);
}

void EventPublisher::finishSend(const QByteArray &sid)
{
    const auto it = subscriptions.constFind(sid);
    if (it == subscriptions.cend() || !(*it)->socket)
        return;
    Subscription *s = it->get();
    QTcpSocket *socket = std::exchange(s->socket, nullptr);
    std::exchange(s->sendTimer, nullptr)->stop();
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    if (!s->response.startsWith("HTTP/1.1 200") && !s->response.startsWith("HTTP/1.0 200")) {
        qCInfo(lcUpnp).noquote() << "GENA: event" << sid << "not taken by"
                                 << s->peer.toString() + QLatin1Char(':')
                + QString::number(s->port);
    }
    // Later changes go out after this one, never beside it.
    QTimer::singleShot(0, this, [this, sid] {
        const auto again = subscriptions.constFind(sid);
        if (again != subscriptions.cend())
            sendNext(again->get());
    });
}

void EventPublisher::remove(const QByteArray &sid)
{
    const auto subscription = subscriptions.take(sid);
    if (subscription && subscription->socket) {
        subscription->sendTimer->stop();
        subscription->socket->disconnect(this);
        subscription->socket->abort();
        subscription->socket->deleteLater();
    }
}

bool EventPublisher::makeRoomFor(const QHostAddress &peer)
{
    QHash<QHostAddress, int> held;
    for (const auto &s : std::as_const(subscriptions))
        ++held[normalized(s->peer)];
    const int asking = held.value(normalized(peer));
    if (asking >= maxPerPeer)
        return false;
    if (subscriptions.size() < maxSubscriptions)
        return true;
    // A full table must not lock newcomers out until the flood's subscriptions expire: the
    // address that holds the most gives up the one it renewed longest ago, as long as it holds
    // more than the asker. Everyone thus keeps at least an equal share.
    const int most = *std::max_element(held.cbegin(), held.cend());
    if (most <= asking)
        return false;
    const Subscription *victim = nullptr;
    for (const auto &s : std::as_const(subscriptions)) {
        if (held.value(normalized(s->peer)) == most
            && (!victim || s->lifetime.elapsed() > victim->lifetime.elapsed())) {
            victim = s.get();
        }
    }
    qCInfo(lcUpnp).noquote() << "GENA: table full; dropped" << victim->sid << "of"
                             << victim->peer.toString() << "for" << peer.toString();
    remove(QByteArray(victim->sid));
    return true;
}

void EventPublisher::expire()
{
    QList<QByteArray> gone;
    for (const auto &subscription : std::as_const(subscriptions)) {
        if (subscription->lifetime.hasExpired(subscription->timeoutMs))
            gone.append(subscription->sid);
    }
    for (const QByteArray &sid : std::as_const(gone))
        remove(sid);
}

QByteArray EventPublisher::body(const QMap<QByteArray, QByteArray> &variables) const
{
    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.writeStartDocument();
    const QString ns = QStringLiteral("urn:schemas-upnp-org:event-1-0");
    xml.writeNamespace(ns, QStringLiteral("e"));
    xml.writeStartElement(ns, QStringLiteral("propertyset"));
    for (auto it = variables.cbegin(); it != variables.cend(); ++it) {
        xml.writeStartElement(ns, QStringLiteral("property"));
        xml.writeTextElement(QString::fromLatin1(it.key()), QString::fromUtf8(it.value()));
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return out;
}
