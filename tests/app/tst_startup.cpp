#include "app/startup.h"
#include "library/userprompts.h"

#include <QApplication>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <csignal>

namespace {

// Records every prompt and answers with a fixed button; never opens a window.
class RecordingPrompts final : public UserPrompts
{
public:
    QMessageBox::StandardButton message(QMessageBox::Icon icon, QWidget *, const QString &title,
        const QString &text, QMessageBox::StandardButtons) override
    {
        icons.append(icon);
        titles.append(title);
        texts.append(text);
        return answer;
    }
    QString getText(QWidget *, const QString &, const QString &, bool *ok) override
    {
        if (ok)
            *ok = false;
        return {};
    }
    QStringList getOpenFileNames(QWidget *, const QString &, const QString &,
        const QString &) override
    {
        return {};
    }
    QString getExistingDirectory(QWidget *, const QString &, const QString &) override
    {
        return {};
    }

    QMessageBox::StandardButton answer = QMessageBox::No;
    QList<QMessageBox::Icon> icons;
    QStringList titles;
    QStringList texts;
};

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A free port for both protocols: bind an ephemeral TCP port and check UDP has it free too.
quint16 freePort()
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        QTcpServer tcp;
        if (!tcp.listen(QHostAddress::AnyIPv4, 0))
            continue;
        QUdpSocket udp;
        if (udp.bind(QHostAddress::AnyIPv4, tcp.serverPort()))
            return tcp.serverPort();
    }
    return 0;
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void portTakenEndsWithOneBox_data();
    void portTakenEndsWithOneBox();
    void terminationSavesTheConfiguration_data();
    void terminationSavesTheConfiguration();
    void firstStartAsksOnceAndWritesEmptyLibraries();
};

void TestStartup::portTakenEndsWithOneBox_data()
{
    QTest::addColumn<bool>("holdTcp");
    QTest::addColumn<QString>("text");

    QTest::newRow("TCP held") << true
        << QStringLiteral("Unable to listen on TCP port %1, probably because another process "
                          "is doing so already.");
    QTest::newRow("UDP held") << false
        << QStringLiteral("Unable to listen on UDP port %1, probably because another process "
                          "is doing so already.");
}

void TestStartup::portTakenEndsWithOneBox()
{
    QFETCH(bool, holdTcp);
    QFETCH(QString, text);

    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("hearth.xml"));
    const QByteArray old = "<hearth><settings><server name=\"Untouched\"/></settings></hearth>";
    {
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(old);
    }

    QTcpServer tcpHolder;
    QUdpSocket udpHolder;
    const quint16 port = freePort();
    QVERIFY(port != 0);
    if (holdTcp)
        QVERIFY(tcpHolder.listen(QHostAddress::AnyIPv4, port));
    else
        QVERIFY(udpHolder.bind(QHostAddress::AnyIPv4, port));

    RecordingPrompts prompts;
    HearthOptions options;
    options.applicationDir = dir.path();
    options.tcpPort = port;
    options.udpPort = port;
    options.prompts = &prompts;
    QCOMPARE(runHearth(options), 1);

    QCOMPARE(prompts.titles, QStringList{QStringLiteral("Hearth Network Error")});
    QCOMPARE(prompts.texts, QStringList{text.arg(port)});
    QCOMPARE(prompts.icons.value(0), QMessageBox::Critical);
    QCOMPARE(readAll(config), old);
    // The other port was given back: a second run with both free gets past start-up.
    if (!holdTcp) {
        QTcpServer again;
        QVERIFY(again.listen(QHostAddress::AnyIPv4, port));
    }
}

void TestStartup::terminationSavesTheConfiguration_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void TestStartup::terminationSavesTheConfiguration()
{
    QFETCH(int, signalNumber);

    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("hearth.xml"));
    {
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<old><settings><server name=\"Attic\"/></settings></old>");
    }

    RecordingPrompts prompts;
    HearthOptions options;
    options.applicationDir = dir.path();
    options.tcpPort = 0;
    options.udpPort = 0;
    options.prompts = &prompts;
    // A broken pipe (a player gone mid-sendfile) must not end the run.
    QTimer::singleShot(100, [] { std::raise(SIGPIPE); });
    QTimer::singleShot(200, [signalNumber] { std::raise(signalNumber); });
    QCOMPARE(runHearth(options), 0);

    // The file opened, so nobody was asked about picture scaling.
    QVERIFY(prompts.titles.isEmpty());
    const QByteArray saved = readAll(config);
    QVERIFY2(saved.startsWith("<hearth>\n    <settings>"), saved.constData());
    QVERIFY(saved.contains("name=\"Attic\""));
    const qsizetype video = saved.indexOf("<video_tree");
    const qsizetype audio = saved.indexOf("<audio_tree");
    const qsizetype pictures = saved.indexOf("<pictures_tree");
    QVERIFY(saved.indexOf("</settings>") < video);
    QVERIFY(video < audio && audio < pictures);
}

void TestStartup::firstStartAsksOnceAndWritesEmptyLibraries()
{
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("hearth.xml"));

    RecordingPrompts prompts;
    prompts.answer = QMessageBox::No;
    HearthOptions options;
    options.applicationDir = dir.path();
    options.tcpPort = 0;
    options.udpPort = 0;
    options.prompts = &prompts;
    QTimer::singleShot(300, [] { std::raise(SIGTERM); });
    QCOMPARE(runHearth(options), 0);

    QCOMPARE(prompts.titles, QStringList{QStringLiteral("Set up picture scaling now?")});
    QCOMPARE(prompts.texts,
        QStringList{QStringLiteral("Do you want to set up picture scaling now?\nThis only has "
                                   "effect on picture viewing, but should be done before using "
                                   "that feature.")});
    QCOMPARE(prompts.icons.value(0), QMessageBox::Question);

    const QByteArray saved = readAll(config);
    QVERIFY2(saved.startsWith("<hearth>\n    <settings>"), saved.constData());
    QVERIFY2(saved.endsWith("    </settings>\n    <video_tree/>\n    <audio_tree/>\n"
                            "    <pictures_tree/>\n</hearth>\n"),
        saved.constData());
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
