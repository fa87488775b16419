#include "app/productstrings.h"
#include "settings/configfile.h"
#include "settings/settings.h"
#include "tests/filesizelimit.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// Every node with its name, value and attributes, in document order, one per line.
QString dump(const QDomNode &node, int depth = 0)
{
    QString text;
    for (QDomNode child = node.firstChild(); !child.isNull(); child = child.nextSibling()) {
        // Comments and processing instructions are nothing the program reads.
        if (child.isComment() || child.isProcessingInstruction())
            continue;
        text += QString(depth * 2, QLatin1Char(' ')) + child.nodeName() + QLatin1Char('=')
            + child.nodeValue();
        QStringList attributes;
        const QDomNamedNodeMap map = child.attributes();
        for (int i = 0; i < map.count(); ++i)
            attributes.append(map.item(i).nodeName() + QLatin1Char('=') + map.item(i).nodeValue());
        attributes.sort();
        text += QLatin1Char(' ') + attributes.join(QLatin1Char(' ')) + QLatin1Char('\n');
        text += dump(child, depth + 1);
    }
    return text;
}

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
    void configurationPlace_data();
    void configurationPlace();
    void readingOddFiles_data();
    void readingOddFiles();
    void saveThenLoadReproducesEveryField();
    void writtenFormat();
    void failedWriteKeepsOldFile();
    void writeCreatesMissingDirectory();
    void replacedFileKeepsOwnerAndMode();
    void charactersXmlCannotHoldDoNotBreakTheFile_data();
    void charactersXmlCannotHoldDoNotBreakTheFile();
    void documentAsTheDomParserBuildsIt_data();
    void documentAsTheDomParserBuildsIt();
    void deepNestingIsLeftOut();
};

void TestConfigFile::initTestCase()
{
    // A home that another user may look into (see configurationPlace).
    static QTemporaryDir home;
    QFile::setPermissions(home.path(),
        QFile::permissions(home.path()) | QFileDevice::ReadOther | QFileDevice::ExeOther);
    qputenv("HOME", QFile::encodeName(home.path()));
    QStandardPaths::setTestModeEnabled(true);
}

void TestConfigFile::configurationPlace_data()
{
    QTest::addColumn<QString>("applicationDir"); // relative to a temporary directory
    QTest::addColumn<QString>("installedDir");
    QTest::addColumn<bool>("perUser");
    // Existing files: beside the program, and per user; and which one is read.
    QTest::addColumn<bool>("besideFile");
    QTest::addColumn<bool>("userFile");
    QTest::addColumn<bool>("readBeside");

    const QString build = QStringLiteral("build");
    const QString usrBin = QStringLiteral("usr/bin");
    const QString readOnly = QStringLiteral("readonly");
    // clang-format off
    QTest::addRow("build tree") << build << usrBin << false << true << true << true;
    QTest::addRow("installed") << usrBin << usrBin << true << true << false << false;
    QTest::addRow("installed, reached through a link") << QStringLiteral("bin") << usrBin << true << false << false << false;
    QTest::addRow("installed, written with a trailing slash") << usrBin << QStringLiteral("usr/bin/") << true << false << false << false;
    QTest::addRow("no installed place known") << usrBin << QString() << false << false << false << false;
    QTest::addRow("installed place missing") << build << QStringLiteral("opt/none") << false << false << false << false;
    // A directory that cannot take the file falls back to the per-user one.
    QTest::addRow("directory missing") << QStringLiteral("gone") << QString() << true << false << false << false;
    QTest::addRow("a file, not a directory") << QStringLiteral("file") << QString() << true << false << false << false;
    // What lies beside a copy in a read-only folder is read until a save per user exists.
    QTest::addRow("read-only folder holding a file") << readOnly << QString() << true << true << false << true;
    QTest::addRow("read-only folder, saved per user since") << readOnly << QString() << true << true << true << false;
    QTest::addRow("read-only folder without a file") << readOnly << QString() << true << false << false << false;
#ifdef Q_OS_WIN
    QTest::addRow("installed, other case") << QStringLiteral("Program Files/Vela Hearth") << QStringLiteral("PROGRAM FILES/vela hearth") << true << false << false << false;
    QTest::addRow("installed folder's parent") << QStringLiteral("Program Files") << QStringLiteral("Program Files/Vela Hearth") << false << false << false << false;
#endif
    // clang-format on
}

