// The crawler over a real library view with a live folder: the first pass finds every file a
// listing shows, the next ones what came, changed and went on disk in between.
#include "media/musiccrawler.h"

#include "library/treewidget.h"
#include "tests/library/fakeprompts.h"
#include "tests/library/libraryfixture.h"

#include <QDomDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace LibraryFixture;

class TestMusicCrawler : public QObject
{
    Q_OBJECT

private slots:
    void followsTheDisk();
};

namespace {

// What one pass reported, each list sorted: "found path", "changed path", "gone path".
QStringList passOf(MusicCrawler &crawler, bool start)
{
    QStringList seen;
    QObject context;
    QObject::connect(&crawler, &MusicCrawler::found, &context,
        [&seen](const QString &path, const QString &diskPath) {
            seen.append(QStringLiteral("found ") + path);
            if (!diskPath.endsWith(path.section(QLatin1Char('/'), 1)))
                seen.append(QStringLiteral("wrong disk path ") + diskPath);
        });
    QObject::connect(&crawler, &MusicCrawler::changed, &context,
        [&seen](const QString &path) { seen.append(QStringLiteral("changed ") + path); });
    QObject::connect(&crawler, &MusicCrawler::gone, &context,
        [&seen](const QString &path) { seen.append(QStringLiteral("gone ") + path); });
    QSignalSpy finished(&crawler, &MusicCrawler::passFinished);
    if (start)
        crawler.crawlNow();
    if (!finished.wait(10000))
        seen.append(QStringLiteral("no end"));
    seen.sort();
    return seen;
}

} // namespace

void TestMusicCrawler::followsTheDisk()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString music = temp.filePath(QStringLiteral("Music"));
    for (const char *name :
        { "A/1.mp3", "A/B/2.flac", "A/B/C/3.MP3", "A/cover.jpg", ".hidden/4.mp3", "D/5.flac" })
        QVERIFY(writeFile(music + QLatin1Char('/') + QLatin1String(name)));
#ifndef Q_OS_WIN
    QVERIFY(QFile::link(music + QStringLiteral("/A"), music + QStringLiteral("/D/linked")));
#endif
    FakePrompts prompts;
    TreeWidget view(
        QStringLiteral("Audio"), 2, QStringLiteral("*.mp3 *.flac"), QDomDocument(), prompts);
    QVERIFY(view.addPath(music, nullptr));

    MusicCrawler crawler(view);
    crawler.setInterval(std::chrono::hours(1));
    QCOMPARE(passOf(crawler, true),
        QStringList({ QStringLiteral("found Music/A/1.mp3"),
            QStringLiteral("found Music/A/B/2.flac"), QStringLiteral("found Music/A/B/C/3.MP3"),
            QStringLiteral("found Music/D/5.flac") }));
    QCOMPARE(crawler.fileCount(), 4);
    QVERIFY(!crawler.isCrawling());

    // Slices of about a millisecond: the pass goes on across many turns of the loop.
    crawler.setSliceTime(std::chrono::milliseconds(0));
    QVERIFY(writeFile(music + QStringLiteral("/A/B/new.mp3")));
    QVERIFY(QFile::remove(music + QStringLiteral("/A/B/C/3.MP3")));
    QVERIFY(writeFile(music + QStringLiteral("/A/1.mp3"), QByteArrayLiteral("longer")));
    QVERIFY(QDir(music + QStringLiteral("/D")).removeRecursively());
    QCOMPARE(passOf(crawler, true),
        QStringList(
            { QStringLiteral("changed Music/A/1.mp3"), QStringLiteral("found Music/A/B/new.mp3"),
                QStringLiteral("gone Music/A/B/C/3.MP3"), QStringLiteral("gone Music/D/5.flac") }));
    QCOMPARE(passOf(crawler, true), QStringList());
    QCOMPARE(crawler.fileCount(), 3);

    // The next pass starts by itself after the interval.
    crawler.setInterval(std::chrono::milliseconds(10));
    crawler.crawlNow();
    QCOMPARE(passOf(crawler, false), QStringList());
    QVERIFY(writeFile(music + QStringLiteral("/late.flac")));
    QCOMPARE(passOf(crawler, false), QStringList({ QStringLiteral("found Music/late.flac") }));

    // Stopped, it reports nothing more; started again, it goes on from what it knew.
    crawler.stop();
    QVERIFY(QFile::remove(music + QStringLiteral("/late.flac")));
    QSignalSpy gone(&crawler, &MusicCrawler::gone);
    QTest::qWait(50);
    QCOMPARE(gone.count(), 0);
    crawler.start();
    QTRY_COMPARE(gone.count(), 1);
}

QTEST_MAIN(TestMusicCrawler)
#include "tst_musiccrawler.moc"
