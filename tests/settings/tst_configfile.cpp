#include "app/productstrings.h"
#include "settings/configfile.h"
#include "settings/settings.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Limits the size of any file this process writes, so a save fails part way even for root.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    }

private:
    rlimit saved {};
    void (*previousHandler)(int) = nullptr;
};

QDomDocument documentWith(const Settings &settings)
{
    QDomDocument document;
    document.appendChild(document.createElement(QStringLiteral("hearth")));
    settings.saveXml(document);
    return document;
}

} // namespace

class TestConfigFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pathNextToExecutable();
    void pathFallsBackWhenDirectoryUnusable();
    void readingOddFiles_data();
    void readingOddFiles();
    void saveThenLoadReproducesEveryField();
    void writtenFormat();
    void failedWriteKeepsOldFile();
    void writeCreatesMissingDirectory();
    void charactersXmlCannotHoldDoNotBreakTheFile_data();
    void charactersXmlCannotHoldDoNotBreakTheFile();
};

void TestConfigFile::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestConfigFile::pathNextToExecutable()
{
    QTemporaryDir dir;
    QCOMPARE(configurationPath(dir.path()), dir.path() + QStringLiteral("/hearth.xml"));
}

void TestConfigFile::pathFallsBackWhenDirectoryUnusable()
{
    QTemporaryDir dir;
    const QString missing = dir.path() + QStringLiteral("/not-there");
    const QString expected
        = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation)
        + QStringLiteral("/hearth.xml");
    QCOMPARE(configurationPath(missing), expected);
    // A plain file is no directory to write into either.
    const QString file = dir.path() + QStringLiteral("/file");
    writeBytes(file, "x");
    QCOMPARE(configurationPath(file), expected);
}

void TestConfigFile::readingOddFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("create");
    QTest::addColumn<QString>("expectedName");
    QTest::addColumn<uint>("expectedWidth");

    QTest::newRow("missing file") << QByteArray() << false << QStringLiteral("My Hearth") << 720u;
    QTest::newRow("zero bytes") << QByteArray() << true << QStringLiteral("My Hearth") << 720u;
    QTest::newRow("malformed") << QByteArray("<hearth><settings><server name=\"X\"")
                               << true << QStringLiteral("My Hearth") << 720u;
    QTest::newRow("binary junk") << QByteArray("\x00\xff\xfe<\x01", 5) << true
                                 << QStringLiteral("My Hearth") << 720u;
    QTest::newRow("foreign root accepted")
        << QByteArray("<mediaserver><settings><server name=\"Attic\"/>"
                      "<scaling tv_system=\"NTSC\"/></settings></mediaserver>")
        << true << QStringLiteral("Attic") << 720u;
    QTest::newRow("unknown elements skipped")
        << QByteArray("<hearth><colour/><settings><future a=\"1\"/><server name=\"Den\"/>"
                      "</settings><more/></hearth>")
        << true << QStringLiteral("Den") << 720u;
    QTest::newRow("40-character name")
        << QByteArray("<hearth><settings><server name=\"0123456789012345678901234567890123456789\"/>"
                      "</settings></hearth>")
        << true << QStringLiteral("012345678901234567890123456789") << 720u;
    QTest::newRow("non-numeric min")
        << QByteArray("<hearth><settings><compression enabled=\"true\" min=\"low\" max=\"200\"/>"
                      "<scaling tv_system=\"HDTV_1080\" tv_format=\"16:9\"/></settings></hearth>")
        << true << QStringLiteral("My Hearth") << 1920u;
}

void TestConfigFile::readingOddFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, create);
    QFETCH(QString, expectedName);
    QFETCH(uint, expectedWidth);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hearth.xml"));
    if (create)
        writeBytes(path, content);

    bool opened = !create;
    const QDomDocument document = readConfigurationDocument(path, &opened);
    QCOMPARE(opened, create);
    Settings settings(defaultServerName());
    settings.loadXml(document);
    QCOMPARE(settings.serverName(), expectedName);
    QCOMPARE(settings.width(), expectedWidth);
}

