#include "fakelibrary.h"
#include "net/connectionhandler.h"
#include "net/tcpserver.h"
#include "picture/picturecache.h"
#include "swapper.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed * 7 + i / 251) & 0xff);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray zeros(int n)
{
    return QByteArray(n, '\0');
}

const QByteArray sentinel = QByteArrayLiteral("SIZE /VIDEO/other.avi|\r\n\r\n");
const QByteArray sentinelAnswer = QByteArrayLiteral("000000000000050");

} // namespace

class TestConnectionHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void protocol_data();
    void protocol();
    void twoPlayersOneClosing();
    void longPathAndPipelinedRequests();
    void floodDoesNotHoldUpOthers();
    void heldTextBoundedForAll();
    void serverGoneWithOpenConnections();
    void descriptorsRunningOut();
    void fullCapLocksNobodyOut();
    void pictureInFlightHoldsUpOnlyItsConnection();
    void swapRace_data();
    void swapRace();

private:
    bool connectClient(QTcpSocket &client, QPointer<ConnectionHandler> &handler);

    QTemporaryDir dir;
    QByteArray clip, other, one, liveA, smallPicture;
    QByteArray converted;
    std::unique_ptr<FakeLibrary> video, audio, pictures;
    std::unique_ptr<PictureCache> cache;
    std::unique_ptr<TCPServer> server;
};

void TestConnectionHandler::initTestCase()
{
    QVERIFY(dir.isValid());
    QDir root(dir.path());
    clip = pattern(300, 1);
    other = pattern(50, 2);
    one = pattern(1000, 3);
    liveA = pattern(77, 4);
    QVERIFY(writeFile(dir.filePath(QStringLiteral("clip.avi")), clip));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("other.avi")), other));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("one.mp3")), one));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("gone.mp3")), "x"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("empty.mp3")), QByteArray()));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("\u03a9mega.mp3")), "omega"));
    QVERIFY(root.mkpath(QStringLiteral("disk/sub")));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("disk/b.mp3")), "b"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("disk/a.mp3")), liveA));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("disk/.hidden.mp3")), "h"));

    QImage image(1600, 1200, QImage::Format_RGB32);
    image.fill(Qt::white);
    QVERIFY(image.save(dir.filePath(QStringLiteral("a.jpg")), "JPEG"));
    QFile picture(dir.filePath(QStringLiteral("a.jpg")));
    QVERIFY(picture.open(QIODevice::ReadOnly));
    smallPicture = picture.readAll();
    QVERIFY(writeFile(dir.filePath(QStringLiteral("fake.jpg")), "not a picture"));

    video = std::make_unique<FakeLibrary>(1);
    QVERIFY(video->addFile(QString(), dir.filePath(QStringLiteral("clip.avi"))));
    QVERIFY(video->addFile(QString(), dir.filePath(QStringLiteral("other.avi"))));
    audio = std::make_unique<FakeLibrary>(2);
    QVERIFY(audio->addFile(QString(), dir.filePath(QStringLiteral("one.mp3"))));
    QVERIFY(audio->addFile(QString(), dir.filePath(QStringLiteral("gone.mp3"))));
    QVERIFY(audio->addVirtualDir(QString(), QStringLiteral("Mix")));
    QVERIFY(audio->addVirtualDir(QString(), QStringLiteral("Live")));
    QVERIFY(audio->addLiveDir(QStringLiteral("Live"), dir.filePath(QStringLiteral("disk"))));
    QVERIFY(audio->addFile(QString(), dir.filePath(QStringLiteral("empty.mp3"))));
    QVERIFY(audio->addFile(QString(), dir.filePath(QStringLiteral("\u03a9mega.mp3"))));
    QVERIFY(QFile::remove(dir.filePath(QStringLiteral("gone.mp3"))));
    pictures = std::make_unique<FakeLibrary>(3);
    QVERIFY(pictures->addFile(QString(), dir.filePath(QStringLiteral("a.jpg"))));
    QVERIFY(pictures->addFile(QString(), dir.filePath(QStringLiteral("fake.jpg"))));

    cache = std::make_unique<PictureCache>(
        PictureFormat { 720, 576, 4.0 / 3.0, true, false, false, 16, 235 });
    converted = cache->convertedPicture(dir.filePath(QStringLiteral("a.jpg")));
    QVERIFY(!converted.isEmpty());
    QVERIFY(converted != smallPicture);

    // The order is the one start-up uses; lookups go by media type, not position.
    server = std::make_unique<TCPServer>(
        QList<DirTreeInterface *> { video.get(), audio.get(), pictures.get() }, cache.get(), 0);
    QVERIFY(server->listen(QHostAddress::LocalHost));
    QVERIFY(server->serverPort() != 0);
}

