#include "library/entryinfo.h"
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
    void kindAndConsumed_data();
    void kindAndConsumed();
    void requestPaths_data();
    void requestPaths();
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

void TestRequestParser::kindAndConsumed_data()
{
    QTest::addColumn<QString>("rest");
    QTest::addColumn<RequestParser::Kind>("kind");
    QTest::addColumn<int>("consumed");

    const QString list = QStringLiteral("LIST VIDEO |Films|\r\n\r\n");
    QTest::addRow("list") << list << Kind::List << int(list.size());
    QTest::addRow("list followed by size")
        << list + QStringLiteral("SIZE /VIDEO/a.avi|\r\n\r\n") << Kind::List << int(list.size());
    QTest::addRow("list without terminator")
        << QStringLiteral("LIST VIDEO |Films|") << Kind::List << 3;
    QTest::addRow("size") << QStringLiteral("SIZE /VIDEO/a.avi|\r\n\r\nGET") << Kind::Size << 22;
    QTest::addRow("get") << QStringLiteral("GET /VIDEO/a.avi| 0 0 |\r\n\r\n") << Kind::Get << 27;
    QTest::addRow("get without terminator")
        << QStringLiteral("GET /VIDEO/a.avi| 0 0 |") << Kind::Get << 3;
    QTest::addRow("action 1 ends at third bar")
        << QStringLiteral("ACTION 1 |x|/VIDEO/a.avi|LIST") << Kind::Action1 << 25;
    QTest::addRow("action 1 without third bar")
        << QStringLiteral("ACTION 1 |x|/VIDEO/a.avi") << Kind::Action1 << 24;
    QTest::addRow("action 2 ends at first bar")
        << QStringLiteral("ACTION 2 /VIDEO/a.avi|SIZE") << Kind::Action2 << 22;
    QTest::addRow("action 2 without bar")
        << QStringLiteral("ACTION 2 /VIDEO/a.avi") << Kind::Action2 << 21;
    QTest::addRow("lower case") << QStringLiteral("list VIDEO ||\r\n\r\n") << Kind::None << 0;
    QTest::addRow("other action") << QStringLiteral("ACTION 3 |x|y|") << Kind::None << 0;
    QTest::addRow("leading space") << QStringLiteral(" GET /a| 0 0 |\r\n\r\n") << Kind::None << 0;
    QTest::addRow("empty") << QString() << Kind::None << 0;
    QTest::addRow("keyword alone") << QStringLiteral("GET") << Kind::Get << 3;
}

void TestRequestParser::kindAndConsumed()
{
    QFETCH(QString, rest);
    QFETCH(RequestParser::Kind, kind);
    QFETCH(int, consumed);
    QCOMPARE(kindOf(rest), kind);
    QCOMPARE(consumedCount(kind, rest), consumed);
}