void TestConfigFile::saveThenLoadReproducesEveryField()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hearth.xml"));

    Settings saved(defaultServerName());
    saved.setScaling(Settings::HDTV_720, Settings::WIDESCREEN, false, true, true);
    saved.setServerName(QStringLiteral("Wohnzimmer \u00e4 <&> \"q\""));
    saved.setExtensions(QStringLiteral("*.mkv *.AVI"), QStringLiteral("*.flac"),
        QStringLiteral("*.jpg *.png"));
    QVERIFY(writeConfigurationDocument(path, documentWith(saved)));

    bool opened = false;
    Settings loaded(defaultServerName());
    loaded.loadXml(readConfigurationDocument(path, &opened));
    QVERIFY(opened);
    QCOMPARE(loaded.tvSystem(), saved.tvSystem());
    QCOMPARE(loaded.tvFormat(), saved.tvFormat());
    QCOMPARE(loaded.scale(), false);
    QCOMPARE(loaded.squarePixels(), true);
    QCOMPARE(loaded.compress(), true);
    QCOMPARE(loaded.compressMin(), saved.compressMin());
    QCOMPARE(loaded.compressMax(), saved.compressMax());
    QCOMPARE(loaded.serverName(), saved.serverName());
    QCOMPARE(loaded.extensions(), saved.extensions());

    // Writing what was read gives the same bytes: nothing drifts from one run to the next.
    const QByteArray first = readAll(path);
    QVERIFY(writeConfigurationDocument(path, documentWith(loaded)));
    QCOMPARE(readAll(path), first);
}

void TestConfigFile::writtenFormat()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hearth.xml"));
    Settings settings(defaultServerName());
    settings.setServerName(QStringLiteral("K\u00fcche"));
    QVERIFY(writeConfigurationDocument(path, documentWith(settings)));

    const QByteArray bytes = readAll(path);
    QVERIFY2(bytes.startsWith("<hearth>\n    <settings>\n        <"), bytes.constData());
    QVERIFY(!bytes.contains("<?xml"));
    QVERIFY(bytes.contains("name=\"K\xc3\xbc" "che\""));
    QVERIFY(bytes.endsWith("</hearth>\n"));
}

void TestConfigFile::failedWriteKeepsOldFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hearth.xml"));
    const QByteArray old = "<hearth><settings><server name=\"Keep me\"/></settings></hearth>";
    writeBytes(path, old);

    Settings settings(defaultServerName());
    settings.setServerName(QStringLiteral("Lost"));
    bool written = true;
    {
        FileSizeLimit limit(64);
        written = writeConfigurationDocument(path, documentWith(settings));
    }
    QVERIFY(!written);
    QCOMPARE(readAll(path), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
        QStringList{QStringLiteral("hearth.xml")});
}

void TestConfigFile::writeCreatesMissingDirectory()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config/vela/hearth.xml"));
    QVERIFY(writeConfigurationDocument(path, documentWith(Settings(defaultServerName()))));
    QVERIFY(readAll(path).startsWith("<hearth>"));
}

void TestConfigFile::charactersXmlCannotHoldDoNotBreakTheFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("readName");
    QTest::addColumn<QString>("readFilter");

    QTest::addRow("control characters")
        << QStringLiteral("Den\x01Room\x1f") << QStringLiteral("*.a\x0b *.b")
        << QStringLiteral("DenRoom") << QStringLiteral("*.a *.b");
    QTest::addRow("tab and line breaks kept")
        << QStringLiteral("A\tB") << QStringLiteral("*.a\t*.b")
        << QStringLiteral("A\tB") << QStringLiteral("*.a\t*.b");
    QTest::addRow("non-characters")
        << QStringLiteral("Den") + QChar(0xFFFE) + QChar(0xFFFF) << QStringLiteral("*.a")
        << QStringLiteral("Den") << QStringLiteral("*.a");
}

// A pasted control character must not make the whole file unreadable: everything written
// after it (the libraries) would be lost at the next start.
void TestConfigFile::charactersXmlCannotHoldDoNotBreakTheFile()
{
    QFETCH(QString, name);
    QFETCH(QString, filter);
    QFETCH(QString, readName);
    QFETCH(QString, readFilter);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hearth.xml"));
    Settings saved(defaultServerName());
    saved.setServerName(name);
    saved.setExtensions(filter, filter, filter);
    QDomDocument document = documentWith(saved);
    QDomElement library = document.createElement(QStringLiteral("video_tree"));
    library.setAttribute(QStringLiteral("name"), QStringLiteral("after the settings"));
    document.documentElement().appendChild(library);
    QVERIFY(writeConfigurationDocument(path, document));

    QDomDocument reread;
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QString error;
    QVERIFY2(reread.setContent(&file, &error), qPrintable(error));
    QCOMPARE(reread.documentElement()
                 .firstChildElement(QStringLiteral("video_tree"))
                 .attribute(QStringLiteral("name")),
        QStringLiteral("after the settings"));
    Settings loaded(defaultServerName());
    loaded.loadXml(reread);
    QCOMPARE(loaded.serverName(), readName);
    QCOMPARE(loaded.extensions().at(0), readFilter);
}

QTEST_MAIN(TestConfigFile)
#include "tst_configfile.moc"