void TestConnectionHandler::cleanup()
{
    // Every connection of a finished test is gone, and its handler with it.
    QTRY_VERIFY(server->connections().isEmpty());
}

bool TestConnectionHandler::connectClient(QTcpSocket &client, QPointer<ConnectionHandler> &handler)
{
    const int before = server->connections().size();
    client.connectToHost(QHostAddress::LocalHost, server->serverPort());
    if (!QTest::qWaitFor([&] { return client.state() == QAbstractSocket::ConnectedState; }))
        return false;
    if (!QTest::qWaitFor([&] { return server->connections().size() == before + 1; }))
        return false;
    for (ConnectionHandler *h : server->connections()) {
        if (h->socket() && h->socket()->peerPort() == client.localPort())
            handler = h;
    }
    return !handler.isNull();
}

void TestConnectionHandler::protocol_data()
{
    QTest::addColumn<QByteArrayList>("segments");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("closes");

    const QByteArray audioTop = QByteArrayLiteral("one.mp3| /AUDIO/one.mp3|0|\n"
                                                  "Mix| Mix|1|\n"
                                                  "Live| Live|1|\n"
                                                  "empty.mp3| /AUDIO/empty.mp3|0|\n"
                                                  "?mega.mp3| /AUDIO/?mega.mp3|0|\n"
                                                  "EOL\n");
    const QByteArray videoTop = QByteArrayLiteral("clip.avi| /VIDEO/clip.avi|0|\n"
                                                  "other.avi| /VIDEO/other.avi|0|\n"
                                                  "EOL\n");
    const QByteArray eol = QByteArrayLiteral("EOL\n");
    const QByteArray none = QByteArrayLiteral("000000000000000");
    auto size = [](qsizetype n) { return QByteArray::number(n).rightJustified(15, '0'); };

    auto row
        = [](const char *name, QByteArrayList segments, const QByteArray &expected,
              bool closes = false) { QTest::addRow("%s", name) << segments << expected << closes; };

    row("list top level", { "LIST AUDIO ||\r\n\r\n" }, audioTop);
    row("list live folder", { "LIST AUDIO |Live/disk|\r\n\r\n" },
        "sub| sub|1|\na.mp3| /AUDIO/Live/disk/a.mp3|0|\nb.mp3| /AUDIO/Live/disk/b.mp3|0|\nEOL\n");
    row("list empty virtual folder", { "LIST AUDIO |Mix|\r\n\r\n" }, eol);
    row("list missing folder", { "LIST AUDIO |Nope|\r\n\r\n" }, eol);
    row("list file as folder", { "LIST AUDIO |one.mp3|\r\n\r\n" }, eol);
    row("list unknown media word", { "LIST MUSIC ||\r\n\r\n" }, eol);
    row("list lower-case media word", { "LIST audio ||\r\n\r\n" }, eol);
    row("list without terminator", { "LIST VIDEO ||" }, videoTop);

    row("several requests in one segment",
        { "LIST VIDEO ||\r\n\r\nSIZE /VIDEO/clip.avi|\r\n\r\nACTION 2 /VIDEO/other.avi|" },
        videoTop + size(300) + "200");
    // TCP may cut a request anywhere: the parts are joined before it is answered.
    row("split size", { "SIZE /AUDIO/one.mp3", "|\r\n\r\n" }, size(1000));
    row("split list", { "LIST AUDIO |", "|\r\n\r\n" }, audioTop);
    row("split list path", { "LIST AUDIO |", "Live/disk|\r\n\r\n" },
        "sub| sub|1|\na.mp3| /AUDIO/Live/disk/a.mp3|0|\nb.mp3| /AUDIO/Live/disk/b.mp3|0|\nEOL\n");
    row("split get range", { "GET /VIDEO/clip.avi| 100 ", "10 |\r\n\r\n" }, clip.mid(100, 10));
    row("split action", { "ACTION 1 |x|/VIDEO/cl", "ip.avi|" }, "200");
    row("split keyword", { "SI", "ZE /VIDEO/clip.avi|\r\n\r\n" }, size(300));
    row("split terminator", { "SIZE /VIDEO/clip.avi|\r\n", "\r\nSIZE /AUDIO/one.mp3|\r\n\r\n" },
        size(300) + size(1000));
    // Requests parted by any blanks and line ends, or by nothing, are each answered.
    const QByteArray both = size(300) + size(1000);
    row("parted by nothing", { "SIZE /VIDEO/clip.avi|SIZE /AUDIO/one.mp3|" }, both);
    row("parted by CR LF", { "SIZE /VIDEO/clip.avi|\r\nSIZE /AUDIO/one.mp3|\r\n" }, both);
    row("parted by LF", { "SIZE /VIDEO/clip.avi|\nSIZE /AUDIO/one.mp3|\n" }, both);
    row("parted by three CR LF", { "SIZE /VIDEO/clip.avi|\r\n\r\n\r\nSIZE /AUDIO/one.mp3|" }, both);
    row("parted by a space", { "SIZE /VIDEO/clip.avi| SIZE /AUDIO/one.mp3|" }, both);
    row("ranges run together", { "GET /VIDEO/clip.avi| 0 10 |GET /VIDEO/clip.avi| 10 10 |" },
        clip.left(20));
    row("line end before the first request", { "\r\nLIST VIDEO ||\r\n\r\n" }, videoTop);
    row("text before the terminator goes with the request",
        { "SIZE /VIDEO/clip.avi| x\r\n\r\nSIZE /AUDIO/one.mp3|\r\n\r\n" }, both);
    // A player that leaves the bars out is answered after a short wait, as it stands.
    row("no bar, answered after a pause", { "SIZE /AUDIO/one.mp3" }, size(1000));
    row("no closing bar, answered after a pause", { "GET /VIDEO/clip.avi| 3 4 " }, clip.mid(3, 4));
    row("lower-case keyword gets no answer", { "size /AUDIO/one.mp3|\r\n\r\n" }, QByteArray());
    row("text after unknown start dropped", { "HELLO\r\n\r\nSIZE /AUDIO/one.mp3|\r\n\r\n" },
        QByteArray());
    row("NUL ends the text",
        { QByteArrayLiteral("SIZE /VIDEO/clip.avi|\r\n\r\n\0SIZE /AUDIO/one.mp3|\r\n\r\n") },
        size(300));
    row("NUL first", { QByteArrayLiteral("\0LIST AUDIO ||\r\n\r\n") }, QByteArray());

    row("action 1 found", { "ACTION 1 |x|/VIDEO/clip.avi|" }, "200");
    row("action 1 live folder found", { "ACTION 1 |x| /AUDIO/Live/disk |" }, "200");
    row("action on virtual folder closes", { "ACTION 2 /AUDIO/Mix|" }, "404", true);
    row("action 2 found", { "ACTION 2 /AUDIO/Live/disk/a.mp3|" }, "200");
    row("action 1 missing closes", { "ACTION 1 |x|/VIDEO/missing.avi|" }, "404", true);
    row("action 2 text after bar joins path", { "ACTION 2 /VIDEO/clip.avi|x" }, "404", true);
    row("nothing answered after 404",
        { "ACTION 1 |x|/VIDEO/missing.avi|SIZE /VIDEO/clip.avi|\r\n\r\n" }, "404", true);
    row("action on gone file closes", { "ACTION 2 /AUDIO/gone.mp3|" }, "404", true);

    row("size of missing file", { "SIZE /VIDEO/missing.avi|\r\n\r\n" }, none);
    row("size of empty file", { "SIZE /AUDIO/empty.mp3|\r\n\r\n" }, none);
    row("size without leading slash", { "SIZE VIDEO/clip.avi|\r\n\r\n" }, size(300));
    row("size of live file", { "SIZE /AUDIO/Live/disk/a.mp3|\r\n\r\n" }, size(77));
    row("size of hidden live file", { "SIZE /AUDIO/Live/disk/.hidden.mp3|\r\n\r\n" }, none);

    row("get whole file", { "GET /VIDEO/clip.avi| 0 0 |\r\n\r\n" }, clip);
    row("get range", { "GET /VIDEO/clip.avi| 100 10 |\r\n\r\n" }, clip.mid(100, 10));
    row("get bar glued to length", { "GET /VIDEO/clip.avi|0 10|\r\n\r\n" }, clip);
    row("get tail", { "GET /VIDEO/clip.avi| 250 0 |\r\n\r\n" }, clip.mid(250));
    row("get past end padded", { "GET /VIDEO/clip.avi| 290 20 |\r\n\r\n" },
        clip.mid(290) + zeros(10));
    row("get offset beyond end", { "GET /VIDEO/clip.avi| 1000 5 |\r\n\r\n" }, zeros(5));
    row("get rest beyond end", { "GET /VIDEO/clip.avi| 1000 0 |\r\n\r\n" }, QByteArray());
    row("get offset beyond 64 bits signed",
        { "GET /VIDEO/clip.avi| 18446744073709551615 3 |\r\n\r\n" }, zeros(3));
    row("get missing file padded", { "GET /VIDEO/missing.avi| 0 7 |\r\n\r\n" }, zeros(7));
    row("get missing file whole", { "GET /VIDEO/missing.avi| 0 0 |\r\n\r\n" }, QByteArray());
    // What SIZE said is what GET 0 0 sends, even for a source that does not open.
    const qsizetype folderSize = QFileInfo(dir.filePath(QStringLiteral("disk"))).size();
    row("get of a folder sends as many bytes as its size",
        { "SIZE /AUDIO/Live/disk|\r\n\r\nGET /AUDIO/Live/disk| 0 0 |\r\n\r\n" },
        size(folderSize) + zeros(int(folderSize)));
    row("get live file", { "GET /AUDIO/Live/disk/a.mp3| 0 0 |\r\n\r\n" }, liveA);
    row("get without terminator", { "GET /VIDEO/clip.avi| 3 4 |" }, clip.mid(3, 4));

    row("second get reads the first source",
        { "GET /VIDEO/clip.avi| 0 5 |\r\n\r\nGET /VIDEO/other.avi| 0 5 |\r\n\r\n" },
        clip.left(5) + clip.left(5));
    row("second get in a later segment reads the first source",
        { "GET /VIDEO/clip.avi| 0 5 |\r\n\r\n", "GET /VIDEO/other.avi| 10 5 |\r\n\r\n" },
        clip.left(5) + clip.mid(10, 5));
    row("size in between switches",
        { "GET /VIDEO/clip.avi| 0 5 |\r\n\r\nSIZE /VIDEO/other.avi|\r\n\r\n"
          "GET /VIDEO/other.avi| 0 5 |\r\n\r\n" },
        clip.left(5) + size(50) + other.left(5));
    row("next get after size opens its own path",
        { "SIZE /VIDEO/other.avi|\r\n\r\nGET /VIDEO/clip.avi| 0 5 |\r\n\r\n" },
        size(50) + clip.left(5));
    row("failed size keeps the source",
        { "GET /VIDEO/clip.avi| 0 5 |\r\n\r\nSIZE /VIDEO/missing.avi|\r\n\r\n"
          "GET /VIDEO/other.avi| 5 5 |\r\n\r\n" },
        clip.left(5) + none + clip.mid(5, 5));
    row("get of missing path retries next time",
        { "GET /VIDEO/missing.avi| 0 2 |\r\n\r\nGET /VIDEO/other.avi| 0 5 |\r\n\r\n" },
        zeros(2) + other.left(5));

    row("picture converted", { "SIZE /PICTURE/a.jpg|\r\n\r\nGET /PICTURE/a.jpg| 0 0 |\r\n\r\n" },
        size(converted.size()) + converted);
    row("picture range", { "GET /PICTURE/a.jpg| 10 20 |\r\n\r\n" }, converted.mid(10, 20));
    row("picture without leading slash sent as stored",
        { "SIZE PICTURE/a.jpg|\r\n\r\nGET PICTURE/a.jpg| 0 0 |\r\n\r\n" },
        size(smallPicture.size()) + smallPicture);
    row("unreadable picture sent as stored",
        { "SIZE /PICTURE/fake.jpg|\r\n\r\nGET /PICTURE/fake.jpg| 0 0 |\r\n\r\n" },
        size(13) + "not a picture");

    row("name outside latin-1 is not found", { "SIZE /AUDIO/?mega.mp3|\r\n\r\n" }, none);
}

