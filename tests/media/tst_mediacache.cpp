#include "media/mediacache.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const MediaStamp stamp { 4000000, 1700000000123 };

MediaDetails song(const QString &title, const QByteArray &thumbnail = {})
{
    MediaDetails details;
    details.container = QStringLiteral("mp3");
    details.durationMs = 215000;
    details.bitrate = 320000;
    StreamDetails audio;
    audio.kind = StreamDetails::Kind::Audio;
    audio.index = 0;
    audio.codec = QStringLiteral("mp3");
    audio.channels = 2;
    audio.sampleRate = 44100;
    audio.bitrate = 320000;
    audio.language = QStringLiteral("eng");
    audio.isDefault = true;
    StreamDetails cover;
    cover.kind = StreamDetails::Kind::Video;
    cover.index = 1;
    cover.codec = QStringLiteral("mjpeg");
    cover.width = 500;
    cover.height = 500;
    cover.frameRate = 90000.0 / 1001;
    cover.pixelFormat = QStringLiteral("yuvj420p");
    cover.level = -99;
    cover.profile = QStringLiteral("Baseline");
    cover.title = QStringLiteral("Front");
    cover.bitsPerSample = 8;
    cover.attachedPicture = true;
    details.streams = { audio, cover };
    details.title = title;
    details.artist = QStringLiteral("Ané Brun");
    details.albumArtist = QStringLiteral("Various");
    details.album = QStringLiteral("Songs 1");
    details.genre = QStringLiteral("Folk");
    details.composer = QStringLiteral("Brun");
    details.date = QStringLiteral("2019-04-12");
    details.track = 3;
    details.disc = 2;
    details.taken = QStringLiteral("2021:07:14 18:02:33");
    details.orientation = 6;
    details.thumbnail = thumbnail;
    return details;
}

QString file(int i)
{
    return QStringLiteral("/music/track %1.mp3").arg(i);
}

} // namespace

class tst_MediaCache : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void survivesRestart_data();
    void survivesRestart();
    void damagedFileIsSetAside_data();
    void damagedFileIsSetAside();
    void unwritableFolderKeepsDetailsForTheRun();
    void secondCacheOnTheSameFolderLeavesItAlone();
    void boundEvictsLeastRecentlyUsed_data();
    void boundEvictsLeastRecentlyUsed();
    void compactionKeepsLiveRecords();
    void loadsInStepsKeepingWhatIsStoredMeanwhile();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString cacheFile() const { return dir->filePath(QStringLiteral("details.cache")); }
};

void tst_MediaCache::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void tst_MediaCache::survivesRestart_data()
{
    QTest::addColumn<bool>("gaveUp");
    QTest::addColumn<qint64>("sizeChange");
    QTest::addColumn<qint64>("timeChange");
    QTest::addColumn<MediaCache::State>("expected");

    QTest::newRow("hit") << false << qint64(0) << qint64(0) << MediaCache::State::Known;
    QTest::newRow("size changed") << false << qint64(1) << qint64(0) << MediaCache::State::Unknown;
    QTest::newRow("time changed") << false << qint64(0) << qint64(1) << MediaCache::State::Unknown;
    QTest::newRow("gave up") << true << qint64(0) << qint64(0) << MediaCache::State::GaveUp;
    QTest::newRow("gave up, then changed")
        << true << qint64(0) << qint64(-2000) << MediaCache::State::Unknown;
}

