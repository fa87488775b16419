// The Linux hearth-purge run as a child process over real files, with an environment block of
// encoded paths and nothing else, and the boot-time step that works through its list.
#include <QtCore/QDir>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QRandomGenerator>
#include <QtCore/QTemporaryDir>
#include <QtTest/QTest>

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {

struct Run {
    int exitCode = -1; // -1000 - signal when it did not exit
    qint64 milliseconds = 0;
};

Run runPurge(const QByteArrayList &entries, const QByteArray &workingDirectory = QByteArray())
{
    std::vector<char *> environment;
    QByteArrayList copies = entries;
    for (QByteArray &entry : copies)
        environment.push_back(entry.data());
    environment.push_back(nullptr);
    char program[] = PURGE_PROGRAM;
    char *arguments[] = {program, nullptr};

    QElapsedTimer timer;
    timer.start();
    const pid_t child = fork();
    if (child == 0) {
        if (!workingDirectory.isEmpty() && chdir(workingDirectory.constData()) != 0)
            _exit(126);
        execve(program, arguments, environment.data());
        _exit(127);
    }
    Run run;
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return run;
    run.milliseconds = timer.elapsed();
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - WTERMSIG(status);
    return run;
}

// What the launcher does to a path.
QByteArray encode(const QByteArray &path)
{
    QByteArray entry;
    for (const char c : path) {
        const auto byte = uchar(c);
        if (byte == '%' || byte == '&')
            entry += QByteArray(2, c);
        else if (byte == '=')
            entry += "%}";
        else if (byte >= 0x80 && byte != 0x80 && byte != 0x80 + '&')
            entry += '&' + QByteArray(1, char(byte - 128));
        else if (byte >= 0x80)
            entry += '%' + QByteArray(1, char(byte + 64));
        else
            entry += c;
    }
    return entry;
}

QByteArrayList pendingList()
{
    QFile list(QStringLiteral(PURGE_LIST));
    if (!list.open(QIODevice::ReadOnly))
        return {};
    QByteArrayList entries = list.readAll().split('\0');
    if (!entries.isEmpty() && entries.constLast().isEmpty())
        entries.removeLast();
    return entries;
}

bool exists(const QByteArray &path)
{
    struct stat status;
    return lstat(path.constData(), &status) == 0;
}

mode_t modeOf(const QByteArray &path)
{
    struct stat status;
    return lstat(path.constData(), &status) == 0 ? status.st_mode : 0;
}

// Holds a file that root cannot remove either, and lets it go however the test ends.
class ImmutableFile
{
public:
    explicit ImmutableFile(const QByteArray &path) : m_path(path) { m_held = setFlag(true); }
    ~ImmutableFile()
    {
        if (m_held)
            setFlag(false);
    }
    bool held() const { return m_held; }

private:
    bool setFlag(bool on)
    {
        const int fd = open(m_path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        int flags = 0;
        bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        close(fd);
        return ok;
    }
    QByteArray m_path;
    bool m_held = false;
};

} // namespace

class TestPurgeProgram : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void removal_data();
    void removal();
    void refusedFileRetriedThenDeferred();
    void relativePathRecordedAbsolute();
    void hostileBlockRemovesNothingUnnamed();
    void bootStepRemovesDeferredPaths();

private:
    QByteArray makeLayout(const QStringList &layout);
    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_root;
};

void TestPurgeProgram::init()
{
    QFile::remove(QStringLiteral(PURGE_LIST));
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_root = QFile::encodeName(m_dir->path());
}

// "f name" file, "r name" read-only file, "d name" directory, "l name>target" symbolic link.
QByteArray TestPurgeProgram::makeLayout(const QStringList &layout)
{
    for (const QString &layoutLine : layout) {
        const QByteArray name = layoutLine.mid(2).toUtf8();
        const QByteArray path = m_root + '/' + name.split('>').constFirst();
        switch (layoutLine.at(0).toLatin1()) {
        case 'd':
            if (mkdir(path.constData(), 0755) != 0)
                return "mkdir " + path;
            break;
        case 'l': {
            const QByteArray target = m_root + '/' + name.split('>').constLast();
            if (symlink(target.constData(), path.constData()) != 0)
                return "symlink " + path;
            break;
        }
        default: {
            const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                layoutLine.startsWith(QLatin1Char('r')) ? 0444 : 0644);
            if (fd < 0 || write(fd, "data", 4) != 4)
                return "create " + path;
            close(fd);
        }
        }
    }
    return QByteArray();
}