void TestConnectionHandler::protocol()
{
    QFETCH(QByteArrayList, segments);
    QFETCH(QByteArray, expected);
    QFETCH(bool, closes);

    QTcpSocket client;
    QPointer<ConnectionHandler> handler;
    QVERIFY(connectClient(client, handler));

    qint64 sent = 0;
    for (const QByteArray &segment : segments) {
        client.write(segment);
        sent += segment.size();
        // The next segment goes out only once the handler has taken this one on its own.
        QTRY_VERIFY(handler.isNull() || handler->bytesReceived() == sent);
    }
    if (closes) {
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(client.readAll(), expected);
        QTRY_VERIFY(handler.isNull());
        return;
    }
    // A request answered after all of this shows that nothing else was answered; it goes out
    // once a request cut short has had its answer, so it is not taken for the rest of it.
    QTRY_VERIFY(handler.isNull() || !handler->holdsPartialRequest());
    client.write(sentinel);
    expected += sentinelAnswer;
    QTRY_VERIFY(client.bytesAvailable() >= expected.size());
    QCOMPARE(client.readAll(), expected);
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
    client.disconnectFromHost();
    QTRY_VERIFY(handler.isNull());
}

void TestConnectionHandler::twoPlayersOneClosing()
{
    QTcpSocket first, second;
    QPointer<ConnectionHandler> firstHandler, secondHandler;
    QVERIFY(connectClient(first, firstHandler));
    QVERIFY(connectClient(second, secondHandler));
    QVERIFY(firstHandler != secondHandler);

    // Each connection keeps its own source.
    first.write("GET /VIDEO/clip.avi| 0 4 |\r\n\r\n");
    second.write("GET /VIDEO/other.avi| 0 4 |\r\n\r\n");
    QTRY_COMPARE(first.bytesAvailable(), 4);
    QTRY_COMPARE(second.bytesAvailable(), 4);
    QCOMPARE(first.readAll(), clip.left(4));
    QCOMPARE(second.readAll(), other.left(4));

    QSignalSpy destroyed(firstHandler.data(), &QObject::destroyed);
    first.disconnectFromHost();
    QTRY_VERIFY(firstHandler.isNull());
    QCOMPARE(destroyed.count(), 1);
    QCOMPARE(server->connections().size(), 1);

    second.write("GET /VIDEO/clip.avi| 4 4 |\r\n\r\n");
    QTRY_COMPARE(second.bytesAvailable(), 4);
    QCOMPARE(second.readAll(), other.mid(4, 4));
    second.abort();
    QTRY_VERIFY(secondHandler.isNull());
}

