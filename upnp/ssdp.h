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

#include <utility>

class QUdpSocket;
class QUrl;

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

    // An IPv4 address of ours and the interface that holds it.
    struct Subnet
    {
        uint interfaceIndex = 0;
        QHostAddress address;
        int prefixLength = 0;
    };
    // The address of ours that a searcher at `peer` reaches us by, so its answers can name it;
    // null when `peer` is no neighbour on the interface the question came in on (0: not known)
    // and no address of this machine, or is a subnet's own or broadcast address. Anyone else
    // may be a forged source, and its answers a flood sent to someone else.
    static QHostAddress answeringAddress(
        const QList<Subnet> &subnets, const QHostAddress &peer, uint interfaceIndex);

    // Upper bounds that keep a flood of questions from costing memory or traffic.
    static constexpr int maxDatagram = 2048;
    static constexpr int questionsPerSenderWindow = 30; // per sender address and window
    static constexpr int senderWindowMs = 5000;
    static constexpr int maxPendingAnswers = 256;
    static constexpr int answersPerSecond = 100; // all senders together
    static constexpr int answerBurst = 200;
    static constexpr int maxAnswerDelayMs = 2000; // past its time an answer is dropped
    static constexpr int maxAge = 1800;

    // The description a device on the network announces (NOTIFY ssdp:alive), when it is a
    // neighbour's and names that neighbour's own address; empty otherwise.
    static QUrl announcedLocation(const QByteArray &datagram, const QHostAddress &peer);

signals:
    // A neighbour (a TV that renders, say) announced where its description is.
    void deviceAnnounced(const QHostAddress &peer, const QUrl &location);

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
        qint64 due = 0; // on `clock`
        qint64 asked = 0;
        int rank = 0; // the sender's recent questions: fewer go first
    };

    void readQuestions();
    void refreshInterfaces();
    void announce(const QByteArray &nts);
    void announceOn(const Link &link, const QByteArray &nts);
    void sendDue();
    void queue(PendingAnswer answer);
    static bool sooner(const PendingAnswer &a, const PendingAnswer &b);
    void refreshSubnets();
    QHostAddress localAddressFor(const QHostAddress &peer, uint interfaceIndex);
    // The sender's questions in this window and the one before; 0 when it asks too often.
    int admit(const QHostAddress &peer);
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
    QList<PendingAnswer> pending;
    double tokens = answerBurst; // answers that may go out now
    qint64 tokensAt = 0;
    QList<Subnet> subnets;
    qint64 subnetsAt = 0;
    struct Budget
    {
        qint64 windowStart = 0;
        int questions = 0;
        int previous = 0; // in the window before
    };
    QHash<QHostAddress, Budget> budgets;
};
