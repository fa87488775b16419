#pragma once

#include "upnp/upnppaths.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTimer>

#include <memory>
#include <utility>

class QTcpSocket;

// GENA: subscriptions to the services' evented variables, and the events sent to them.
// Events go only to the subscriber's own address, one connection per subscription at a time;
// a callback that does not answer costs a bounded wait and holds up nothing else.
class EventPublisher : public QObject
{
    Q_OBJECT

public:
    struct Reply
    {
        int status = 200;
        QList<std::pair<QByteArray, QByteArray>> headers;
    };

    explicit EventPublisher(QObject *parent = nullptr);
    ~EventPublisher() override;

    // SUBSCRIBE: a new subscription (callback + nt) or a renewal (sid). The first event, with
    // every evented variable, follows the reply shortly.
    Reply subscribe(UpnpService service, const QHostAddress &peer, const QByteArray &callback,
        const QByteArray &nt, const QByteArray &sid, const QByteArray &timeout);
    Reply unsubscribe(UpnpService service, const QByteArray &sid);
    void setSystemUpdateId(quint32 id);
    // Any evented variable of a service; subscribers hear of changes.
    void setVariable(UpnpService service, const QByteArray &name, const QByteArray &value);

    int subscriptionCount() const { return int(subscriptions.size()); }

    static constexpr int maxSubscriptions = 64;
    static constexpr int maxPerPeer = 8;
    static constexpr int minTimeoutSeconds = 300;
    static constexpr int maxTimeoutSeconds = 1800;
    static constexpr int sendTimeoutMs = 5000;
    static constexpr int initialEventDelayMs = 100;
    static constexpr int moderationMs = 2000; // the least time between two change events
    static constexpr int maxCallbackLength = 1024;

private:
    struct Subscription
    {
        QByteArray sid;
        UpnpService service;
        QHostAddress peer;
        quint16 port = 80;
        QByteArray path;
        QElapsedTimer lifetime;
        qint64 timeoutMs = 0;
        quint32 seq = 0;
        bool initialSent = false;
        QTcpSocket *socket = nullptr; // the event being sent
        QTimer *sendTimer = nullptr;
        QByteArray response;
        QMap<QByteArray, QByteArray> waiting; // changes not yet sent
    };

    void expire();
    // Whether `peer` may subscribe once more; drops another subscriber's oldest when the table
    // is full and that subscriber holds more than `peer`.
    bool makeRoomFor(const QHostAddress &peer);
    void sendNext(Subscription *subscription);
    void finishSend(const QByteArray &sid);
    void flushChanges(UpnpService service);
    void remove(const QByteArray &sid);
    QByteArray body(const QMap<QByteArray, QByteArray> &variables) const;

    QHash<QByteArray, std::shared_ptr<Subscription>> subscriptions;
    QMap<QByteArray, QByteArray> values[3]; // evented variables of each service
    QMap<QByteArray, QByteArray> changed[3];
    QTimer moderation[3];
    QElapsedTimer lastChange[3];
    QTimer expiryTimer;
};
