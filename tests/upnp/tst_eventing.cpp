#include "upnp/eventing.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>

namespace {
const QHostAddress subscriber(QHostAddress::LocalHost);

// A control point's event callback: collects each NOTIFY it is sent and answers 200.
class Callback : public QObject
{
public:
    explicit Callback(bool answers = true)
    {
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        connect(&server, &QTcpServer::newConnection, this, [this, answers] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                if (!answers)
                    continue; // accepted and never read: a callback that hangs
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    buffers[socket] += socket->readAll();
                    const QByteArray &text = buffers[socket];
                    const qsizetype end = text.indexOf("\r\n\r\n");
                    if (end < 0 || text.size() < end + 4 + header(text, "CONTENT-LENGTH").toInt())
                        return;
                    events.append(text);
                    socket->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
                    socket->disconnectFromHost();
                });
            }
        });
    }

    QByteArray url(const char *path = "/event") const
    {
        return "<http://127.0.0.1:" + QByteArray::number(server.serverPort()) + path + '>';
    }

    static QByteArray header(const QByteArray &message, const QByteArray &name)
    {
        for (const QByteArray &line : message.left(message.indexOf("\r\n\r\n")).split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toUpper() == name)
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }

    QTcpServer server;
    QHash<QTcpSocket *, QByteArray> buffers;
    QList<QByteArray> events;
};

QByteArray headerOf(const EventPublisher::Reply &reply, const QByteArray &name)
{
    for (const auto &[key, value] : reply.headers) {
        if (key == name)
            return value;
    }
    return {};
}
} // namespace

class TestEventing : public QObject
{
    Q_OBJECT

private slots:
    void subscribe_data();
    void subscribe();
    void initialEventThenChanges();
    void renewAndUnsubscribe_data();
    void renewAndUnsubscribe();
    void subscriptionsAreCapped_data();
    void subscriptionsAreCapped();
    void deadCallbacksHoldUpNoOne();
};

void TestEventing::subscribe_data()
{
    QTest::addColumn<QByteArray>("callback"); // "%" stands for the test's own callback
    QTest::addColumn<QByteArray>("nt");
    QTest::addColumn<QByteArray>("sid");
    QTest::addColumn<int>("status");

    QTest::newRow("new") << QByteArray("%") << QByteArray("upnp:event") << QByteArray() << 200;
    QTest::newRow("third host (CallStranger)") << QByteArray("<http://127.0.0.2:80/event>")
                                               << QByteArray("upnp:event") << QByteArray() << 412;
    QTest::newRow("third host first, ours second")
        << QByteArray("<http://10.1.2.3/x>%") << QByteArray("upnp:event") << QByteArray() << 200;
    QTest::newRow("host name") << QByteArray("<http://localhost:80/event>")
                               << QByteArray("upnp:event") << QByteArray() << 412;
    QTest::newRow("https") << QByteArray("<https://127.0.0.1:443/event>")
                           << QByteArray("upnp:event") << QByteArray() << 412;
    QTest::newRow("no brackets") << QByteArray("http://127.0.0.1:80/event")
                                 << QByteArray("upnp:event") << QByteArray() << 412;
    QTest::newRow("no NT") << QByteArray("%") << QByteArray() << QByteArray() << 412;
    QTest::newRow("wrong NT") << QByteArray("%") << QByteArray("upnp:propchange") << QByteArray()
                              << 412;
    QTest::newRow("no callback") << QByteArray() << QByteArray("upnp:event") << QByteArray() << 412;
    QTest::newRow("unknown SID") << QByteArray() << QByteArray() << QByteArray("uuid:nobody")
                                 << 412;
    QTest::newRow("SID with callback")
        << QByteArray("%") << QByteArray() << QByteArray("uuid:x") << 400;
    QTest::newRow("SID with NT") << QByteArray() << QByteArray("upnp:event") << QByteArray("uuid:x")
                                 << 400;
}

void TestEventing::subscribe()
{
    QFETCH(QByteArray, callback);
    QFETCH(QByteArray, nt);
    QFETCH(QByteArray, sid);
    QFETCH(int, status);

    Callback ours;
    EventPublisher publisher;
    callback.replace("%", ours.url());
    const EventPublisher::Reply reply = publisher.subscribe(
        UpnpService::ContentDirectory, subscriber, callback, nt, sid, "Second-1800");
    QCOMPARE(reply.status, status);
    QCOMPARE(publisher.subscriptionCount(), status == 200 ? 1 : 0);
    if (status == 200) {
        QVERIFY(headerOf(reply, "SID").startsWith("uuid:"));
        QCOMPARE(headerOf(reply, "TIMEOUT"), "Second-1800");
        QTRY_COMPARE(ours.events.size(), 1);
    } else {
        QVERIFY(reply.headers.isEmpty());
    }
}

