#include "library/entryinfo.h"
#include "net/answers.h"
#include "net/requestparser.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace RequestParser;

Q_DECLARE_METATYPE(RequestParser::Kind)

class TestRequestParser : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void incomplete_data();
    void incomplete();
    void splitRequestPath_data();
    void splitRequestPath();
    void range_data();
    void range();
    void byteCount_data();
    void byteCount();
    void sizeAnswer_data();
    void sizeAnswer();
    void listingLine_data();
    void listingLine();
};

void TestRequestParser::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<RequestParser::Kind>("kind");
    QTest::addColumn<int>("variant"); // ACTION only, else 0
    QTest::addColumn<QString>("mediaWord");
    QTest::addColumn<QString>("libraryPath");
    QTest::addColumn<int>("consumed");

    const QString list = QStringLiteral("LIST VIDEO |Films|\r\n\r\n");
    const QString video = QStringLiteral("VIDEO");
    const QString audio = QStringLiteral("AUDIO");
    auto row = [](const char *name, const QString &text, Kind kind, int variant,
                   const QString &word, const QString &path, qsizetype consumed) {
        QTest::addRow("%s", name) << text << kind << variant << word << path << int(consumed);
    };

    // LIST: word 1 and the text between the first two bars, untrimmed.
    row("list", list, Kind::List, 0, video, QStringLiteral("Films"), list.size());
    row("list followed by size", list + QStringLiteral("SIZE /VIDEO/a.avi|\r\n\r\n"), Kind::List, 0,
        video, QStringLiteral("Films"), list.size());
    // Without a terminator the request takes the rest of the text: from its fourth character
    // on, no request could start there anyway.
    row("list without terminator", QStringLiteral("LIST VIDEO |Films|"), Kind::List, 0, video,
        QStringLiteral("Films"), 18);
    row("list top level", QStringLiteral("LIST AUDIO ||\r\n\r\n"), Kind::List, 0, audio, QString(),
        17);
    row("list keeps blanks", QStringLiteral("LIST AUDIO | a b |\r\n\r\n"), Kind::List, 0, audio,
        QStringLiteral(" a b "), 22);
    row("list two spaces", QStringLiteral("LIST  AUDIO |x|\r\n\r\n"), Kind::List, 0, QString(),
        QStringLiteral("x"), 19);
    row("list cut after first bar", QStringLiteral("LIST AUDIO |"), Kind::List, 0, audio, QString(),
        12);
    row("list no word", QStringLiteral("LIST"), Kind::List, 0, QString(), QString(), 4);

    // ACTION 1: between the second and third bars, trimmed; ends at the third bar.
    row("action 1", QStringLiteral("ACTION 1 |x| /VIDEO/a b.avi |LIST"), Kind::Action, 1, video,
        QStringLiteral("a b.avi"), 29);
    row("action 1 without third bar", QStringLiteral("ACTION 1 |x|/VIDEO/a.avi"), Kind::Action, 1,
        video, QStringLiteral("a.avi"), 24);
    row("action 1 one bar", QStringLiteral("ACTION 1 |x"), Kind::Action, 1, QString(), QString(),
        11);
    // ACTION 2: word 2 to the end, one final bar removed; what follows the bar stays.
    row("action 2", QStringLiteral("ACTION 2 /VIDEO/a b.avi|"), Kind::Action, 2, video,
        QStringLiteral("a b.avi"), 24);
    row("action 2 trailing text", QStringLiteral("ACTION 2 /VIDEO/a.avi|SIZE"), Kind::Action, 2,
        video, QStringLiteral("a.avi|SIZE"), 22);
    row("action 2 without bar", QStringLiteral("ACTION 2 /VIDEO/a.avi"), Kind::Action, 2, video,
        QStringLiteral("a.avi"), 21);
    row("action 2 no path", QStringLiteral("ACTION 2"), Kind::Action, 2, QString(), QString(), 8);
    row("action 2 two bars", QStringLiteral("ACTION 2 /a||"), Kind::Action, 2, QStringLiteral("a|"),
        QStringLiteral("/a|"), 12);

    // SIZE from character 5, GET from character 4, up to the first bar.
    row("size", QStringLiteral("SIZE /PICTURE/Trip/beach.jpg|\r\n\r\nGET"), Kind::Size, 0,
        QStringLiteral("PICTURE"), QStringLiteral("Trip/beach.jpg"), 33);
    row("size no bar", QStringLiteral("SIZE /AUDIO/a.mp3"), Kind::Size, 0, audio,
        QStringLiteral("a.mp3"), 17);
    row("size bar too early", QStringLiteral("SIZE|/a|"), Kind::Size, 0, QString(), QString(), 5);
    row("size short", QStringLiteral("SIZE"), Kind::Size, 0, QString(), QString(), 4);
    row("get", QStringLiteral("GET /VIDEO/a.avi| 0 0 |\r\n\r\n"), Kind::Get, 0, video,
        QStringLiteral("a.avi"), 27);
    row("get without terminator", QStringLiteral("GET /VIDEO/a.avi| 0 0 |"), Kind::Get, 0, video,
        QStringLiteral("a.avi"), 23);
    row("get path with blank", QStringLiteral("GET  x|"), Kind::Get, 0, QStringLiteral(" x"),
        QStringLiteral(" x"), 7);
    row("keyword alone", QStringLiteral("GET"), Kind::Get, 0, QString(), QString(), 3);

    // A request ends at its last bar; blanks and line ends around it, any number, are taken.
    row("two gets run together", QStringLiteral("GET /VIDEO/a| 0 10 |GET /VIDEO/a| 10 10 |"),
        Kind::Get, 0, video, QStringLiteral("a"), 20);
    row("line feed between", QStringLiteral("LIST VIDEO |Films|\nSIZE /a|"), Kind::List, 0, video,
        QStringLiteral("Films"), 19);
    row("three line ends between", QStringLiteral("SIZE /VIDEO/a|\r\n\r\n\r\nSIZE /b|"),
        Kind::Size, 0, video, QStringLiteral("a"), 20);
    row("space between", QStringLiteral("SIZE /VIDEO/a| SIZE /b|"), Kind::Size, 0, video,
        QStringLiteral("a"), 15);
    row("line end before", QStringLiteral("\r\nSIZE /VIDEO/a|"), Kind::Size, 0, video,
        QStringLiteral("a"), 16);
    row("leading space", QStringLiteral(" GET /a| 0 0 |\r\n\r\n"), Kind::Get, 0, QStringLiteral("a"),
        QStringLiteral("/a"), 18);
    // Other text before the terminator goes with the request, as the terminator does.
    row("text before terminator", QStringLiteral("SIZE /VIDEO/a| x\r\n\r\nGET"), Kind::Size, 0,
        video, QStringLiteral("a"), 20);
    row("separators alone", QStringLiteral("\r\n \t"), Kind::None, 0, QString(), QString(), 4);

    // No request: nothing consumed.
    row("lower case", QStringLiteral("list VIDEO ||\r\n\r\n"), Kind::None, 0, QString(), QString(),
        0);
    row("other action", QStringLiteral("ACTION 3 |x|y|"), Kind::None, 0, QString(), QString(), 0);
    row("empty", QString(), Kind::None, 0, QString(), QString(), 0);
}