void TestConnectionHandler::longPathAndPipelinedRequests()
{
    QTemporaryDir many;
    QVERIFY(many.isValid());
    FakeLibrary library(1);
    // Five folders of 240 characters put the file's path well past 1023 bytes.
    QString folder;
    for (int i = 0; i < 5; ++i) {
        const QString name = QString(240, QLatin1Char('a' + i));
        QVERIFY(library.addVirtualDir(folder, name));
        folder += (folder.isEmpty() ? QString() : QStringLiteral("/")) + name;
    }
    const QByteArray deep = pattern(123, 9);
    QVERIFY(writeFile(many.filePath(QStringLiteral("deep.avi")), deep));
    QVERIFY(library.addFile(folder, many.filePath(QStringLiteral("deep.avi"))));
    QVERIFY(library.addVirtualDir(QString(), QStringLiteral("Many")));
    for (int i = 1; i <= 80; ++i) {
        const QString path = many.filePath(QStringLiteral("f%1.avi").arg(i));
        QVERIFY(writeFile(path, pattern(i, i)));
        QVERIFY(library.addFile(QStringLiteral("Many"), path));
    }
    TCPServer longServer({ &library }, nullptr, 0);
    QVERIFY(longServer.listen(QHostAddress::LocalHost));

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, longServer.serverPort());
    QVERIFY(client.waitForConnected(5000));

    const QByteArray deepPath = "/VIDEO/" + folder.toLatin1() + "/deep.avi";
    QVERIFY(deepPath.size() > 1023);
    client.write(
        "GET " + deepPath + "| 0 0 |\r\n\r\nLIST VIDEO |" + folder.toLatin1() + "|\r\n\r\n");
    const QByteArray listing = "deep.avi| " + deepPath + "|0|\nEOL\n";
    QTRY_COMPARE(client.bytesAvailable(), qint64(deep.size() + listing.size()));
    QCOMPARE(client.readAll(), deep + listing);

    // More than one text of 64 KiB: the request cut at the limit is joined with the rest.
    QByteArray requests, answers;
    for (int i = 0; i < 3000; ++i) {
        const int n = i % 80 + 1;
        requests += "SIZE /VIDEO/Many/f" + QByteArray::number(n) + ".avi|\r\n\r\n";
        answers += QByteArray::number(n).rightJustified(15, '0');
    }
    QVERIFY(requests.size() > ConnectionHandler::maxTextSize);
    client.write(requests);
    QTRY_COMPARE(client.bytesAvailable(), qint64(answers.size()));
    QCOMPARE(client.readAll(), answers);
}

