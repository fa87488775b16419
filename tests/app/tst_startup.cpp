#include "app/startup.h"
#include "library/userprompts.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <csignal>

#ifdef Q_OS_WIN
#include "app/quitsignals.h"

#include <thread>

#include <windows.h>
#endif

namespace {

#ifdef Q_OS_WIN
// The ways Windows asks a program to end, as rows of the termination test.
enum WindowsQuit { CloseMessage = 1, SessionEnd, ConsoleCtrlC, ConsoleCtrlBreak };

HWND quitWindow()
{
    return FindWindowW(QuitSignals::windowClassName(), nullptr);
}

void askToQuit()
{
    PostMessageW(quitWindow(), WM_CLOSE, 0, 0);
}
#else
void askToQuit()
{
    std::raise(SIGTERM);
}
#endif

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
    QStringList getOpenFileNames(
        QWidget *, const QString &, const QString &, const QString &) override
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

// A run from dir on the given ports (0: any free one), asking through prompts.
HearthOptions optionsFor(const QString &dir, quint16 port, UserPrompts &prompts)
{
    HearthOptions options;
    options.applicationDir = dir;
    options.tcpPort = port;
    options.udpPort = port;
    options.prompts = &prompts;
    return options;
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
    void configurationTroubleIsToldOnce_data();
    void configurationTroubleIsToldOnce();
};

void TestStartup::portTakenEndsWithOneBox_data()
{
    QTest::addColumn<bool>("holdTcp");
    QTest::addColumn<QString>("text");

    QTest::newRow("TCP held")
        << true
        << QStringLiteral("Unable to listen on TCP port %1, probably because another process "
                          "is doing so already.");
    QTest::newRow("UDP held")
        << false
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
    const HearthOptions options = optionsFor(dir.path(), port, prompts);
    QCOMPARE(runHearth(options), 1);

    QCOMPARE(prompts.titles, QStringList { QStringLiteral("Hearth Network Error") });
    QCOMPARE(prompts.texts, QStringList { text.arg(port) });
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
#ifdef Q_OS_WIN
    // taskkill without /f and a setup program send WM_CLOSE to every top-level window.
    QTest::newRow("WM_CLOSE") << int(CloseMessage);
    // Log off and shut down: the file must be written before WM_ENDSESSION returns.
    QTest::newRow("WM_ENDSESSION") << int(SessionEnd);
    // Under Wine these need the console of the process; without one they are skipped.
    QTest::newRow("CTRL_C_EVENT") << int(ConsoleCtrlC);
    QTest::newRow("CTRL_BREAK_EVENT") << int(ConsoleCtrlBreak);
#else
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
#endif
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
    const HearthOptions options = optionsFor(dir.path(), 0, prompts);
#ifdef Q_OS_WIN
    if (signalNumber == ConsoleCtrlC || signalNumber == ConsoleCtrlBreak) {
        if (!GetConsoleWindow() && !AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole())
            QSKIP("no console to send the event through");
    }
    QByteArray savedWhenAnswered;
    std::thread sender;
    QTimer::singleShot(200, [&] {
        switch (signalNumber) {
        case CloseMessage:
            askToQuit();
            break;
        case SessionEnd:
            // Sent from another thread as Windows does, which waits for each answer.
            sender = std::thread([&] {
                const HWND window = quitWindow();
                SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
                SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
                savedWhenAnswered = readAll(config);
            });
            break;
        default:
            GenerateConsoleCtrlEvent(
                signalNumber == ConsoleCtrlC ? CTRL_C_EVENT : CTRL_BREAK_EVENT, 0);
        }
    });
    QCOMPARE(runHearth(options), 0);
    if (sender.joinable()) {
        sender.join();
        QVERIFY2(savedWhenAnswered.startsWith("<hearth>"), savedWhenAnswered.constData());
    }
#else
    // A broken pipe (a player gone mid-sendfile) must not end the run.
    QTimer::singleShot(100, [] { std::raise(SIGPIPE); });
    QTimer::singleShot(200, [signalNumber] { std::raise(signalNumber); });
    QCOMPARE(runHearth(options), 0);
#endif

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
    const HearthOptions options = optionsFor(dir.path(), 0, prompts);
    QTimer::singleShot(300, askToQuit);
    QCOMPARE(runHearth(options), 0);

    QCOMPARE(prompts.titles, QStringList { QStringLiteral("Set up picture scaling now?") });
    QCOMPARE(prompts.texts,
        QStringList { QStringLiteral("Do you want to set up picture scaling now?\nThis only has "
                                     "effect on picture viewing, but should be done before using "
                                     "that feature.") });
    QCOMPARE(prompts.icons.value(0), QMessageBox::Question);

    const QByteArray saved = readAll(config);
    QVERIFY2(saved.startsWith("<hearth>\n    <settings>"), saved.constData());
    QVERIFY2(saved.endsWith("    </settings>\n    <video_tree/>\n    <audio_tree/>\n"
                            "    <pictures_tree/>\n</hearth>\n"),
        saved.constData());
}

void TestStartup::configurationTroubleIsToldOnce_data()
{
    QTest::addColumn<QByteArray>("content"); // null: hearth.xml is a directory, no file
    QTest::addColumn<QByteArray>("olderCopy"); // kept by an earlier start; null: none
    QTest::addColumn<QString>("keptAs");
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArrayList>("saved");

    const QString trouble = QStringLiteral("Hearth Configuration Error");
    const QByteArray whole
        = "<hearth><settings><server name=\"Den\"/></settings>"
          "<video_tree><dir name=\"Films\"><dir name=\"Old\"/></dir></video_tree>"
          "<audio_tree><dir name=\"Songs\"/></audio_tree></hearth>";
    QByteArray latin1 = whole;
    latin1.replace("\"Old\"", "\"Caf\xe9\"");
    QTest::newRow("Latin-1 byte in a folder name")
        << latin1 << QByteArray() << QStringLiteral("hearth.xml.broken") << QStringList { trouble }
        << 0 << QByteArrayList { "name=\"Den\"", "name=\"Caf\xc3\xa9\"", "name=\"Songs\"" };
    // A start that ended early (port taken) kept the same bytes: no second copy of them.
    QTest::newRow("same bytes kept before")
        << latin1 << latin1 << QStringLiteral("hearth.xml.broken") << QStringList { trouble } << 0
        << QByteArrayList { "name=\"Caf\xc3\xa9\"" };
    QTest::newRow("cut in half, older copies kept")
        << whole.left(whole.indexOf("<audio_tree>") + 20) << QByteArray("older")
        << QStringLiteral("hearth.xml.broken.2") << QStringList { trouble } << 0
        << QByteArrayList { "name=\"Den\"", "name=\"Old\"", "<audio_tree/>" };
    QTest::newRow("save fails") << QByteArray() << QByteArray() << QString()
                                << QStringList { QStringLiteral("Set up picture scaling now?"),
                                       trouble }
                                << 3 << QByteArrayList();
}

// A file that cannot be read whole is kept aside before the save at quit writes what was
// read over it; a save that fails is told, and the exit code says so.
void TestStartup::configurationTroubleIsToldOnce()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, olderCopy);
    QFETCH(QString, keptAs);
    QFETCH(QStringList, titles);
    QFETCH(int, exitCode);
    QFETCH(QByteArrayList, saved);

    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("hearth.xml"));
    if (content.isNull()) {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("hearth.xml")));
    } else {
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    if (!olderCopy.isNull()) {
        QFile file(config + QStringLiteral(".broken"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(olderCopy);
        // A link to nowhere is taken too: a copy written through it would land elsewhere.
        QVERIFY(QFile::link(
            dir.filePath(QStringLiteral("nowhere")), config + QStringLiteral(".broken.1")));
    }

    RecordingPrompts prompts;
    const HearthOptions options = optionsFor(dir.path(), 0, prompts);
    QTimer::singleShot(300, askToQuit);
    QCOMPARE(runHearth(options), exitCode);

    QCOMPARE(prompts.titles, titles);
    if (!keptAs.isEmpty()) {
        QCOMPARE(readAll(dir.filePath(keptAs)), content);
        QVERIFY2(prompts.texts.value(0).contains(QDir::toNativeSeparators(dir.filePath(keptAs))),
            qPrintable(prompts.texts.value(0)));
        QCOMPARE(prompts.icons.value(0), QMessageBox::Warning);
    }
    if (!olderCopy.isNull()) {
        QCOMPARE(readAll(config + QStringLiteral(".broken")), olderCopy);
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("nowhere"))));
    }
    const QByteArray written = readAll(config);
    for (const QByteArray &part : saved)
        QVERIFY2(written.contains(part), written.constData());
    if (exitCode != 0)
        QCOMPARE(prompts.icons.value(titles.size() - 1), QMessageBox::Critical);
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
