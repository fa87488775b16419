#include "net/udpserver.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

// A player on loopback: sends one datagram and collects what comes back.
class Player
{
public:
    Player() { QVERIFY(socket.bind(QHostAddress::LocalHost, 0)); }

    void ask(const QByteArray &datagram, quint16 port)
    {
        socket.writeDatagram(datagram, QHostAddress::LocalHost, port);
    }

    // The answers that arrive within the wait; none when the question was refused.
    QList<QByteArray> answers(int waitMs = 300)
    {
        QList<QByteArray> received;
        (void)QTest::qWaitFor([&] {
            while (socket.hasPendingDatagrams())
                received.append(socket.receiveDatagram().data());
            return false;
        }, waitMs);
        while (socket.hasPendingDatagrams())
            received.append(socket.receiveDatagram().data());
        return received;
    }

    QUdpSocket socket;
};

class TestUdpServer : public QObject
{
    Q_OBJECT

private slots:
    void answersOnlyTheExactQuestion_data();
    void answersOnlyTheExactQuestion();
    void announcedName_data();
    void announcedName();
    void renameTakesEffectAtOnce();
    void twoPlayersGetOneAnswerEach();
    void bindFailsWhenPortIsTaken();
};

void TestUdpServer::answersOnlyTheExactQuestion_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("answered");

    const QByteArray question("ARE_YOU_VELA_HEARTH_SERVER?");
    QTest::newRow("exact") << question << true;
    QTest::newRow("NUL then junk") << question + QByteArray("\0junk\n", 6) << true;
    QTest::newRow("trailing NUL") << question + QByteArray(1, '\0') << true;
    QTest::newRow("trailing newline") << question + "\n" << false;
    QTest::newRow("trailing blank") << question + " " << false;
    QTest::newRow("lower case") << question.toLower() << false;
    QTest::newRow("shortened") << question.left(26) << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("leading NUL") << QByteArray(1, '\0') + question << false;
    QTest::newRow("huge") << QByteArray(60000, 'A') << false;
}

void TestUdpServer::answersOnlyTheExactQuestion()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, answered);

    UDPServer server(QStringLiteral("Den"), 0);
    QVERIFY(server.bind());
    Player player;
    player.ask(datagram, server.localPort());
    const QList<QByteArray> answers = player.answers();
    QCOMPARE(answers, answered ? QList<QByteArray>{"Den"} : QList<QByteArray>{});
}

void TestUdpServer::announcedName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("announced");

    QTest::newRow("plain") << QStringLiteral("My Hearth") << QByteArray("My Hearth");
    QTest::newRow("empty gives empty datagram") << QString() << QByteArray();
    QTest::newRow("cut to 30") << QStringLiteral("0123456789012345678901234567890123456789")
                               << QByteArray("012345678901234567890123456789");
    QTest::newRow("Latin-1") << QStringLiteral("K\u00fcche") << QByteArray("K\xfc" "che");
    QTest::newRow("outside Latin-1") << QStringLiteral("\u4e2d\u6587 TV")
                                     << QByteArray("?? TV");
    // Half an emoji is not announced as a character of its own.
    QTest::newRow("pair across the cut") << QString(29, QLatin1Char('x'))
            + QString::fromUtf8("\xF0\x9F\x98\x80") << QByteArray(29, 'x');
}

void TestUdpServer::announcedName()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, announced);

    UDPServer server(name, 0);
    QVERIFY(server.bind());
    Player player;
    player.ask("ARE_YOU_VELA_HEARTH_SERVER?", server.localPort());
    QCOMPARE(player.answers(), QList<QByteArray>{announced});
}

void TestUdpServer::renameTakesEffectAtOnce()
{
    UDPServer server(QStringLiteral("Old"), 0);
    QVERIFY(server.bind());
    Player player;
    player.ask("ARE_YOU_VELA_HEARTH_SERVER?", server.localPort());
    QCOMPARE(player.answers(), QList<QByteArray>{"Old"});
    server.setServerName(QStringLiteral("New"));
    player.ask("ARE_YOU_VELA_HEARTH_SERVER?", server.localPort());
    QCOMPARE(player.answers(), QList<QByteArray>{"New"});
}

void TestUdpServer::twoPlayersGetOneAnswerEach()
{
    UDPServer server(QStringLiteral("Den"), 0);
    QVERIFY(server.bind());
    Player first;
    Player second;
    first.ask("ARE_YOU_VELA_HEARTH_SERVER?", server.localPort());
    second.ask("ARE_YOU_VELA_HEARTH_SERVER?", server.localPort());
    QCOMPARE(first.answers(), QList<QByteArray>{"Den"});
    QCOMPARE(second.answers(), QList<QByteArray>{"Den"});
}

void TestUdpServer::bindFailsWhenPortIsTaken()
{
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0));
    UDPServer server(QStringLiteral("Den"), holder.localPort());
    QVERIFY(!server.bind());
}

QTEST_MAIN(TestUdpServer)
#include "tst_udpserver.moc"