void TestConfigFile::configurationPlace()
{
    QFETCH(QString, applicationDir);
    QFETCH(QString, installedDir);
    QFETCH(bool, perUser);
    QFETCH(bool, besideFile);
    QFETCH(bool, userFile);
    QFETCH(bool, readBeside);

    QTemporaryDir root;
    QDir(root.path()).mkpath(QStringLiteral("usr/bin"));
    QDir(root.path()).mkpath(QStringLiteral("build"));
    QDir(root.path()).mkpath(QStringLiteral("readonly"));
    QDir(root.path()).mkpath(QStringLiteral("Program Files/Vela Hearth"));
    QFile::link(root.filePath(QStringLiteral("usr/bin")), root.filePath(QStringLiteral("bin")));
    writeBytes(root.filePath(QStringLiteral("file")), "x");
    const QString application = root.filePath(applicationDir);
    const QString installed = installedDir.isEmpty() ? QString() : root.filePath(installedDir);
    const QString beside = application + QStringLiteral("/hearth.xml");
#ifdef Q_OS_WIN
    const QString userDir = QDir::fromNativeSeparators(qEnvironmentVariable("APPDATA"))
        + QStringLiteral("/Vela Hearth");
#else
    const QString userDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
#endif
    const QString user = userDir + QStringLiteral("/hearth.xml");
    QFile::remove(user);
    if (besideFile)
        writeBytes(beside, "<hearth/>");
    if (userFile) {
        QDir().mkpath(userDir);
        writeBytes(user, "<hearth/>");
    }
    QFile::setPermissions(root.filePath(QStringLiteral("readonly")),
        QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther
            | QFileDevice::ExeOther);
    // The folder's mode does not stop root: ask as another user. (Only the real user ID
    // changes, which is what the writability check asks about; root takes it back.)
    QFile::setPermissions(root.path(),
        QFile::permissions(root.path()) | QFileDevice::ReadOther | QFileDevice::ExeOther);
#ifdef Q_OS_UNIX
    const bool asOther = applicationDir == QLatin1String("readonly") && ::getuid() == 0
        && ::setregid(65534, gid_t(-1)) == 0 && ::setreuid(65534, uid_t(-1)) == 0;
#else
    // Wine maps the folder's mode onto the read-only attribute, which Windows ignores for
    // folders: the folder stays writable there.
    if (applicationDir == QLatin1String("readonly"))
        QSKIP("a folder's read-only attribute does not stop writing into it on Windows");
#endif
    const QString path = configurationPath(application, installed);
    const QString readPath = configurationReadPath(application, installed);
#ifdef Q_OS_UNIX
    if (asOther)
        QVERIFY(::setreuid(0, uid_t(-1)) == 0 && ::setregid(0, gid_t(-1)) == 0);
#endif
    QFile::remove(user);

    QCOMPARE(path, perUser ? user : beside);
    QCOMPARE(readPath, readBeside ? beside : path);
}