void TestRequestParser::parse()
{
    QFETCH(QString, text);
    QFETCH(RequestParser::Kind, kind);
    QFETCH(int, variant);
    QFETCH(QString, mediaWord);
    QFETCH(QString, libraryPath);
    QFETCH(int, consumed);
    const ParseResult result = parseRequest(text);
    QCOMPARE(result.request.kind, kind);
    if (kind == Kind::Action)
        QCOMPARE(int(result.request.variant), variant);
    QCOMPARE(result.request.path.mediaWord, mediaWord);
    QCOMPARE(result.request.path.libraryPath, libraryPath);
    QCOMPARE(result.consumed, qsizetype(consumed));
}

void TestRequestParser::incomplete_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("incomplete");

    const auto row = [](const char *text, bool incomplete) {
        QTest::addRow("%s", QByteArray(text).replace("\r", "\\r").replace("\n", "\\n").constData())
            << QString::fromLatin1(text) << incomplete;
    };
    // Cut inside a keyword; a word that can no longer become one is not a request at all.
    row("LIS", true);
    row("ACTION ", true);
    row("GE", true);
    row("ACTION 3", false);
    row("get", false);
    row("", false);
    row("\r\nLIS", true);
    row("\r\n", false);
    // Until the bars each request needs are there.
    row("LIST AUDIO |", true);
    row("LIST AUDIO |a|", false);
    row("SIZE /a", true);
    row("SIZE /a|", false);
    row("GET /a| 100 ", true);
    row("GET /a| 100 10 |", false);
    row("ACTION 1 |x|/a", true);
    row("ACTION 1 |x|/a|", false);
    row("ACTION 2 /a", true);
    row("ACTION 2 /a|", false);
    // Answered at once when cut inside the terminator.
    row("LIST AUDIO |a|\r\n", false);
    row("GET /a| 0 0 |\r\n\r", false);
    row("LIST AUDIO |a|\r\n\r\n", false);
    // Only the first request counts.
    row("LIST AUDIO |a|\r\n\r\nSIZE /b", false);
}