void TestRequestParser::requestPaths_data()
{
    QTest::addColumn<QString>("rest");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("mediaWord");

    // LIST: word 1 and the text between the first two bars, untrimmed.
    QTest::addRow("list") << QStringLiteral("LIST AUDIO |Rock/Live|\r\n\r\n")
                          << QStringLiteral("Rock/Live") << QStringLiteral("AUDIO");
    QTest::addRow("list top level")
        << QStringLiteral("LIST AUDIO ||\r\n\r\n") << QString() << QStringLiteral("AUDIO");
    QTest::addRow("list keeps blanks") << QStringLiteral("LIST AUDIO | a b |\r\n\r\n")
                                       << QStringLiteral(" a b ") << QStringLiteral("AUDIO");
    QTest::addRow("list two spaces")
        << QStringLiteral("LIST  AUDIO |x|\r\n\r\n") << QStringLiteral("x") << QString();
    QTest::addRow("list cut after first bar")
        << QStringLiteral("LIST AUDIO |") << QString() << QStringLiteral("AUDIO");
    QTest::addRow("list no word") << QStringLiteral("LIST") << QString() << QString();
    // ACTION 1: between the second and third bars, trimmed.
    QTest::addRow("action 1") << QStringLiteral("ACTION 1 |x| /VIDEO/a b.avi |")
                              << QStringLiteral("/VIDEO/a b.avi") << QString();
    QTest::addRow("action 1 one bar") << QStringLiteral("ACTION 1 |x") << QString() << QString();
    // ACTION 2: word 2 to the end, one final bar removed; what follows the bar stays.
    QTest::addRow("action 2") << QStringLiteral("ACTION 2 /VIDEO/a b.avi|")
                              << QStringLiteral("/VIDEO/a b.avi") << QString();
    QTest::addRow("action 2 trailing text") << QStringLiteral("ACTION 2 /VIDEO/a.avi|xy")
                                            << QStringLiteral("/VIDEO/a.avi|xy") << QString();
    QTest::addRow("action 2 no path") << QStringLiteral("ACTION 2") << QString() << QString();
    QTest::addRow("action 2 two bars")
        << QStringLiteral("ACTION 2 /a||") << QStringLiteral("/a|") << QString();
    // SIZE from character 5, GET from character 4, up to the first bar.
    QTest::addRow("size") << QStringLiteral("SIZE /PICTURE/Trip/beach.jpg|\r\n\r\n")
                          << QStringLiteral("/PICTURE/Trip/beach.jpg") << QString();
    QTest::addRow("size no bar") << QStringLiteral("SIZE /AUDIO/a.mp3")
                                 << QStringLiteral("/AUDIO/a.mp3") << QString();
    QTest::addRow("size bar too early") << QStringLiteral("SIZE|/a|") << QString() << QString();
    QTest::addRow("size short") << QStringLiteral("SIZE") << QString() << QString();
    QTest::addRow("get") << QStringLiteral("GET /VIDEO/a.avi| 0 0 |\r\n\r\n")
                         << QStringLiteral("/VIDEO/a.avi") << QString();
    QTest::addRow("get path with blank")
        << QStringLiteral("GET  x|") << QStringLiteral(" x") << QString();
}

void TestRequestParser::requestPaths()
{
    QFETCH(QString, rest);
    QFETCH(QString, path);
    QFETCH(QString, mediaWord);
    switch (kindOf(rest)) {
    case Kind::List:
        QCOMPARE(listLibraryPath(rest), path);
        QCOMPARE(listMediaWord(rest), mediaWord);
        break;
    case Kind::Action1:
        QCOMPARE(action1Path(rest), path);
        break;
    case Kind::Action2:
        QCOMPARE(action2Path(rest), path);
        break;
    case Kind::Size:
        QCOMPARE(sizePath(rest), path);
        break;
    case Kind::Get:
        QCOMPARE(getPath(rest), path);
        break;
    case Kind::None:
        QFAIL("not a request");
    }
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
    const PathParts parts = RequestParser::splitRequestPath(path);
    QCOMPARE(parts.mediaWord, mediaWord);
    QCOMPARE(parts.libraryPath, libraryPath);
    QCOMPARE(mediaTypeFor(parts.mediaWord), mediaType);
    QCOMPARE(wantsConvertedPicture(path), converted);
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
    const Range r = getRange(rest);
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
    QCOMPARE(RequestParser::byteCount(Range { offset, length }, size), count);
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
    QCOMPARE(RequestParser::sizeAnswer(size), answer);
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
    makeFile(QStringLiteral("\u03a9mega.mp3"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Holiday")));

    EntryInfo entry;
    if (kind == QLatin1String("file"))
        entry = EntryInfo(QFileInfo(dir.filePath(QStringLiteral("clip.avi"))), QString());
    else if (kind == QLatin1String("dir"))
        entry = EntryInfo(QFileInfo(dir.filePath(QStringLiteral("Holiday"))), QString());
    else if (kind == QLatin1String("virtual"))
        entry = EntryInfo(QStringLiteral("Mix"), true);
    else if (kind == QLatin1String("gone"))
        entry = EntryInfo(QFileInfo(dir.filePath(QStringLiteral("gone.avi"))), QString());
    else
        entry = EntryInfo(QFileInfo(dir.filePath(QStringLiteral("\u03a9mega.mp3"))), QString());
    QCOMPARE(RequestParser::listingLine(entry, libraryPath, mediaWord), line);
}

QTEST_GUILESS_MAIN(TestRequestParser)
#include "tst_requestparser.moc"