void TestConfigFile::readingOddFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("create");
    QTest::addColumn<QString>("expectedName");
    QTest::addColumn<uint>("expectedWidth");
    // Whether the document holds the whole file; if not, it must be kept aside.
    QTest::addColumn<bool>("whole");
    // Nothing in it is a configuration: it must be left alone.
    QTest::addColumn<bool>("refused");

    QTest::newRow("missing file") << QByteArray() << false << QStringLiteral("My Hearth") << 720u
                                  << true << false;
    QTest::newRow("zero bytes") << QByteArray() << true << QStringLiteral("My Hearth") << 720u
                                << true << false;
    QTest::newRow("blank lines") << QByteArray(" \n\r\n") << true << QStringLiteral("My Hearth")
                                 << 720u << true << false;
    QTest::newRow("malformed") << QByteArray("<hearth><settings><server name=\"X\"") << true
                               << QStringLiteral("My Hearth") << 720u << false << false;
    QTest::newRow("binary junk") << QByteArray("\x00\xff\xfe<\x01", 5) << true
                                 << QStringLiteral("My Hearth") << 720u << true << true;
    QTest::newRow("a program") << QByteArray("\x7f\x45LF\x02\x01\x01\0\0\0<hearth>", 17) << true
                               << QStringLiteral("My Hearth") << 720u << true << true;
    QTest::newRow("another program's XML")
        << QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\"><rect width=\"1\"/></svg>") << true
        << QStringLiteral("My Hearth") << 720u << true << true;
    QTest::newRow("cut inside the root's name")
        << QByteArray("<hea") << true << QStringLiteral("My Hearth") << 720u << true << true;
    QTest::newRow("foreign root accepted")
        << QByteArray("<mediaserver><settings><server name=\"Attic\"/>"
                      "<scaling tv_system=\"NTSC\"/></settings></mediaserver>")
        << true << QStringLiteral("Attic") << 720u << true << false;
    QTest::newRow("unknown elements skipped")
        << QByteArray("<hearth><colour/><settings><future a=\"1\"/><server name=\"Den\"/>"
                      "</settings><more/></hearth>")
        << true << QStringLiteral("Den") << 720u << true << false;
    QTest::newRow("40-character name") << QByteArray(
        "<hearth><settings><server name=\"0123456789012345678901234567890123456789\"/>"
        "</settings></hearth>") << true << QStringLiteral("012345678901234567890123456789")
                                       << 720u << true << false;
    QTest::newRow("non-numeric min")
        << QByteArray("<hearth><settings><compression enabled=\"true\" min=\"low\" max=\"200\"/>"
                      "<scaling tv_system=\"HDTV_1080\" tv_format=\"16:9\"/></settings></hearth>")
        << true << QStringLiteral("My Hearth") << 1920u << true << false;
    // The reader gives up at the first byte that is not UTF-8, whatever follows it.
    QTest::newRow("Latin-1 byte, as a Latin-1 editor writes it")
        << QByteArray("<hearth><settings><scaling tv_system=\"HDTV_720\"/><server name=\"Caf\xe9 "
                      "\xc3\xbc\"/></settings></hearth>")
        << true << QStringLiteral("Caf\u00e9 \u00fc") << 1280u << false << false;
    QTest::newRow("declared Latin-1 is whole")
        << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><hearth><settings>"
                      "<server name=\"Caf\xe9\"/></settings></hearth>")
        << true << QStringLiteral("Caf\u00e9") << 720u << true << false;
    QTest::newRow("cut after the settings")
        << QByteArray("<hearth><settings><server name=\"Den\"/><scaling tv_system=\"HDTV_720\"/>"
                      "</settings><video_tree><dir name=\"A\"><file pa")
        << true << QStringLiteral("Den") << 1280u << false << false;
}