void TestConnectionHandler::floodDoesNotHoldUpOthers()
{
    QTcpSocket flooder, other;
    QPointer<ConnectionHandler> flooding, waiting;
    QVERIFY(connectClient(flooder, flooding));
    QVERIFY(connectClient(other, waiting));

    const QByteArray request = "ACTION 1 |x|/VIDEO/clip.avi|";
    QByteArray flood;
    while (flood.size() + request.size() <= ConnectionHandler::maxTextSize)
        flood += request;
    const qsizetype count = flood.size() / request.size();
    bool answeredAfterFlood = true;
    connect(&other, &QTcpSocket::readyRead, this, [&] {
        if (other.bytesAvailable() == 15)
            answeredAfterFlood = !flooding->requestsWaiting();
    });
    flooder.write(flood);
    other.write("SIZE /VIDEO/clip.avi|\r\n\r\n");

    // The other player is answered while the flood is still being worked through.
    QTRY_COMPARE(other.bytesAvailable(), 15);
    QCOMPARE(other.readAll(), QByteArrayLiteral("000000000000300"));
    QVERIFY(!answeredAfterFlood);
    // And every request of the flood is answered, in order.
    QTRY_COMPARE(flooder.bytesAvailable(), 3 * count);
    QCOMPARE(flooder.readAll(), QByteArray("200").repeated(count));
    flooder.disconnectFromHost();
    other.disconnectFromHost();
}