void tst_MediaCache::survivesRestart()
{
    QFETCH(bool, gaveUp);
    QFETCH(qint64, sizeChange);
    QFETCH(qint64, timeChange);
    QFETCH(MediaCache::State, expected);

    const QByteArray jpeg = QByteArray("\xff\xd8 a small cover \xff\xd9", 19);
    const MediaDetails details = song(QStringLiteral("Hjärtat"), jpeg);
    {
        MediaCache cache(dir->path());
        cache.finishLoading();
        if (gaveUp)
            cache.storeGaveUp(file(1), stamp);
        else
            cache.store(file(1), stamp, details);
        cache.store(file(2), stamp, song(QStringLiteral("Other")));
        // Known before it is written, too.
        QCOMPARE(cache.lookUp(file(1), stamp).state,
            gaveUp ? MediaCache::State::GaveUp : MediaCache::State::Known);
    }
    MediaCache cache(dir->path());
    cache.finishLoading();
    QCOMPARE(cache.count(), 2);
    const MediaStamp now { stamp.size + sizeChange, stamp.modified + timeChange };
    const MediaCache::Answer answer = cache.lookUp(file(1), now);
    QCOMPARE(answer.state, expected);
    if (expected == MediaCache::State::Known) {
        MediaDetails withoutThumbnail = details;
        withoutThumbnail.thumbnail.clear();
        QCOMPARE(answer.details, withoutThumbnail);
        QVERIFY(answer.hasThumbnail);
        QCOMPARE(cache.thumbnail(file(1), now), jpeg);
    } else {
        QVERIFY(cache.thumbnail(file(1), now).isEmpty());
    }
}

void tst_MediaCache::damagedFileIsSetAside_data()
{
    QTest::addColumn<QByteArray>("damage");
    QTest::addColumn<int>("recordsLeft");
    QTest::addColumn<bool>("setAside");

    // Two records are written first; "cut" rows keep that many bytes of the file.
    QTest::newRow("cut inside the second record") << QByteArray("cut+40") << 1 << false;
    QTest::newRow("cut inside a frame") << QByteArray("cut+5") << 1 << false;
    QTest::newRow("second record's bytes flipped") << QByteArray("flip") << 1 << false;
    QTest::newRow("header only") << QByteArray("cut=12") << 0 << false;
    QTest::newRow("cut inside the header") << QByteArray("cut=5") << 0 << true;
    QTest::newRow("empty") << QByteArray("cut=0") << 0 << true;
    QTest::newRow("garbage") << QByteArray("garbage") << 0 << true;
    QTest::newRow("another program's SQLite file") << QByteArray("sqlite") << 0 << true;
    QTest::newRow("another version") << QByteArray("version") << 0 << true;
    QTest::newRow("a folder where the file goes") << QByteArray("folder") << 0 << true;
}

void tst_MediaCache::damagedFileIsSetAside()
{
    QFETCH(QByteArray, damage);
    QFETCH(int, recordsLeft);
    QFETCH(bool, setAside);

    qint64 firstRecordEnd = 0;
    {
        MediaCache cache(dir->path());
        cache.finishLoading();
        cache.store(file(1), stamp, song(QStringLiteral("One"), "JPEG"));
        cache.flush();
        firstRecordEnd = QFileInfo(cacheFile()).size();
        cache.store(file(2), stamp, song(QStringLiteral("Two"), "JPEG"));
    }
    QFile disk(cacheFile());
    QVERIFY(disk.open(QIODevice::ReadWrite));
    QByteArray bytes = disk.readAll();
    if (damage.startsWith("cut=")) {
        bytes.truncate(damage.mid(4).toInt());
    } else if (damage.startsWith("cut")) {
        bytes.truncate(firstRecordEnd + damage.mid(3).toInt());
    } else if (damage == "flip") {
        bytes[firstRecordEnd + 30] = char(bytes[firstRecordEnd + 30] ^ 0x55);
    } else if (damage == "garbage") {
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char((i * 7919) >> 3);
    } else if (damage == "sqlite") {
        bytes = QByteArray("SQLite format 3\0", 16) + QByteArray(4080, '\0');
    } else if (damage == "version") {
        bytes[11] = char(bytes[11] + 1);
    }
    disk.resize(0);
    disk.write(bytes);
    disk.close();
    if (damage == "folder") {
        QVERIFY(disk.remove());
        QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("details.cache")));
    }

    {
        MediaCache cache(dir->path());
        cache.finishLoading();
        QCOMPARE(cache.count(), recordsLeft);
        QCOMPARE(QFileInfo::exists(cacheFile() + QStringLiteral(".broken")), setAside);
        if (recordsLeft > 0)
            QCOMPARE(cache.thumbnail(file(1), stamp), QByteArray("JPEG"));
        // What comes now is kept, as in a new cache.
        cache.store(file(3), stamp, song(QStringLiteral("Three"), "JPEG3"));
    }
    MediaCache cache(dir->path());
    cache.finishLoading();
    QCOMPARE(cache.count(), recordsLeft + 1);
    QCOMPARE(cache.lookUp(file(3), stamp).details.title, QStringLiteral("Three"));
    QCOMPARE(cache.thumbnail(file(3), stamp), QByteArray("JPEG3"));
}