void TestRequestParser::incomplete()
{
    QFETCH(QString, text);
    QFETCH(bool, incomplete);
    QCOMPARE(parseRequest(text).incomplete, incomplete);
}

void TestRequestParser::splitRequestPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("mediaWord");
    QTest::addColumn<QString>("libraryPath");
    QTest::addColumn<int>("mediaType");
    QTest::addColumn<bool>("converted");

    QTest::addRow("leading slash")
        << QStringLiteral("/VIDEO/Films/Holiday/clip.avi") << QStringLiteral("VIDEO")
        << QStringLiteral("Films/Holiday/clip.avi") << 1 << false;
    QTest::addRow("no leading slash")
        << QStringLiteral("VIDEO/Films/clip.avi") << QStringLiteral("VIDEO")
        << QStringLiteral("Films/clip.avi") << 1 << false;
    QTest::addRow("audio top") << QStringLiteral("/AUDIO/song.mp3") << QStringLiteral("AUDIO")
                               << QStringLiteral("song.mp3") << 2 << false;
    QTest::addRow("picture") << QStringLiteral("/PICTURE/a.jpg") << QStringLiteral("PICTURE")
                             << QStringLiteral("a.jpg") << 3 << true;
    QTest::addRow("picture without slash")
        << QStringLiteral("PICTURE/a.jpg") << QStringLiteral("PICTURE") << QStringLiteral("a.jpg")
        << 3 << false;
    QTest::addRow("word only") << QStringLiteral("/VIDEO") << QStringLiteral("VIDEO")
                               << QStringLiteral("/VIDEO") << 1 << false;
    QTest::addRow("lower case word") << QStringLiteral("/video/a.avi") << QStringLiteral("video")
                                     << QStringLiteral("a.avi") << 0 << false;
    QTest::addRow("plural word") << QStringLiteral("/PICTURES/a.jpg") << QStringLiteral("PICTURES")
                                 << QStringLiteral("a.jpg") << 0 << true;
    QTest::addRow("empty") << QString() << QString() << QString() << 0 << false;
    QTest::addRow("slash only") << QStringLiteral("/") << QString() << QStringLiteral("/") << 0
                                << false;
}

void TestRequestParser::splitRequestPath()
{
    QFETCH(QString, path);
    QFETCH(QString, mediaWord);
    QFETCH(QString, libraryPath);
    QFETCH(int, mediaType);
    QFETCH(bool, converted);
    const RequestPath parts = RequestParser::splitRequestPath(path);
    QCOMPARE(parts.mediaWord, mediaWord);
    QCOMPARE(parts.libraryPath, libraryPath);
    QCOMPARE(mediaTypeFor(parts.mediaWord), mediaType);
    QCOMPARE(parts.convertPicture, converted);
}

