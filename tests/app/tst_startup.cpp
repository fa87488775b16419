#include "app/startup.h"
#include "library/userprompts.h"
#include "tests/filesizelimit.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QLocalServer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <csignal>
#include <optional>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

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
    options.upnpPort = 0;
    options.upnpLocalOnly = true;
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
    void unusableFileIsLeftAlone_data();
    void unusableFileIsLeftAlone();
    void quitSignalWhileStartingSaves();
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
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<QByteArray>("olderCopy"); // kept by an earlier start; null: none
    QTest::addColumn<QString>("keptAs");
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArrayList>("saved");
    // A limit on the size of the files written from the start (0: none), kept to the end or
    // lifted before the quit.
    QTest::addColumn<int>("sizeLimit");
    QTest::addColumn<bool>("limitAtQuit");

    const QString trouble = QStringLiteral("Hearth Configuration Error");
    const QByteArray whole
        = "<hearth><settings><server name=\"Den\"/></settings>"
          "<video_tree><dir name=\"Films\"><dir name=\"Old\"/></dir></video_tree>"
          "<audio_tree><dir name=\"Songs\"/></audio_tree></hearth>";
    QByteArray latin1 = whole;
    latin1.replace("\"Old\"", "\"Caf\xe9\"");
    QTest::newRow("Latin-1 byte in a folder name")
        << latin1 << QByteArray() << QStringLiteral("hearth.xml.broken") << QStringList { trouble }
        << 0 << QByteArrayList { "name=\"Den\"", "name=\"Caf\xc3\xa9\"", "name=\"Songs\"" } << 0
        << false;
    // A start that ended early (port taken) kept the same bytes: no second copy of them.
    QTest::newRow("same bytes kept before")
        << latin1 << latin1 << QStringLiteral("hearth.xml.broken") << QStringList { trouble } << 0
        << QByteArrayList { "name=\"Caf\xc3\xa9\"" } << 0 << false;
    QTest::newRow("cut in half, older copies kept")
        << whole.left(whole.indexOf("<audio_tree>") + 20) << QByteArray("older")
        << QStringLiteral("hearth.xml.broken.2") << QStringList { trouble } << 0
        << QByteArrayList { "name=\"Den\"", "name=\"Old\"", "<audio_tree/>" } << 0 << false;
    QTest::newRow("save fails") << QByteArray() << QByteArray() << QString()
                                << QStringList { QStringLiteral("Set up picture scaling now?"),
                                       trouble }
                                << 3 << QByteArrayList() << 64 << true;
    // Broken early in a long file: what was read is far shorter than the file.
    const QByteArray longBroken = "<hearth><settings><server name=\"Den\"/></settings>"
                                  "<video_tree><dir name=\"A\"></video_tree><!--"
        + QByteArray(4096, 'x') + "-->";
    QTest::newRow("could not be kept aside, then or at quit")
        << longBroken << QByteArray() << QString() << QStringList { trouble, trouble } << 3
        << QByteArrayList { longBroken } << 2048 << true;
    QTest::newRow("could not be kept aside, kept at quit")
        << longBroken << QByteArray() << QStringLiteral("hearth.xml.broken")
        << QStringList { trouble } << 0 << QByteArrayList { "<dir name=\"A\"/>" } << 2048 << false;
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
    QFETCH(int, sizeLimit);
    QFETCH(bool, limitAtQuit);

    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("hearth.xml"));
    if (!content.isNull()) {
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
#ifdef Q_OS_UNIX
    std::optional<FileSizeLimit> limit;
    if (sizeLimit > 0)
        limit.emplace(rlim_t(sizeLimit));
    if (!limitAtQuit)
        QTimer::singleShot(150, [&limit] { limit.reset(); });
#else
    if (sizeLimit > 0)
        QSKIP("Windows has no per-process file size limit to make a write fail part way");
    Q_UNUSED(limitAtQuit);
#endif
    QTimer::singleShot(300, askToQuit);
    QCOMPARE(runHearth(options), exitCode);
#ifdef Q_OS_UNIX
    limit.reset();
#endif

    QCOMPARE(prompts.titles, titles);
    QCOMPARE(
        prompts.icons.value(0), content.isNull() ? QMessageBox::Question : QMessageBox::Warning);
    if (!keptAs.isEmpty()) {
        QCOMPARE(readAll(dir.filePath(keptAs)), content);
        if (sizeLimit == 0) {
            QVERIFY2(
                prompts.texts.value(0).contains(QDir::toNativeSeparators(dir.filePath(keptAs))),
                qPrintable(prompts.texts.value(0)));
        }
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

void TestStartup::unusableFileIsLeftAlone_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("why");

    QTest::newRow("directory") << QStringLiteral("directory")
                               << QStringLiteral("it is a directory");
    QTest::newRow("1 GiB") << QStringLiteral("large") << QStringLiteral("larger than 64 MiB");
#ifdef Q_OS_UNIX
    QTest::newRow("device") << QStringLiteral("device") << QStringLiteral("it is a device");
    QTest::newRow("FIFO") << QStringLiteral("fifo") << QStringLiteral("it is a FIFO");
    QTest::newRow("socket") << QStringLiteral("socket") << QStringLiteral("it is a socket");
    QTest::newRow("unreadable") << QStringLiteral("unreadable")
                                << QStringLiteral("it cannot be read (");
#else
    // Windows keeps devices and pipes outside folders: they are named as the configuration.
    // (Wine cannot take a file's reading away from its owner, so no "unreadable" row.)
    QTest::newRow("NUL") << QStringLiteral("nul") << QStringLiteral("it is a device");
    QTest::newRow("named pipe") << QStringLiteral("pipe") << QStringLiteral("it is a named pipe");
#endif
}

// Only a regular file holding a configuration is one: anything else is refused at once,
// never read past a bound, kept aside, replaced or written.
void TestStartup::unusableFileIsLeftAlone()
{
    QFETCH(QString, kind);
    QFETCH(QString, why);

    QTemporaryDir dir;
    QString config = dir.filePath(QStringLiteral("hearth.xml"));
    QLocalServer socket;
    RecordingPrompts prompts;
    HearthOptions options = optionsFor(dir.path(), 0, prompts);
    if (kind == QLatin1String("directory")) {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("hearth.xml")));
    } else if (kind == QLatin1String("large")) {
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(1) << 30));
    }
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(config);
    if (kind == QLatin1String("device")) {
        // The one that reads zeros without end.
        if (::mknod(name.constData(), S_IFCHR | 0666, makedev(1, 5)) != 0)
            QSKIP("making a device node needs root");
    } else if (kind == QLatin1String("fifo")) {
        QVERIFY(::mkfifo(name.constData(), 0666) == 0);
    } else if (kind == QLatin1String("socket")) {
        QVERIFY(socket.listen(config));
    } else if (kind == QLatin1String("unreadable")) {
        QVERIFY(QFile(config).open(QIODevice::WriteOnly));
        QFile::setPermissions(config, QFileDevice::Permissions());
        QFile::setPermissions(dir.path(),
            QFile::permissions(dir.path()) | QFileDevice::ReadOther | QFileDevice::ExeOther);
    }
    struct stat before = {};
    QVERIFY(::lstat(name.constData(), &before) == 0);
    // Root reads any file: the unreadable one is tried as another user.
    const bool asOther = kind == QLatin1String("unreadable") && ::geteuid() == 0
        && ::setegid(65534) == 0 && ::seteuid(65534) == 0;
