// Fills a media cache with tagged songs as the probe would report them, then times what a
// start with that cache costs: loading the file, one pass over every record (what the music
// views are built from) and the look-ups of one large Browse; and the memory each adds.

#include "media/mediacache.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>
#include <memory>

#include <unistd.h>

namespace {

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE) : 0;
}

double mib(qint64 bytes)
{
    return double(bytes) / (1 << 20);
}

QString path(int i)
{
    return QStringLiteral("/home/someone/Music/Artist %1/Album %2/%3 - Title of song %4.mp3")
        .arg(i / 1000)
        .arg(i / 10)
        .arg(i % 10 + 1, 2, 10, QLatin1Char('0'))
        .arg(i);
}

MediaDetails song(int i, const QByteArray &cover)
{
    MediaDetails details;
    details.container = QStringLiteral("mp3");
    details.durationMs = 180000 + i % 120000;
    details.bitrate = 320000;
    StreamDetails audio;
    audio.kind = StreamDetails::Kind::Audio;
    audio.index = 0;
    audio.codec = QStringLiteral("mp3");
    audio.channels = 2;
    audio.sampleRate = 44100;
    audio.bitrate = 320000;
    StreamDetails picture;
    picture.kind = StreamDetails::Kind::Video;
    picture.index = 1;
    picture.codec = QStringLiteral("mjpeg");
    picture.width = 500;
    picture.height = 500;
    picture.pixelFormat = QStringLiteral("yuvj420p");
    picture.attachedPicture = true;
    details.streams = { audio, picture };
    details.title = QStringLiteral("Title of song %1").arg(i);
    details.artist = QStringLiteral("Artist %1").arg(i / 1000);
    details.albumArtist = details.artist;
    details.album = QStringLiteral("Album %1").arg(i / 10);
    details.genre = QStringLiteral("Rock");
    details.date = QStringLiteral("2019");
    details.track = i % 10 + 1;
    details.disc = 1;
    details.thumbnail = cover;
    return details;
}

// Loads the cache in `folder` in a process that has done nothing else, so the memory it adds
// is its own; prints one table row.
int measureLoad(const QString &folder, int records, int songsPerCover, qint64 writeMs)
{
    const qint64 fileBytes = QFileInfo(folder + QStringLiteral("/details.cache")).size();
    const qint64 before = residentBytes();
    QElapsedTimer clock;
    clock.start();
    const std::clock_t cpuStart = std::clock();
    auto cache = std::make_unique<MediaCache>(folder);
    // The server reads it in steps between other work; all at once here.
    cache->finishLoading();
    const qint64 loadMs = clock.elapsed();
    // The machine may be shared: what the load itself took of the processor.
    const qint64 loadCpuMs = qint64(std::clock() - cpuStart) * 1000 / CLOCKS_PER_SEC;
    const qint64 loaded = residentBytes();

    clock.restart();
    qint64 seconds = 0;
    int visited = 0;
    cache->forEach([&](const QString &, const MediaDetails &details) {
        seconds += details.durationMs / 1000;
        ++visited;
    });
    const qint64 passMs = clock.elapsed();

    clock.restart();
    int known = 0;
    const int browse = qMin(records, 2000);
    for (int i = 0; i < browse; ++i) {
        const MediaCache::Answer answer
            = cache->lookUp(path(i), MediaStamp { 5000000 + i, 1700000000000 + i });
        known += answer.state == MediaCache::State::Known ? 1 : 0;
    }
    const qint64 browseUs = clock.nsecsElapsed() / 1000;
    clock.restart();
    qint64 thumbBytes = 0;
    for (int i = 0; i < browse; ++i)
        thumbBytes
            += cache->thumbnail(path(i), MediaStamp { 5000000 + i, 1700000000000 + i }).size();
    const qint64 thumbUs = clock.nsecsElapsed() / 1000;

    std::printf(
        "| records | songs a cover | kept | file MiB | thumbnails MiB | write s | load ms "
        "| load CPU ms | pass ms | %d look-ups ms | %d thumbnails ms | memory added MiB |\n",
        browse, browse);
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    std::printf("| %d | %d | %d | %.1f | %.1f | %.2f | %lld | %lld | %lld | %.1f | %.1f | %.1f |\n",
        records, songsPerCover, cache->count(), mib(fileBytes), mib(cache->thumbnailBytes()),
        writeMs / 1000.0, loadMs, loadCpuMs, passMs, browseUs / 1000.0, thumbUs / 1000.0,
        mib(loaded - before));
    return visited == cache->count() && known > 0 && seconds > 0
            && (thumbBytes > 0 || songsPerCover == 0)
        ? 0
        : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int records = 100000;
    int covers = 10000;
    QString loadFolder;
    qint64 writeMs = 0;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--records"))
            records = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--covers"))
            covers = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--load"))
            loadFolder = args.at(i + 1);
        else if (args.at(i) == QLatin1String("--write-ms"))
            writeMs = args.at(i + 1).toLongLong();
    }
    // A cover of about 8 KiB (a 160-pixel JPEG) per album, shared by its songs.
    const int songsPerCover = covers > 0 ? qMax(1, records / covers) : 0;
    if (!loadFolder.isEmpty())
        return measureLoad(loadFolder, records, songsPerCover, writeMs);

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    QElapsedTimer clock;
    clock.start();
    {
        MediaCache cache(dir.path());
        for (int i = 0; i < records; ++i) {
            QByteArray cover;
            if (songsPerCover > 0) {
                cover = QByteArray::number(i / songsPerCover);
                cover += QByteArray(8000, char(i / songsPerCover));
            }
            cache.store(path(i), MediaStamp { 5000000 + i, 1700000000000 + i }, song(i, cover));
            // As the probe's answers come, the flush timer writes about this often.
            if (i % 1000 == 999)
                cache.flush();
        }
    }
    writeMs = clock.elapsed();
    QProcess load;
    load.setProcessChannelMode(QProcess::ForwardedChannels);
    load.start(app.applicationFilePath(),
        { QStringLiteral("--records"), QString::number(records), QStringLiteral("--covers"),
            QString::number(covers), QStringLiteral("--load"), dir.path(),
            QStringLiteral("--write-ms"), QString::number(writeMs) });
    load.waitForFinished(-1);
    return load.exitCode();
}