void TestConnectionHandler::heldTextBoundedForAll()
{
    server->setHeldTextBudget(100);
    const auto restore
        = qScopeGuard([&] { server->setHeldTextBudget(TCPServer::defaultHeldTextBudget); });
    QTcpSocket first, second;
    QPointer<ConnectionHandler> small, big;
    QVERIFY(connectClient(first, small));
    QVERIFY(connectClient(second, big));
    first.write("SIZE /AUDIO/one.mp3");
    // Looked at every few milliseconds: the first one's 100 ms wait is the clock here.
    QVERIFY(QTest::qWaitFor([&] { return small->holdsPartialRequest(); }));
    // Together past the budget: the bigger holder is answered at once, while the first one
    // still waits for the rest of its request.
    second.write("LIST AUDIO |" + QByteArray(200, 'x'));
    second.flush();
    QVERIFY(QTest::qWaitFor([&] { return second.bytesAvailable() == 4; }));
    QVERIFY(small->holdsPartialRequest());
    QCOMPARE(second.readAll(), QByteArrayLiteral("EOL\n"));
    QTRY_COMPARE(first.bytesAvailable(), 15);
    QCOMPARE(first.readAll(), QByteArrayLiteral("000000000001000"));
    QCOMPARE(server->heldText(), 0);
    first.disconnectFromHost();
    second.disconnectFromHost();
}

void TestConnectionHandler::serverGoneWithOpenConnections()
{
    auto local = std::make_unique<TCPServer>(QList<DirTreeInterface *> { video.get() }, nullptr, 0);
    QVERIFY(local->listen(QHostAddress::LocalHost));
    QTcpSocket idle, busy;
    idle.connectToHost(QHostAddress::LocalHost, local->serverPort());
    busy.connectToHost(QHostAddress::LocalHost, local->serverPort());
    QTRY_COMPARE(local->connections().size(), 2);
    busy.write("GET /VIDEO/clip.avi| 0 4 |\r\n\r\n");
    QTRY_COMPARE(busy.bytesAvailable(), 4);
    QList<QPointer<ConnectionHandler>> handlers;
    for (ConnectionHandler *h : local->connections())
        handlers.append(h);

    // At exit the server takes its handlers, their sockets and open files with it.
    local.reset();
    for (const auto &h : handlers)
        QVERIFY(h.isNull());
    QTRY_COMPARE(idle.state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(busy.state(), QAbstractSocket::UnconnectedState);
}

#ifdef Q_OS_UNIX
namespace {

// Another process that opens count connections to port and holds them until it is killed, so
// that they use none of this process's descriptors.
pid_t holdConnections(quint16 port, int count)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    rlimit all {};
    ::getrlimit(RLIMIT_NOFILE, &all);
    all.rlim_cur = all.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &all);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    for (;;)
        ::pause();
}

double cpuSeconds()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace
#endif