void TestEventing::initialEventThenChanges()
{
    Callback ours;
    EventPublisher publisher;
    publisher.setSystemUpdateId(41);
    const auto reply = publisher.subscribe(UpnpService::ContentDirectory, subscriber,
        ours.url("/cb/1?x=y"), "upnp:event", {}, "Second-300");
    QCOMPARE(reply.status, 200);

    QTRY_COMPARE(ours.events.size(), 1);
    const QByteArray first = ours.events.at(0);
    QVERIFY2(first.startsWith("NOTIFY /cb/1?x=y HTTP/1.1\r\n"), first.constData());
    QCOMPARE(Callback::header(first, "SID"), headerOf(reply, "SID"));
    QCOMPARE(Callback::header(first, "SEQ"), "0");
    QCOMPARE(Callback::header(first, "NT"), "upnp:event");
    QCOMPARE(Callback::header(first, "NTS"), "upnp:propchange");
    QCOMPARE(Callback::header(first, "CONTENT-TYPE"), "text/xml; charset=\"utf-8\"");
    QVERIFY(first.contains("<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">"));
    QVERIFY(first.contains("<SystemUpdateID>41</SystemUpdateID>"));

    // Changes close together reach the subscriber as one event, the latest value.
    publisher.setSystemUpdateId(42);
    publisher.setSystemUpdateId(43);
    QTRY_COMPARE_WITH_TIMEOUT(ours.events.size(), 2, EventPublisher::moderationMs + 3000);
    QCOMPARE(Callback::header(ours.events.at(1), "SEQ"), "1");
    QVERIFY(ours.events.at(1).contains("<SystemUpdateID>43</SystemUpdateID>"));

    // Other services' subscribers hear nothing of it.
    Callback other;
    QCOMPARE(publisher
                 .subscribe(
                     UpnpService::ConnectionManager, subscriber, other.url(), "upnp:event", {}, {})
                 .status,
        200);
    QTRY_COMPARE(other.events.size(), 1);
    QVERIFY(other.events.at(0).contains("<CurrentConnectionIDs>0</CurrentConnectionIDs>"));
    publisher.setSystemUpdateId(44);
    QTRY_COMPARE_WITH_TIMEOUT(ours.events.size(), 3, EventPublisher::moderationMs + 3000);
    QCOMPARE(other.events.size(), 1);
}

void TestEventing::renewAndUnsubscribe_data()
{
    QTest::addColumn<QByteArray>("timeout");
    QTest::addColumn<QByteArray>("granted");
    QTest::newRow("in range") << QByteArray("Second-600") << QByteArray("Second-600");
    QTest::newRow("too short") << QByteArray("Second-5") << QByteArray("Second-300");
    QTest::newRow("too long") << QByteArray("Second-999999999999") << QByteArray("Second-1800");
    QTest::newRow("infinite") << QByteArray("Second-infinite") << QByteArray("Second-1800");
    QTest::newRow("missing") << QByteArray() << QByteArray("Second-1800");
    QTest::newRow("garbage") << QByteArray("soon") << QByteArray("Second-1800");
}

void TestEventing::renewAndUnsubscribe()
{
    QFETCH(QByteArray, timeout);
    QFETCH(QByteArray, granted);

    Callback ours;
    EventPublisher publisher;
    const QByteArray sid = headerOf(publisher.subscribe(UpnpService::ContentDirectory, subscriber,
                                        ours.url(), "upnp:event", {}, timeout),
        "SID");
    QVERIFY(!sid.isEmpty());
    const auto renewed
        = publisher.subscribe(UpnpService::ContentDirectory, subscriber, {}, {}, sid, timeout);
    QCOMPARE(renewed.status, 200);
    QCOMPARE(headerOf(renewed, "SID"), sid);
    QCOMPARE(headerOf(renewed, "TIMEOUT"), granted);
    // A SID belongs to the service it was made for.
    QCOMPARE(publisher.unsubscribe(UpnpService::ConnectionManager, sid).status, 412);
    QCOMPARE(publisher.unsubscribe(UpnpService::ContentDirectory, sid).status, 200);
    QCOMPARE(publisher.unsubscribe(UpnpService::ContentDirectory, sid).status, 412);
    QCOMPARE(
        publisher.subscribe(UpnpService::ContentDirectory, subscriber, {}, {}, sid, timeout).status,
        412);
    QCOMPARE(publisher.subscriptionCount(), 0);
}

// Subscribers at 127.0.0.1, .2, ... with callbacks nobody answers.
struct Crowd
{
    static QHostAddress address(int i) { return QHostAddress(subscriber.toIPv4Address() + i); }

    int subscribe(int i)
    {
        const QByteArray callback = "<http://" + address(i).toString().toLatin1() + ":9/event>";
        const auto reply = publisher.subscribe(
            UpnpService::ContentDirectory, address(i), callback, "upnp:event", {}, {});
        if (reply.status == 200)
            sids[i].append(headerOf(reply, "SID"));
        return reply.status;
    }

    // How many subscriptions each address still holds, most first.
    QList<int> held()
    {
        QList<int> counts;
        for (const QList<QByteArray> &list : std::as_const(sids)) {
            const int kept = int(std::count_if(list.cbegin(), list.cend(), [&](const auto &sid) {
                return publisher.subscribe(UpnpService::ContentDirectory, {}, {}, {}, sid, {})
                           .status
                    == 200;
            }));
            if (kept > 0)
                counts.append(kept);
        }
        std::sort(counts.rbegin(), counts.rend());
        return counts;
    }

    EventPublisher publisher;
    QMap<int, QList<QByteArray>> sids;
};

void TestEventing::subscriptionsAreCapped_data()
{
    QTest::addColumn<QList<int>>("held"); // by address, before
    QTest::addColumn<int>("asker"); // an address index; past the list: a newcomer
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("goOn"); // questions the others ask after, in turn
    QTest::addColumn<QList<int>>("after"); // by address, most first

    const int most = EventPublisher::maxPerPeer;
    const int full = EventPublisher::maxSubscriptions / most;
    const QList<int> flooded(full, most);
    const QList<int> newcomerIn = QList<int>(full - 1, most) + QList<int> { most - 1, 1 };
    QTest::newRow("one address at its share")
        << QList<int> { most } << 0 << 503 << 0 << QList<int> { most };
    QTest::newRow("room left") << QList<int>(full - 1, most) << full << 200 << 0
                               << QList<int>(full - 1, most) + QList<int> { 1 };
    QTest::newRow("full: a newcomer") << flooded << full << 200 << 0 << newcomerIn;
    // The newcomer keeps its one while they take turns taking each other's.
    QTest::newRow("full: a newcomer, the flood goes on")
        << flooded << full << 200 << 10000 << newcomerIn;
    QTest::newRow("full: a flooder again") << flooded << 0 << 503 << 0 << flooded;
    QTest::newRow("full: one holding fewer")
        << QList<int>(full - 1, most) + QList<int> { most / 2, most / 2 } << full - 1 << 200 << 0
        << QList<int>(full - 2, most) + QList<int> { most - 1, most / 2 + 1, most / 2 };
    const QList<int> ones(EventPublisher::maxSubscriptions, 1);
    QTest::newRow("full of ones: a newcomer")
        << ones << int(ones.size()) << 200 << 0 << ones; // one of them makes way
    QTest::newRow("full of ones: one of them again") << ones << 0 << 503 << 0 << ones;
}

void TestEventing::subscriptionsAreCapped()
{
    QFETCH(QList<int>, held);
    QFETCH(int, asker);
    QFETCH(int, status);
    QFETCH(int, goOn);
    QFETCH(QList<int>, after);

    Crowd crowd;
    for (int i = 0; i < held.size(); ++i) {
        for (int n = 0; n < held.at(i); ++n)
            QCOMPARE(crowd.subscribe(i), 200);
    }
    QCOMPARE(crowd.subscribe(asker), status);
    for (int i = 0; i < goOn; ++i)
        crowd.subscribe(i % int(held.size()));
    QVERIFY(crowd.publisher.subscriptionCount() <= EventPublisher::maxSubscriptions);
    QCOMPARE(crowd.held(), after);
}

void TestEventing::deadCallbacksHoldUpNoOne()
{
    Callback hanging(false);
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const QByteArray refused
        = "<http://127.0.0.1:" + QByteArray::number(closed.serverPort()) + "/gone>";
    closed.close();
    Callback ours;

    EventPublisher publisher;
    for (const QByteArray &url : { hanging.url(), refused, ours.url() }) {
        QCOMPARE(
            publisher
                .subscribe(UpnpService::ContentDirectory, subscriber, url, "upnp:event", {}, {})
                .status,
            200);
    }
    QElapsedTimer waited;
    waited.start();
    QTRY_COMPARE(ours.events.size(), 1);
    QVERIFY(waited.elapsed() < EventPublisher::sendTimeoutMs);
}

QTEST_GUILESS_MAIN(TestEventing)
#include "tst_eventing.moc"
