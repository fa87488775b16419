#include "media/musiclibrary.h"

#include "library/dirtreeinterface.h"
#include "media/mediacache.h"
#include "media/mediainfo.h"
#include "media/musiccrawler.h"

MusicLibrary::MusicLibrary(
    const QList<DirTreeInterface *> &libraries, MediaCache &cache, MediaInfo &info, QObject *parent)
    : QObject(parent)
    , info(info)
{
    for (int i = 0; i < libraries.size(); ++i) {
        auto crawler = std::make_unique<MusicCrawler>(*libraries.at(i));
        const bool isAudio = audio < 0 && libraries.at(i)->mediaType() == AudioMedia;
        if (isAudio) {
            audio = i;
            connect(crawler.get(), &MusicCrawler::found, this, &MusicLibrary::look);
            connect(crawler.get(), &MusicCrawler::changed, this, &MusicLibrary::look);
            connect(crawler.get(), &MusicCrawler::gone, this, &MusicLibrary::gone);
        } else {
            connect(crawler.get(), &MusicCrawler::found, this, [this] { ++changes; });
            connect(crawler.get(), &MusicCrawler::gone, this, [this] { ++changes; });
        }
        connect(crawler.get(), &MusicCrawler::passFinished, this, [this] {
            if (changes != announced) {
                announced = changes;
                emit changed();
            }
            if (passesLeft > 0 && --passesLeft == 0)
                emit passFinished();
        });
        crawlers.push_back(std::move(crawler));
    }
    connect(&info, &MediaInfo::known, this, &MusicLibrary::known);
    // What the cache knows fills the views without reading a file: the walks wait for it.
    const auto ready = [this] {
        cacheReady = true;
        start();
    };
    if (cache.isLoaded())
        QMetaObject::invokeMethod(this, ready, Qt::QueuedConnection);
    else
        connect(&cache, &MediaCache::loaded, this, ready);
}

MusicLibrary::~MusicLibrary() = default;

QStringList MusicLibrary::files(int library) const
{
    if (library < 0 || std::size_t(library) >= crawlers.size())
        return {};
    return crawlers[std::size_t(library)]->files();
}

void MusicLibrary::setActive(bool on)
{
    active = on;
    if (on) {
        start();
        return;
    }
    passesLeft = 0;
    for (const auto &crawler : crawlers)
        crawler->stop();
}

void MusicLibrary::start()
{
    if (!active || !cacheReady || passesLeft > 0 || crawlers.empty()
        || crawlers.front()->isCrawling()) {
        return;
    }
    passesLeft = int(crawlers.size());
    // The walks share the loop's turns; each slice stays within a few milliseconds, the
    // lookups made for the files it meets included.
    for (const auto &crawler : crawlers)
        crawler->start();
}

void MusicLibrary::look(const QString &path, const QString &diskPath)
{
    ++changes;
    // One stat and a look in the cache; an unknown file is queued for the probe, behind
    // whatever clients wait for.
    const MediaInfo::Answer answer = info.details(diskPath);
    if (answer.status == MediaInfo::Status::Known) {
        enter(path, answer.details);
        return;
    }
    if (answer.status == MediaInfo::Status::Pending) {
        QStringList &paths = waiting[diskPath];
        if (!paths.contains(path))
            paths.append(path);
        diskPathOf.insert(path, diskPath);
    }
}

void MusicLibrary::enter(const QString &path, const MediaDetails &details)
{
    // A picture or a film under a song's name is no track.
    if (details.firstStream(StreamDetails::Kind::Audio))
        music.insert(path, details);
    else
        music.remove(path);
}

void MusicLibrary::gone(const QString &path)
{
    ++changes;
    music.remove(path);
    const QString diskPath = diskPathOf.take(path);
    if (diskPath.isEmpty())
        return;
    const auto it = waiting.find(diskPath);
    if (it != waiting.end() && (it->removeAll(path), it->isEmpty()))
        waiting.erase(it);
}

void MusicLibrary::known(const QString &diskPath, const MediaDetails &details)
{
    const QStringList paths = waiting.take(diskPath);
    for (const QString &path : paths) {
        diskPathOf.remove(path);
        enter(path, details);
        ++changes;
    }
}