void TestPurgeProgram::removal_data()
{
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QStringList>("entries"); // names below the root; "" is an empty entry
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<QStringList>("deferred");

    const auto s = [](const char *text) { return QString::fromUtf8(text); };
    QTest::newRow("read-only file removed")
        << QStringList{s("r ro")} << QStringList{s("ro")} << QStringList{s("ro")} << QStringList();
    QTest::newRow("names with escaped bytes")
        << QStringList{s("f a=b"), s("f caf\xc3\xa9 \xe2\x82\xac"), s("f 50%&x"), s("f new\nline")}
        << QStringList{s("a=b"), s("caf\xc3\xa9 \xe2\x82\xac"), s("50%&x"), s("new\nline")}
        << QStringList{s("a=b"), s("caf\xc3\xa9 \xe2\x82\xac"), s("50%&x"), s("new\nline")}
        << QStringList();
    QTest::newRow("missing path skipped")
        << QStringList{s("f f")} << QStringList{s("missing"), s("no/such/dir"), s("f/under-a-file"), s("f")}
        << QStringList{s("f")} << QStringList();
    QTest::newRow("empty directory removed")
        << QStringList{s("d e")} << QStringList{s("e")} << QStringList{s("e")} << QStringList();
    QTest::newRow("files before their directory")
        << QStringList{s("d dir"), s("f dir/x"), s("r dir/y")} << QStringList{s("dir/x"), s("dir/y"), s("dir")}
        << QStringList{s("dir/x"), s("dir/y"), s("dir")} << QStringList();
    QTest::newRow("non-empty directory deferred at once")
        << QStringList{s("d full"), s("f full/x")} << QStringList{s("full")}
        << QStringList() << QStringList{s("full")};
    QTest::newRow("first entry empty does nothing")
        << QStringList{s("f f"), s("d e")} << QStringList{QString(), s("f"), s("e")}
        << QStringList() << QStringList();
    QTest::newRow("symbolic link removed, its target kept as it was")
        << QStringList{s("r target"), s("l link>target")} << QStringList{s("link")}
        << QStringList{s("link")} << QStringList();
    QTest::newRow("link to a directory removed as a link")
        << QStringList{s("d real"), s("f real/x"), s("l dl>real")} << QStringList{s("dl")}
        << QStringList{s("dl")} << QStringList();
}

void TestPurgeProgram::removal()
{
    QFETCH(QStringList, layout);
    QFETCH(QStringList, entries);
    QFETCH(QStringList, gone);
    QFETCH(QStringList, deferred);

    QCOMPARE(makeLayout(layout), QByteArray());
    QHash<QByteArray, mode_t> before;
    for (const QString &layoutLine : layout) {
        const QByteArray path = m_root + '/' + layoutLine.mid(2).toUtf8().split('>').constFirst();
        before.insert(path, modeOf(path));
    }
    QByteArrayList block;
    for (const QString &name : entries)
        block << (name.isEmpty() ? QByteArray() : encode(m_root + '/' + name.toUtf8()));

    const Run run = runPurge(block);
    QCOMPARE(run.exitCode, 0);
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        const bool expectGone = gone.contains(QString::fromUtf8(it.key().mid(m_root.size() + 1)));
        QVERIFY2(exists(it.key()) != expectGone, it.key().constData());
        if (!expectGone)
            QCOMPARE(modeOf(it.key()), it.value()); // survivors are left exactly as they were
    }
    QByteArrayList expectedList;
    for (const QString &name : deferred)
        expectedList << m_root + '/' + name.toUtf8();
    QCOMPARE(pendingList(), expectedList);
    if (!deferred.isEmpty())
        QVERIFY2(run.milliseconds < 400, "a directory is deferred without retries");
}

void TestPurgeProgram::refusedFileRetriedThenDeferred()
{
    QCOMPARE(makeLayout({QStringLiteral("d locked"), QStringLiteral("f locked/held"),
                         QStringLiteral("f after")}),
             QByteArray());
    const QByteArray held = m_root + "/locked/held";
    // Root may remove from any directory, but not an immutable file.
    std::unique_ptr<ImmutableFile> immutable;
    if (geteuid() == 0) {
        immutable = std::make_unique<ImmutableFile>(held);
        if (!immutable->held())
            QSKIP("running as root on a file system without the immutable flag");
    } else {
        QVERIFY(chmod(QByteArray(m_root + "/locked").constData(), 0555) == 0);
    }

    const Run run = runPurge({encode(held), encode(m_root + "/after")});

    if (!immutable)
        chmod(QByteArray(m_root + "/locked").constData(), 0755);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(exists(held));
    QVERIFY(!exists(m_root + "/after"));
    QCOMPARE(pendingList(), QByteArrayList{held});
    // Four attempts with three pauses of 500 ms between them, and no more.
    QVERIFY2(run.milliseconds >= 1450 && run.milliseconds < 2500,
             QByteArray::number(run.milliseconds).constData());
}