void TestRequestParser::range_data()
{
    QTest::addColumn<QString>("rest");
    QTest::addColumn<quint64>("offset");
    QTest::addColumn<quint64>("length");

    QTest::addRow("whole") << QStringLiteral("GET /a| 0 0 |\r\n\r\n") << 0ull << 0ull;
    QTest::addRow("range") << QStringLiteral("GET /a| 100 10 |\r\n\r\n") << 100ull << 10ull;
    QTest::addRow("bar glued to length")
        << QStringLiteral("GET /a| 100 10|\r\n\r\n") << 100ull << 0ull;
    QTest::addRow("no leading space") << QStringLiteral("GET /a|0 10|\r\n\r\n") << 0ull << 0ull;
    QTest::addRow("beyond 4 GiB") << QStringLiteral("GET /a| 5000000000 65536 |") << 5000000000ull
                                  << 65536ull;
    QTest::addRow("largest") << QStringLiteral("GET /a| 18446744073709551615 1 |")
                             << 18446744073709551615ull << 1ull;
    QTest::addRow("overflow") << QStringLiteral("GET /a| 18446744073709551616 1 |") << 0ull << 1ull;
    QTest::addRow("sign") << QStringLiteral("GET /a| +5 -3 |") << 0ull << 0ull;
    QTest::addRow("hex") << QStringLiteral("GET /a| 0x10 1e3 |") << 0ull << 0ull;
    QTest::addRow("double space") << QStringLiteral("GET /a|  5 6 |") << 0ull << 5ull;
    QTest::addRow("no bar") << QStringLiteral("GET /a 5 6") << 0ull << 0ull;
    QTest::addRow("no closing bar") << QStringLiteral("GET /a| 5 6") << 5ull << 6ull;
    QTest::addRow("terminator in word") << QStringLiteral("GET /a| 5 6\r\n\r\n") << 5ull << 0ull;
    QTest::addRow("bars in path region") << QStringLiteral("GET /a| 7 8 | 9 10 |") << 7ull << 8ull;
}

void TestRequestParser::range()
{
    QFETCH(QString, rest);
    QFETCH(quint64, offset);
    QFETCH(quint64, length);
    const Range r = parseRequest(rest).request.range;
    QCOMPARE(r.offset, offset);
    QCOMPARE(r.length, length);
}

void TestRequestParser::byteCount_data()
{
    QTest::addColumn<quint64>("offset");
    QTest::addColumn<quint64>("length");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<quint64>("count");

    QTest::addRow("whole") << 0ull << 0ull << qint64(1000) << 1000ull;
    QTest::addRow("tail") << 100ull << 0ull << qint64(1000) << 900ull;
    QTest::addRow("at end") << 1000ull << 0ull << qint64(1000) << 0ull;
    QTest::addRow("beyond end") << 5000ull << 0ull << qint64(1000) << 0ull;
    QTest::addRow("explicit length wins") << 5000ull << 10ull << qint64(1000) << 10ull;
    QTest::addRow("empty source") << 0ull << 0ull << qint64(0) << 0ull;
    QTest::addRow("large file") << 1ull << 0ull << qint64(6000000000) << 5999999999ull;
}

void TestRequestParser::byteCount()
{
    QFETCH(quint64, offset);
    QFETCH(quint64, length);
    QFETCH(qint64, size);
    QFETCH(quint64, count);
    QCOMPARE(Answers::byteCount(Range { offset, length }, size), count);
}

void TestRequestParser::sizeAnswer_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("answer");
    QTest::addRow("zero") << qint64(0) << QByteArrayLiteral("000000000000000");
    QTest::addRow("small") << qint64(1234) << QByteArrayLiteral("000000000001234");
    QTest::addRow("beyond 32 bits") << qint64(6000000000) << QByteArrayLiteral("000006000000000");
    QTest::addRow("negative") << qint64(-1) << QByteArrayLiteral("000000000000000");
}