#else
    if (kind == QLatin1String("nul")) {
        config = dir.filePath(QStringLiteral("NUL"));
    } else if (kind == QLatin1String("pipe")) {
        QVERIFY(socket.listen(
            QStringLiteral("hearth-config-%1").arg(QCoreApplication::applicationPid())));
        config = socket.fullServerName();
    }
    options.configFile = config;
    const QFileInfo before(config);
#endif
    QElapsedTimer clock;
    clock.start();
    const int exitCode = runHearth(options);
#ifdef Q_OS_UNIX
    if (asOther)
        QVERIFY(::seteuid(0) == 0 && ::setegid(0) == 0);
#endif
    QCOMPARE(exitCode, 4);
    QVERIFY(clock.elapsed() < 2000);

    QCOMPARE(prompts.titles, QStringList { QStringLiteral("Hearth Configuration Error") });
    QCOMPARE(prompts.icons.value(0), QMessageBox::Critical);
    QVERIFY2(prompts.texts.value(0).contains(why), qPrintable(prompts.texts.value(0)));
#ifdef Q_OS_UNIX
    struct stat after = {};
    QVERIFY(::lstat(name.constData(), &after) == 0);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(after.st_size, before.st_size);
    QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    const QStringList left { QStringLiteral("hearth.xml") };
#else
    const QFileInfo after(config);
    QCOMPARE(after.isDir(), before.isDir());
    QCOMPARE(after.size(), before.size());
    QCOMPARE(after.lastModified(), before.lastModified());
    const QStringList left = kind == QLatin1String("nul") || kind == QLatin1String("pipe")
        ? QStringList()
        : QStringList { QStringLiteral("hearth.xml") };
#endif
    QCOMPARE(
        QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), left);
}

// The real program, sent SIGTERM while it reads its configuration: it still starts, then
// saves and ends normally instead of being killed.
void TestStartup::quitSignalWhileStartingSaves()
{
#ifdef Q_OS_WIN
    QSKIP("needs unshare for a network of its own; Windows' quit requests are rows of "
          "terminationSavesTheConfiguration");
#else
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("hearth.xml"));
    QByteArray library = "<hearth><settings><server name=\"Early\"/></settings><video_tree>";
    for (int i = 0; i < 20000; ++i)
        library += "<file path=\"/gone/" + QByteArray::number(i) + ".avi\"/>";
    library += "</video_tree></hearth>";
    {
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(library);
    }

    // A network of its own: port 8000 is always free there.
    QProcess hearth;
    hearth.setReadChannel(QProcess::StandardError);
    hearth.start(QStringLiteral("unshare"),
        { QStringLiteral("-n"), QStringLiteral(HEARTH_BINARY), QStringLiteral("--config"), config,
            QStringLiteral("--verbose"), QStringLiteral("-platform"),
            QStringLiteral("offscreen") });
    QVERIFY(hearth.waitForStarted());
    QByteArray said;
    while (!said.contains("hearth.config: reading") && hearth.waitForReadyRead(10000))
        said += hearth.readAllStandardError();
    if (!said.contains("hearth.config: reading")) {
        hearth.kill();
        hearth.waitForFinished();
        QSKIP(qPrintable(QLatin1String("hearth did not start here: ")
            + QString::fromLocal8Bit(said + hearth.readAllStandardError())));
    }
    hearth.terminate();
    QVERIFY(hearth.waitForFinished(30000));
    QCOMPARE(hearth.exitStatus(), QProcess::NormalExit);
    QCOMPARE(hearth.exitCode(), 0);
    const QByteArray saved = readAll(config);
    QVERIFY2(saved.startsWith("<hearth>\n    <settings>"), saved.left(200).constData());
    QVERIFY(saved.contains("name=\"Early\""));
    QCOMPARE(saved.count("<file "), 20000);
#endif
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
