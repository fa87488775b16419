#pragma once

#include "media/musicindex.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class DirTreeInterface;
class MediaCache;
class MediaInfo;
class MusicCrawler;

// Keeps the music views and what Search can find up to date: each library is walked again and
// again in short slices, and every audio file found or changed is asked of MediaInfo; its
// tracks enter the index as their details become known (from the cache at once, else when the
// probe has read them), and leave it when the crawl no longer finds them. Nothing is stored:
// a restart fills the index again from the details cache, without reading the files.
class MusicLibrary final : public QObject
{
    Q_OBJECT

public:
    // The libraries in the order video, audio, pictures; all of them and both media objects
    // must outlive this. The walks begin once the cache is loaded.
    MusicLibrary(const QList<DirTreeInterface *> &libraries, MediaCache &cache, MediaInfo &info,
        QObject *parent = nullptr);
    ~MusicLibrary() override;

    // The library whose tracks the index holds, -1 when there is no audio library.
    int audioLibrary() const { return audio; }
    const MusicIndex &index() const { return music; }
    // The library paths of the files the walks of a library have seen so far, in no order.
    QStringList files(int library) const;
    // Changes whenever the index or a library's files change.
    quint64 generation() const { return changes; }

    // Walks only while active (DLNA clients are served): the probe need not read every song
    // for nobody. Active from the start; stopping keeps what is known.
    void setActive(bool active);

signals:
    // A walk of every library has ended (the first one: the views are as complete as the
    // cache allows).
    void passFinished();
    // What the views or Search would show changed since the last time this was said: said at
    // most once a pass, so clients that follow the system's update id look again without
    // being sent back to it for every song the probe reads.
    void changed();

private:
    void start();
    void look(const QString &path, const QString &diskPath);
    void enter(const QString &path, const MediaDetails &details);
    void gone(const QString &path);
    void known(const QString &diskPath, const MediaDetails &details);

    MediaInfo &info;
    std::vector<std::unique_ptr<MusicCrawler>> crawlers;
    int audio = -1;
    MusicIndex music;
    // Audio files whose details are being read: their disk path, and the library paths that
    // name them (a folder may be in the library twice).
    QHash<QString, QStringList> waiting;
    QHash<QString, QString> diskPathOf;
    quint64 changes = 0;
    quint64 announced = 0;
    int passesLeft = 0;
    bool active = true;
    bool cacheReady = false;
};