void TestConfigFile::readingOddFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, create);
    QFETCH(QString, expectedName);
    QFETCH(uint, expectedWidth);
    QFETCH(bool, whole);
    QFETCH(bool, refused);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hearth.xml"));
    if (create)
        writeBytes(path, content);

    const ConfigurationRead read = readConfiguration(path);
    QCOMPARE(read.opened, create);
    QVERIFY2(read.problem.isEmpty() == whole, qPrintable(read.problem));
    QVERIFY2(read.refusal.isEmpty() != refused, qPrintable(read.refusal));
    QCOMPARE(read.bytes, content);
    Settings settings(defaultServerName());
    settings.loadXml(read.document);
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
    saved.setExtensions(
        QStringLiteral("*.mkv *.AVI"), QStringLiteral("*.flac"), QStringLiteral("*.jpg *.png"));
    saved.setConversionEnabled(false);
    saved.setConversionLimit(3);
    const QList<ClientOverride> overrides { { QStringLiteral("192.168.1.20"),
                                                QStringLiteral("ps3") },
        { QStringLiteral("BRAVIA \"KDL\" <&>"), QStringLiteral("everything") } };
    saved.setClientOverrides(overrides);
    QVERIFY(writeConfigurationDocument(path, documentWith(saved)));

    const ConfigurationRead read = readConfiguration(path);
    QVERIFY(read.opened);
    QVERIFY(read.problem.isEmpty());
    Settings loaded(defaultServerName());
    loaded.loadXml(read.document);
    QCOMPARE(loaded.tvSystem(), saved.tvSystem());
    QCOMPARE(loaded.tvFormat(), saved.tvFormat());
    QCOMPARE(loaded.scale(), false);
    QCOMPARE(loaded.squarePixels(), true);
    QCOMPARE(loaded.compress(), true);
    QCOMPARE(loaded.compressMin(), saved.compressMin());
    QCOMPARE(loaded.compressMax(), saved.compressMax());
    QCOMPARE(loaded.serverName(), saved.serverName());
    QCOMPARE(loaded.extensions(), saved.extensions());
    QCOMPARE(loaded.conversionEnabled(), false);
    QCOMPARE(loaded.conversionLimit(), 3);
    QCOMPARE(loaded.clientOverrides(), overrides);
    QVERIFY2(readAll(path).contains("<conversion enabled=\"false\" limit=\"3\">\n            "
                                    "<override client=\"192.168.1.20\" profile=\"ps3\"/>"),
        readAll(path).constData());

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
    QVERIFY(bytes.contains("name=\"K\xc3\xbc"
                           "che\""));
    QVERIFY(bytes.endsWith("</hearth>\n"));
    // The attributes in the order they are set, whatever order the document keeps them in:
    // an unchanged library gives the same file on every save.
    QVERIFY2(bytes.contains("<scaling enabled=\"true\" square_pixels=\"false\" tv_system=\"PAL\" "
                            "tv_format=\"WIDESCREEN\"/>\n        <compression enabled=\"true\" "
                            "min=\"16\" max=\"235\"/>"),
        bytes.constData());

    // Byte for byte what the toolkit's own writer made, wherever its order is fixed.
    QDomDocument single;
    QDomElement root = single.createElement(QStringLiteral("r"));
    single.appendChild(root);
    QDomElement text = single.createElement(QStringLiteral("t"));
    text.appendChild(single.createTextNode(QStringLiteral("a<b>&\"c\"\r\n\t]]>")));
    root.appendChild(text);
    root.appendChild(single.createElement(QStringLiteral("e")))
        .toElement()
        .setAttribute(QStringLiteral("v"), QStringLiteral("a<b>&\"c\"\r\n\t]]>'"));
    root.appendChild(single.createElement(QStringLiteral("empty")))
        .appendChild(single.createTextNode(QString()));
    QCOMPARE(serializeConfiguration(single), single.toByteArray(4));
}

void TestConfigFile::failedWriteKeepsOldFile()
{
#ifndef Q_OS_UNIX
    QSKIP("Windows has no per-process file size limit to make a save fail part way");
#else
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
    QString error;
    {
        FileSizeLimit limit(64);
        QVERIFY(!writeConfigurationDocument(path, documentWith(settings), &error));
    }
    QVERIFY(!error.isEmpty());
    QCOMPARE(readAll(path), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
        QStringList { QStringLiteral("hearth.xml") });
#endif
}

void TestConfigFile::writeCreatesMissingDirectory()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config/vela/hearth.xml"));
    QVERIFY(writeConfigurationDocument(path, documentWith(Settings(defaultServerName()))));
    QVERIFY(readAll(path).startsWith("<hearth>"));
}

// A save by root must not take a user's file from them.
void TestConfigFile::replacedFileKeepsOwnerAndMode()
{
#ifndef Q_OS_UNIX
    QSKIP("no owner or mode to keep on Windows: a replaced file takes the folder's inherited ACL");
#else
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hearth.xml"));
    writeBytes(path, "<hearth/>");
    const bool root = ::geteuid() == 0;
    if (root)
        QVERIFY(::chown(QFile::encodeName(path).constData(), 65534, 65534) == 0);
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0640) == 0);

    QVERIFY(writeConfigurationDocument(path, documentWith(Settings(defaultServerName()))));
    struct stat info = {};
    QVERIFY(::stat(QFile::encodeName(path).constData(), &info) == 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0640));
    if (!root)
        QSKIP("the owner is only kept by root");
    QCOMPARE(info.st_uid, uid_t(65534));
    QCOMPARE(info.st_gid, gid_t(65534));