void TestPurgeProgram::relativePathRecordedAbsolute()
{
    QCOMPARE(makeLayout({QStringLiteral("d full"), QStringLiteral("f full/x"), QStringLiteral("f rel")}),
             QByteArray());
    const Run run = runPurge({"full", "./rel"}, m_root);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(!exists(m_root + "/rel"));
    // The boot-time step does not run where the launcher did.
    QCOMPARE(pendingList(), QByteArrayList{m_root + "/full"});
}

void TestPurgeProgram::hostileBlockRemovesNothingUnnamed()
{
    // Each file is named by the start of an entry that names something else.
    const int prefixLength = 258 - m_root.size() - 1;
    const QByteArray prefix(prefixLength, 'p');
    QCOMPARE(makeLayout({QStringLiteral("f ") + QString::fromLatin1(prefix), QStringLiteral("f bb"),
                         QStringLiteral("f cc"), QStringLiteral("d dd"), QStringLiteral("f dd/x")}),
             QByteArray());
    const QByteArray root = encode(m_root + '/');
    QByteArrayList block{
        root + prefix + "q",          // cut to 258 bytes it names the prefix file
        root + "bb%", root + "bb&",   // a lone escape at the end
        root + "cc%@dd",        // decodes to a NUL after "cc"
        root + "cc&\x80",
        "WINELOADER=/usr/lib/wine/wine64",
        QByteArray(100000, 'z'),
    };
    // Any bytes at all below the root, of any length.
    QRandomGenerator random(20240601);
    for (int i = 0; i < 300; ++i) {
        QByteArray entry = root;
        const int length = int(random.bounded(1, 600));
        for (int j = 0; j < length; ++j)
            entry += char(random.bounded(1, 256));
        block << entry;
    }

    const Run run = runPurge(block);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(exists(m_root + '/' + prefix));
    QVERIFY(exists(m_root + "/bb"));
    QVERIFY(exists(m_root + "/cc"));
    QVERIFY(exists(m_root + "/dd/x"));
    QCOMPARE(pendingList(), QByteArrayList());
}

void TestPurgeProgram::bootStepRemovesDeferredPaths()
{
    QCOMPARE(makeLayout({QStringLiteral("d full"), QStringLiteral("f full/x"),
                         QStringLiteral("d stays"), QStringLiteral("f stays/keep"),
                         QStringLiteral("f new\nline"), QStringLiteral("r target"),
                         QStringLiteral("l link>target")}),
             QByteArray());
    // The program defers the directory; by the next start its file has gone.
    QCOMPARE(runPurge({encode(m_root + "/full"), encode(m_root + "/stays")}).exitCode, 0);
    QCOMPARE(pendingList().size(), 2);
    QVERIFY(QFile::remove(m_dir->filePath(QStringLiteral("full/x"))));
    QFile list(QStringLiteral(PURGE_LIST));
    QVERIFY(list.open(QIODevice::Append));
    list.write(m_root + "/new\nline" + '\0' + m_root + "/link" + '\0' + m_root + "/gone" + '\0');
    list.close();

    QProcess boot;
    boot.start(QStringLiteral(PURGE_BOOT), {QStringLiteral(PURGE_LIST)});
    QVERIFY(boot.waitForFinished(30000));
    QCOMPARE(boot.exitCode(), 0);
    QVERIFY(!exists(m_root + "/full"));
    QVERIFY(!exists(m_root + "/new\nline"));
    QVERIFY(!exists(m_root + "/link"));
    QVERIFY(exists(m_root + "/target"));
    QVERIFY(exists(m_root + "/stays/keep")); // a directory still not empty stays
    QVERIFY(!QFile::exists(QStringLiteral(PURGE_LIST)));
    QVERIFY(!QFile::exists(QStringLiteral(PURGE_LIST ".boot")));
}

QTEST_APPLESS_MAIN(TestPurgeProgram)
#include "tst_purgeprogram.moc"