void tst_MediaCache::unwritableFolderKeepsDetailsForTheRun()
{
    // A file where the folder should be: nothing can be made there (whoever runs the test).
    const QString blocked = dir->filePath(QStringLiteral("blocked"));
    QFile blocker(blocked);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    MediaCache cache(blocked + QStringLiteral("/media"));
    cache.store(file(1), stamp, song(QStringLiteral("One"), "JPEG"));
    cache.storeGaveUp(file(2), stamp);
    cache.flush();
    QCOMPARE(cache.lookUp(file(1), stamp).details.title, QStringLiteral("One"));
    QCOMPARE(cache.lookUp(file(2), stamp).state, MediaCache::State::GaveUp);
    // Thumbnails are only kept on disk.
    QVERIFY(!cache.lookUp(file(1), stamp).hasThumbnail);
    QCOMPARE(cache.thumbnailBytes(), 0);
}

void tst_MediaCache::secondCacheOnTheSameFolderLeavesItAlone()
{
    {
        MediaCache first(dir->path());
        first.store(file(1), stamp, song(QStringLiteral("One")));
        first.flush();
        {
            // As a second hearth started by the same user would: it works for its run only.
            QTest::ignoreMessage(
                QtWarningMsg, QRegularExpression(QStringLiteral("cannot be written")));
            MediaCache second(dir->path());
            second.finishLoading();
            QCOMPARE(second.count(), 0);
            second.store(file(2), stamp, song(QStringLiteral("Two")));
            QCOMPARE(second.lookUp(file(2), stamp).state, MediaCache::State::Known);
        }
        first.store(file(3), stamp, song(QStringLiteral("Three")));
    }
    MediaCache cache(dir->path());
    cache.finishLoading();
    QCOMPARE(cache.count(), 2);
    QCOMPARE(cache.lookUp(file(3), stamp).details.title, QStringLiteral("Three"));
}

void tst_MediaCache::boundEvictsLeastRecentlyUsed_data()
{
    QTest::addColumn<int>("records");
    QTest::addColumn<qint64>("thumbnailBytes");

    QTest::newRow("records") << 10 << (qint64(1) << 30);
    // Ten thumbnails of 100 bytes.
    QTest::newRow("thumbnail bytes") << 1000 << qint64(1000);
}