#endif
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
        << QStringLiteral("A\tB") << QStringLiteral("*.a\t*.b") << QStringLiteral("A\tB")
        << QStringLiteral("*.a\t*.b");
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

void TestConfigFile::documentAsTheDomParserBuildsIt_data()
{
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("as written") << QByteArray("<hearth>\n    <settings>\n        <server "
                                              "name=\"A &amp; B\"/>\n        <extensions>\n"
                                              "            <video>*.avi *.mp4</video>\n"
                                              "            <audio></audio>\n        </extensions>\n"
                                              "    </settings>\n    <video_tree>\n        <dir "
                                              "name=\"x\">\n            <file name=\"a\" "
                                              "path=\"/m/a\"/>\n        </dir>\n    </video_tree>\n"
                                              "</hearth>\n");
    QTest::newRow("blank text dropped, other text kept")
        << QByteArray("<r><v>  </v><w> a </w><x>a<!--c--> <![CDATA[  ]]>b</x></r>");
    QTest::newRow("entities and character references") << QByteArray(
        "<!DOCTYPE r [<!ENTITY me \"Ann\">]><r a=\"&lt;&#x41;&quot;\">&me;&#233;</r>");
    QTest::newRow("declaration, byte order mark, prefixes")
        << QByteArray("\xef\xbb\xbf<?xml version=\"1.0\" encoding=\"UTF-8\"?><?pi x?>"
                      "<a:r xmlns:a=\"urn:x\" a:b=\"1\"><a:s/></a:r>");
    QTest::newRow("attribute white space normalised")
        << QByteArray("<r a=\"x\ny\tz\" b=\"&#10;\"/>");
    QTest::newRow("declared Latin-1")
        << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r a=\"Caf\xe9\">\xfc</r>");
}

// Loading must not change what a well-formed file gives: the document holds what the
// toolkit's own parser would make of it.
void TestConfigFile::documentAsTheDomParserBuildsIt()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hearth.xml"));
    writeBytes(path, content);

    QDomDocument expected;
    QVERIFY(bool(expected.setContent(content)));
    const ConfigurationRead read = readConfiguration(path);
    QVERIFY2(read.problem.isEmpty(), qPrintable(read.problem));
    QCOMPARE(dump(read.document), dump(expected));
}

// Unknown elements nested without end must cost nothing: building them into the document
// took time quadratic in the depth, and freeing it a recursion as deep.
void TestConfigFile::deepNestingIsLeftOut()
{
    const int depth = 100000;
    QByteArray content = "<hearth><video_tree><dir name=\"Kept\"/></video_tree>";
    content += QByteArray("<x>").repeated(depth) + QByteArray("</x>").repeated(depth);
    content += "<settings><server name=\"After\"/></settings></hearth>";
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hearth.xml"));
    writeBytes(path, content);

    const ConfigurationRead read = readConfiguration(path);
    QVERIFY2(read.problem.isEmpty(), qPrintable(read.problem));
    // The root, then the nesting as deep as it was built.
    int levels = 1;
    const QDomElement root = read.document.documentElement();
    for (QDomNode node = root.firstChildElement(QStringLiteral("x")); !node.isNull();
         node = node.firstChild())
        ++levels;
    QCOMPARE(levels, 256);
    Settings settings(defaultServerName());
    settings.loadXml(read.document);
    QCOMPARE(settings.serverName(), QStringLiteral("After"));
    QCOMPARE(read.document.documentElement()
                 .firstChildElement(QStringLiteral("video_tree"))
                 .firstChildElement()
                 .attribute(QStringLiteral("name")),
        QStringLiteral("Kept"));
}

QTEST_MAIN(TestConfigFile)
#include "tst_configfile.moc"
