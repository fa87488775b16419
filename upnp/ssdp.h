#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QNetworkInterface>
#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <utility>

class QUdpSocket;

// Makes the media server findable: answers M-SEARCH questions by unicast and announces the
// device (NOTIFY alive at start and periodically, byebye at stop) on every interface that is up.
class SsdpServer : public QObject
{
    Q_OBJECT

public:
    explicit SsdpServer(QObject *parent = nullptr);
    // For tests: announcements go to `group`:`groupPort` (a unicast address is sent to as is and
    // no group is joined), questions are received on `bindPort` (0: any free port).
    SsdpServer(
        const QHostAddress &group, quint16 groupPort, quint16 bindPort, QObject *parent = nullptr);
    ~SsdpServer() override;

    // The device's UDN ("uuid:...") and the HTTP port its description is served on.
    void setDevice(const QString &udn, quint16 httpPort);
    // Binds, joins the group on each interface that is up and announces; false when the
    // socket cannot be bound.
    bool start();
    // Says byebye and closes the socket.
    void stop();
    quint16 localPort() const;

    // Each (NT or ST, USN) pair this device answers for, root device first.
    QList<std::pair<QByteArray, QByteArray>> targets() const;
    // The answer to an M-SEARCH `datagram`, one message per matching target, with the
    // description found at `location`; empty when it is no search for us.
    QList<QByteArray> answersTo(
        const QByteArray &datagram, const QByteArray &location, int *mxSeconds = nullptr) const;

    // Upper bounds that keep a flood of questions from costing memory or traffic.
    static constexpr int maxDatagram = 2048;
    static constexpr int questionsPerSenderWindow = 30; // per sender address and window
    static constexpr int senderWindowMs = 5000;
    static constexpr int maxPendingAnswers = 256;
    static constexpr int maxAge = 1800;

private:
    struct Link
    {
        QNetworkInterface interface;
        QHostAddress address; // its first IPv4 address
        int prefixLength = 0;
    };
    struct PendingAnswer
    {
        QByteArray datagram;
        QHostAddress peer;
        quint16 port = 0;
    };

    void readQuestions();
    void refreshInterfaces();
    void announce(const QByteArray &nts);
    void announceOn(const Link &link, const QByteArray &nts);
    void sendDue();
    QHostAddress localAddressFor(const QHostAddress &peer, int interfaceIndex) const;
    bool admit(const QHostAddress &peer);
    QByteArray locationFor(const QHostAddress &local) const;
    QByteArray notifyMessage(const QByteArray &nt, const QByteArray &usn, const QByteArray &nts,
        const QByteArray &location) const;

    QUdpSocket *socket = nullptr;
    QHostAddress group;
    quint16 groupPort;
    quint16 bindPort;
    QByteArray udn;
    quint16 httpPort = 0;
    QList<Link> links; // interfaces joined (or, for a unicast group, merely known)
    QTimer interfaceTimer;
    QTimer aliveTimer;
    QTimer repeatTimer; // the second copy of each announcement
    QTimer answerTimer;
    QElapsedTimer clock;
    std::multimap<qint64, PendingAnswer> pending; // by due time on `clock`
    struct Budget
    {
        qint64 windowStart = 0;
        int questions = 0;
    };
    QHash<QHostAddress, Budget> budgets;
};