void tst_MediaCache::boundEvictsLeastRecentlyUsed()
{
    QFETCH(int, records);
    QFETCH(qint64, thumbnailBytes);
    MediaCacheLimits limits;
    limits.records = records;
    limits.thumbnailBytes = thumbnailBytes;
    // Each file its own picture, 100 bytes.
    const auto thumb = [](int i) { return QByteArray::number(i).leftJustified(100, 'j'); };

    {
        MediaCache cache(dir->path(), limits);
        cache.finishLoading();
        for (int i = 0; i < 30; ++i) {
            cache.store(file(i), stamp, song(QString::number(i), thumb(i)));
            // The first file is looked at all along: it stays.
            QCOMPARE(cache.lookUp(file(0), stamp).state, MediaCache::State::Known);
            QVERIFY(cache.count() <= 10);
            QVERIFY(cache.thumbnailBytes() <= thumbnailBytes);
        }
        QCOMPARE(cache.lookUp(file(29), stamp).state, MediaCache::State::Known);
        QCOMPARE(cache.lookUp(file(1), stamp).state, MediaCache::State::Unknown);
        QCOMPARE(cache.lookUp(file(28), stamp).state, MediaCache::State::Known);
    }
    // The bound holds after a restart, with the same records.
    MediaCache cache(dir->path(), limits);
    cache.finishLoading();
    QVERIFY(cache.count() <= 10);
    QCOMPARE(cache.lookUp(file(0), stamp).state, MediaCache::State::Known);
    QCOMPARE(cache.lookUp(file(29), stamp).state, MediaCache::State::Known);
    QCOMPARE(cache.thumbnail(file(29), stamp), thumb(29));
}

void tst_MediaCache::compactionKeepsLiveRecords()
{
    {
        MediaCache cache(dir->path());
        cache.finishLoading();
        for (int round = 0; round < 5; ++round) {
            for (int i = 0; i < 20; ++i)
                cache.store(
                    file(i), stamp, song(QString::number(round), QByteArray(500, 'a' + round)));
            cache.flush();
        }
        // The twenty files share one picture, kept once.
        QCOMPARE(cache.thumbnailBytes(), 500);
        const qint64 before = QFileInfo(cacheFile()).size();
        cache.compact();
        QVERIFY2(QFileInfo(cacheFile()).size() * 4 < before,
            qPrintable(QString::number(QFileInfo(cacheFile()).size())));
        // Read from the new file at once, and what comes after it goes to its end.
        QCOMPARE(cache.thumbnail(file(7), stamp), QByteArray(500, 'e'));
        cache.store(file(20), stamp, song(QStringLiteral("new"), "JPEG"));
    }
    MediaCache cache(dir->path());
    cache.finishLoading();
    QCOMPARE(cache.count(), 21);
    QCOMPARE(cache.lookUp(file(7), stamp).details.title, QStringLiteral("4"));
    QCOMPARE(cache.thumbnail(file(7), stamp), QByteArray(500, 'e'));
    QCOMPARE(cache.thumbnail(file(20), stamp), QByteArray("JPEG"));
    QCOMPARE(cache.thumbnailBytes(), 504);
}

void tst_MediaCache::loadsInStepsKeepingWhatIsStoredMeanwhile()
{
    constexpr int records = 12000;
    {
        MediaCache cache(dir->path());
        for (int i = 0; i < records; ++i)
            cache.store(file(i), stamp, song(QString::number(i), "JPEG"));
    }
    {
        MediaCache cache(dir->path());
        QSignalSpy loaded(&cache, &MediaCache::loaded);
        QVERIFY(!cache.isLoaded());
        // Newer than the file's record, which the load reads after this.
        cache.store(file(records - 1), stamp, song(QStringLiteral("newer"), "JPEG2"));
        QVERIFY(loaded.wait());
        QVERIFY(cache.isLoaded());
        QCOMPARE(cache.count(), records);
        QCOMPARE(cache.lookUp(file(records - 1), stamp).details.title, QStringLiteral("newer"));
        QCOMPARE(cache.thumbnail(file(records - 1), stamp), QByteArray("JPEG2"));
        QCOMPARE(cache.thumbnail(file(0), stamp), QByteArray("JPEG"));
    }
    MediaCache again(dir->path());
    again.finishLoading();
    QCOMPARE(again.lookUp(file(records - 1), stamp).details.title, QStringLiteral("newer"));
    QCOMPARE(again.thumbnailBytes(), 9);
}

QTEST_GUILESS_MAIN(tst_MediaCache)
#include "tst_mediacache.moc"