void TestConnectionHandler::descriptorsRunningOut()
{
#ifndef Q_OS_UNIX
    QSKIP("Windows sockets and files are handles without a per-process limit to run out of");
#else
    // Few descriptors left: room for a handful of connections and their files.
    rlimit saved {};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const auto restore = qScopeGuard([&] { ::setrlimit(RLIMIT_NOFILE, &saved); });
    const int probe = ::dup(0);
    ::close(probe);
    rlimit low = saved;
    low.rlim_cur = rlim_t(probe + 48);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);

    TCPServer local({ video.get() }, nullptr, 0);
    QVERIFY(local.listen(QHostAddress::LocalHost));
    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, local.serverPort());
    QTRY_COMPARE(local.connections().size(), 1);
    // A player asks at once; the crowd below asks nothing.
    first.write(sentinel);
    QTRY_COMPARE(first.bytesAvailable(), qint64(sentinelAnswer.size()));
    first.readAll();

    // Far more players than descriptors.
    const pid_t crowd = holdConnections(local.serverPort(), 80);
    QVERIFY(crowd > 0);
    const auto stopCrowd = qScopeGuard([&] {
        ::kill(crowd, SIGKILL);
        ::waitpid(crowd, nullptr, 0);
    });
    QTest::qWait(300);
    const double before = cpuSeconds();
    QTest::qWait(500);
    // Waiting for descriptors, the server does not spin.
    QVERIFY2(cpuSeconds() - before < 0.25, "accepting spins while descriptors are short");
    QVERIFY(local.connections().size() < 40);

    // A player already connected can still open its file.
    first.write("GET /VIDEO/clip.avi| 0 0 |\r\n\r\n");
    QTRY_COMPARE(first.bytesAvailable(), qint64(clip.size()));
    QCOMPARE(first.readAll(), clip);

    // Once players leave, new ones are served again.
    ::kill(crowd, SIGKILL);
    ::waitpid(crowd, nullptr, 0);
    QTRY_COMPARE(local.connections().size(), 1);
    QTcpSocket later;
    later.connectToHost(QHostAddress::LocalHost, local.serverPort());
    QVERIFY(later.waitForConnected(5000));
    later.write(sentinel);
    QTRY_COMPARE(later.bytesAvailable(), qint64(sentinelAnswer.size()));
    QCOMPARE(later.readAll(), sentinelAnswer);
#endif
}

void TestConnectionHandler::fullCapLocksNobodyOut()
{
    TCPServer local({ video.get() }, nullptr, 0);
    local.setConnectionCap(4);
    QVERIFY(local.listen(QHostAddress::LocalHost));
    const auto open = [&](QTcpSocket &client) {
        const int before = local.connections().size();
        client.connectToHost(QHostAddress::LocalHost, local.serverPort());
        return QTest::qWaitFor([&] { return local.connections().size() == before + 1; });
    };
    // A player between two ranges, one paused in the middle of a GET it does not read, and
    // peers that connect and ask nothing fill the cap.
    QTcpSocket player, paused, idle1, idle2;
    QVERIFY(open(player));
    player.write(sentinel);
    QTRY_COMPARE(player.bytesAvailable(), qint64(sentinelAnswer.size()));
    player.readAll();
    QVERIFY(open(paused));
    paused.setReadBufferSize(4096);
    paused.write("GET /VIDEO/clip.avi| 0 100000000 |\r\n\r\n");
    QTest::qWait(300);
    QVERIFY(open(idle1));
    QVERIFY(open(idle2));
    QTRY_COMPARE(local.connections().size(), 4);

    // A new player is answered: the idle peers make room, the oldest first.
    QTcpSocket newcomer;
    newcomer.connectToHost(QHostAddress::LocalHost, local.serverPort());
    newcomer.write(sentinel);
    QTRY_COMPARE(newcomer.bytesAvailable(), qint64(sentinelAnswer.size()));
    QTRY_COMPARE(idle1.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(idle2.state(), QAbstractSocket::ConnectedState);
    // The players keep their connections.
    QCOMPARE(paused.state(), QAbstractSocket::ConnectedState);
    player.write(sentinel);
    QTRY_COMPARE(player.bytesAvailable(), qint64(sentinelAnswer.size()));
}

void TestConnectionHandler::pictureInFlightHoldsUpOnlyItsConnection()
{
    // Large enough that converting it takes far longer than a listing.
    QImage image(4000, 3000, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = qRgb(x * 7, y * 3, (x ^ y) & 0xff);
    }
    const QString path = dir.filePath(QStringLiteral("big.jpg"));
    QVERIFY(image.save(path, "JPEG", 90));
    QVERIFY(pictures->addFile(QString(), path));
    const auto forget = qScopeGuard([&] { QFile::remove(path); });

    QTcpSocket viewer, other;
    QPointer<ConnectionHandler> viewing, listing;
    QVERIFY(connectClient(viewer, viewing));
    QVERIFY(connectClient(other, listing));
    // The viewer's listing waits behind its picture; the other player's does not.
    viewer.write("SIZE /PICTURE/big.jpg|\r\n\r\nLIST VIDEO ||\r\n\r\n");
    QTRY_VERIFY(viewing->bytesReceived() > 0);
    other.write("LIST VIDEO ||\r\n\r\n");
    const QByteArray videoTop
        = "clip.avi| /VIDEO/clip.avi|0|\nother.avi| /VIDEO/other.avi|0|\nEOL\n";
    QTRY_COMPARE(other.bytesAvailable(), qint64(videoTop.size()));
    QCOMPARE(viewer.bytesAvailable(), 0);

    QTRY_COMPARE(viewer.bytesAvailable(), 15 + qint64(videoTop.size()));
    const QByteArray answer = viewer.readAll();
    const qint64 converted = answer.left(15).toLongLong();
    QVERIFY(converted > 0 && converted != QFileInfo(path).size());
    QCOMPARE(answer.mid(15), videoTop);
}

void TestConnectionHandler::swapRace_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("swapped"); // below the live folder, exchanged with a link

    QTest::addRow("file") << QByteArray("/AUDIO/race/x.mp3") << QStringLiteral("x.mp3");
    QTest::addRow("folder on the way")
        << QByteArray("/AUDIO/race/sub/x.mp3") << QStringLiteral("sub");
    QTest::addRow("picture sent as stored")
        << QByteArray("/PICTURE/race/x.mp3") << QStringLiteral("x.mp3");
}

