#pragma once

#include "media/detailssource.h"
#include "media/mediacache.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <list>

// What the DLNA door asks about media files: answers from the cache at once, and has the probe
// read what is not known, a file at a time, files a client waits for first. Lives on the event
// loop; never waits.
class MediaInfo : public QObject
{
    Q_OBJECT

public:
    enum class Status {
        // Read: the details are there.
        Known,
        // Queued or being read: the next look may know it.
        Pending,
        // No details will come while the file stays as it is (unreadable, given up, gone).
        None,
    };
    struct Answer
    {
        Status status = Status::None;
        // Without the thumbnail: ask thumbnail() for its bytes.
        MediaDetails details;
        bool hasThumbnail = false;
    };
    using Ready = std::function<void()>;

    // Files handed to the source at once: enough to keep it busy, few enough that a file a
    // client waits for does not queue behind many others.
    static constexpr int inFlightLimit = 2;

    // Neither is owned; both must outlive this.
    MediaInfo(MediaCache &cache, DetailsSource &source, QObject *parent = nullptr);

    // What is known of `path` now (one stat); an unknown file is queued for reading in the
    // background.
    Answer details(const QString &path);
    // The same for a file whose stamp the caller has just read.
    Answer details(const QString &path, const MediaStamp &stamp);
    QByteArray thumbnail(const QString &path);

    // Runs `ready` once every file of `paths` is known (or will not be), or `waitMs` after the
    // call, whichever comes first; always from the event loop, never inside this call; not
    // when `context` (if given) is gone by then. The files are read before background work, and go
    // on being read after the wait ends.
    void whenKnown(const QStringList &paths, int waitMs, QObject *context, Ready ready);

    // Counts what came to be known (and what turned out unreadable): an answer other than
    // Known given for a file holds only while this stays the same.
    quint64 generation() const { return answers; }

    // Files waiting to be read (not those being read).
    int queued() const { return int(urgent.size() + background.size()); }

signals:
    // A file's details came: read by the source, or found in the cache once it was loaded for
    // a file asked about before.
    void known(const QString &path, const MediaDetails &details);

private:
    struct Waiter
    {
        QSet<QString> waitingFor;
        QPointer<QObject> context;
        bool guarded = false;
        Ready ready;
        QTimer *timer = nullptr;
    };

    Status statusFor(const QString &path, const MediaStamp &stamp, Answer *answer);
    void enqueue(const QString &path, const MediaStamp &stamp, bool isUrgent);
    void pump();
    void cacheLoaded();
    void probed(const QString &path, const MediaDetails &details, DetailsSource::Outcome outcome);
    void settle(const QString &path);
    void finish(std::list<Waiter>::iterator waiter);

    MediaCache &cache;
    DetailsSource &source;
    // What each queued or running file looked like when it was asked for.
    QHash<QString, MediaStamp> wanted;
    // Files being read, with what they looked like when they were handed over.
    QHash<QString, MediaStamp> running;
    std::deque<QString> urgent;
    std::deque<QString> background;
    // Files the source could not read, for this run (they may be readable after a restart:
    // permissions, a file still being copied).
    QHash<QString, MediaStamp> unreadable;
    std::list<Waiter> waiters;
    bool pumpQueued = false;
    quint64 answers = 0;
};