void TestRequestParser::sizeAnswer()
{
    QFETCH(qint64, size);
    QFETCH(QByteArray, answer);
    QCOMPARE(Answers::size(size), answer);
}

void TestRequestParser::listingLine_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("libraryPath");
    QTest::addColumn<QString>("mediaWord");
    QTest::addColumn<QByteArray>("line");

    QTest::addRow("file in folder")
        << QStringLiteral("file") << QStringLiteral("Films/Holiday") << QStringLiteral("VIDEO")
        << QByteArrayLiteral("clip.avi| /VIDEO/Films/Holiday/clip.avi|0|\n");
    QTest::addRow("file at top") << QStringLiteral("file") << QString() << QStringLiteral("AUDIO")
                                 << QByteArrayLiteral("clip.avi| /AUDIO/clip.avi|0|\n");
    QTest::addRow("disk folder") << QStringLiteral("dir") << QStringLiteral("Films")
                                 << QStringLiteral("VIDEO")
                                 << QByteArrayLiteral("Holiday| Holiday|1|\n");
    QTest::addRow("virtual folder")
        << QStringLiteral("virtual") << QString() << QStringLiteral("VIDEO")
        << QByteArrayLiteral("Mix| Mix|1|\n");
    QTest::addRow("gone file") << QStringLiteral("gone") << QString() << QStringLiteral("VIDEO")
                               << QByteArray();
    // A name or path that would break the line is left out, not sent garbled.
    QTest::addRow("line feed in name")
        << QStringLiteral("feed") << QString() << QStringLiteral("VIDEO") << QByteArray();
    QTest::addRow("bar in name") << QStringLiteral("bar") << QString() << QStringLiteral("VIDEO")
                                 << QByteArray();
    QTest::addRow("line feed in path") << QStringLiteral("file") << QStringLiteral("a\nEOL")
                                       << QStringLiteral("VIDEO") << QByteArray();
    QTest::addRow("outside latin-1")
        << QStringLiteral("greek") << QStringLiteral("\u00e9t\u00e9") << QStringLiteral("AUDIO")
        << QByteArrayLiteral("?mega.mp3| /AUDIO/\xe9t\xe9/?mega.mp3|0|\n");
}

void TestRequestParser::listingLine()
{
    QFETCH(QString, kind);
    QFETCH(QString, libraryPath);
    QFETCH(QString, mediaWord);
    QFETCH(QByteArray, line);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto makeFile = [&](const QString &name) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x");
    };
    makeFile(QStringLiteral("clip.avi"));
#ifdef Q_OS_WIN
    if (kind == QLatin1String("feed"))
        QSKIP("Windows file names cannot hold a line feed");
#else
    makeFile(QStringLiteral("a\nEOL\nb.avi"));
#endif
    makeFile(QStringLiteral("\u03a9mega.mp3"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Holiday")));

    EntryInfo entry;
    if (kind == QLatin1String("file"))
        entry = EntryInfo(QFileInfo(dir.filePath(QStringLiteral("clip.avi"))), QString());
    else if (kind == QLatin1String("dir"))
        entry = EntryInfo(QFileInfo(dir.filePath(QStringLiteral("Holiday"))), QString());
    else if (kind == QLatin1String("virtual"))
        entry = EntryInfo(QStringLiteral("Mix"), true);
    else if (kind == QLatin1String("feed"))
        entry = EntryInfo(QFileInfo(dir.filePath(QStringLiteral("a\nEOL\nb.avi"))), QString());
    else if (kind == QLatin1String("bar"))
        entry = EntryInfo(QStringLiteral("Mix|1|\nfake"), true);
    else if (kind == QLatin1String("gone"))
        entry = EntryInfo(QFileInfo(dir.filePath(QStringLiteral("gone.avi"))), QString());
    else
        entry = EntryInfo(QFileInfo(dir.filePath(QStringLiteral("\u03a9mega.mp3"))), QString());
    QCOMPARE(Answers::listingLine(entry, libraryPath, mediaWord), line);
}

QTEST_GUILESS_MAIN(TestRequestParser)
#include "tst_requestparser.moc"