// A live folder's file or subfolder keeps being exchanged with a link to a file or folder
// outside it while a player asks for it: no answer may carry a byte of the outside file, nor
// its size.
void TestConnectionHandler::swapRace()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, swapped);

    QTemporaryDir race;
    QVERIFY(race.isValid());
    const QByteArray inside = pattern(100, 5);
    const QByteArray secret = QByteArray("outside ").repeated(25);
    const QString live = race.filePath(QStringLiteral("race"));
    for (const char *file : { "race/x.mp3", "race/sub/x.mp3" }) {
        QVERIFY(QDir(race.path()).mkpath(QFileInfo(race.filePath(QLatin1String(file))).path()));
        QVERIFY(writeFile(race.filePath(QLatin1String(file)), inside));
    }
    QVERIFY(QDir(race.path()).mkpath(QStringLiteral("outside")));
    QVERIFY(writeFile(race.filePath(QStringLiteral("outside/x.mp3")), secret));
    const QString spare = live + QStringLiteral("/.spare");
    QVERIFY(QFile::link(race.filePath(QStringLiteral("outside"))
            + (swapped == u"sub" ? QString() : QStringLiteral("/x.mp3")),
        spare));

    FakeLibrary music(2), photos(3);
    QVERIFY(music.addLiveDir(QString(), live));
    QVERIFY(photos.addLiveDir(QString(), live));
    TCPServer local({ &music, &photos }, cache.get(), 0);
    QVERIFY(local.listen(QHostAddress::LocalHost));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, local.serverPort());
    QVERIFY(client.waitForConnected(5000));

    const Swapper swapper(live + QLatin1Char('/') + swapped, spare);
    if (!swapper.works())
        QSKIP("entries cannot be exchanged here");
    // Each GET asks for as many bytes as the longer file has: padded with NULs, a reply's length
    // never depends on what was opened.
    const int length = int(secret.size());
    const QByteArray pair = "SIZE " + path + "|\r\n\r\nGET " + path + "| 0 "
        + QByteArray::number(length) + " |\r\n\r\n";
    const int batch = 20;
    const qint64 replySize = 15 + length;
    int asked = 0, served = 0, leaked = 0;
    qint64 leakedBytes = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 600) {
        client.write(pair.repeated(batch));
        // Woken by each arrival: polling would measure its own sleeps.
        QEventLoop arrived;
        const auto woken = connect(&client, &QTcpSocket::readyRead, &arrived, [&] {
            if (client.bytesAvailable() >= batch * replySize)
                arrived.quit();
        });
        QTimer::singleShot(5000, &arrived, &QEventLoop::quit);
        arrived.exec();
        disconnect(woken);
        QVERIFY(client.bytesAvailable() >= batch * replySize);
        const QByteArray replies = client.read(batch * replySize);
        for (int i = 0; i < batch; ++i, ++asked) {
            const QByteArray size = replies.mid(i * replySize, 15);
            const QByteArray body = replies.mid(i * replySize + 15, length);
            const bool outside = size.toLongLong() == secret.size() || body.startsWith("outside");
            leaked += outside;
            leakedBytes += body.startsWith("outside") ? secret.size() : 0;
            served += body.startsWith(inside);
        }
    }
    qInfo("%d of %d SIZE+GET pairs carried the outside file (%lld bytes), %d the listed one, %llu "
          "swaps",
        leaked, asked, leakedBytes, served, swapper.swaps());
    QCOMPARE(leaked, 0);
    QVERIFY(served > 0);
}

QTEST_GUILESS_MAIN(TestConnectionHandler)
#include "tst_connectionhandler.moc"
