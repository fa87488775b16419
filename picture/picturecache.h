#pragma once

#include "picture/pictureformat.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <vector>

// What a file looked like when it was converted: a file replaced on disk is converted anew.
struct FileStamp
{
    qint64 size = -1;
    QDateTime modified;

    bool operator==(const FileStamp &other) const
    {
        return size == other.size && modified == other.modified;
    }
    bool operator!=(const FileStamp &other) const { return !(*this == other); }
};

// One answer, found again by the path exactly as it was asked for while the file keeps its
// size and modification time. A failed conversion is remembered too, with empty bytes.
struct CachedPicture
{
    QByteArray jpeg;
    QString path;
    FileStamp stamp;
};

// Converts pictures for the television described by the format and keeps the last 20
// answers. Conversions run on worker threads (at most one per core); the cache itself, its
// answers and setFormat() belong to the thread it was made on (the main thread).
//
// An answer is the JPEG bytes, or empty (null) bytes when the file cannot be converted: it
// cannot be read as a picture, its headers promise more than one conversion may cost, or the
// result cannot be encoded. A successful conversion is never empty, so an empty answer means:
// serve the file's own bytes, unconverted. Failures are remembered like successes, so a
// broken file is not decoded again on every request; a file whose size or modification time
// changed is converted again.
class PictureCache : public QObject
{
    Q_OBJECT

public:
    static constexpr int capacity = 20;

    using Answer = std::function<void(const QByteArray &jpeg)>;

    // `records`: how many answers are kept (a thumbnail cache keeps more, smaller ones);
    // `threads`: conversions at once, 0 for one per core (a second cache takes fewer, so
    // the memory that conversions may take stays near cores x one conversion).
    explicit PictureCache(const PictureFormat &format, int records = capacity, int threads = 0);
    // Returns at once: a running conversion is told to stop and ends within milliseconds;
    // answers still pending are dropped.
    ~PictureCache() override;

    // Asks for the picture at `path`. `done` runs exactly once on the cache's thread, always
    // from its event loop and never inside this call, also when the answer is already cached
    // or the file is missing. It does not run when `context` (an object of the cache's thread)
    // has been destroyed by then, nor when the cache is destroyed before a conversion ends.
    // Requests for the same file while it converts share the one conversion. A conversion
    // whose every requester is gone is stopped.
    void requestPicture(const QString &path, QObject *context, Answer done);
    // The same for a file the caller has opened (`fd`, the C runtime's on Windows, stays the
    // caller's): it is read through a copy of the descriptor, never by its path, and its size
    // and modification time come from the descriptor; `path` only names the answer in the
    // cache. The caller leaves the descriptor alone until `done` runs.
    void requestPicture(const QString &path, int fd, QObject *context, Answer done);

    // The same answer, converted on the calling thread (the cache's) when it is not cached.
    QByteArray convertedPicture(const QString &path);

    const PictureFormat &format() const { return pictureFormat; }
    // Records held, failures included.
    int cachedCount() const { return int(cache.size()); }

public slots:
    // Always empties the cache, even when nothing changed. Conversions already running still
    // answer their requesters, in the format they were asked in, but are not cached.
    void setFormat(const PictureFormat &format);

private:
    struct Waiter
    {
        QPointer<QObject> context;
        Answer done;
        QMetaObject::Connection watch; // context destroyed -> maybe stop the conversion
    };
    struct Conversion
    {
        quint64 id = 0;
        QString path;
        FileStamp stamp;
        quint64 generation = 0;
        std::shared_ptr<std::atomic<bool>> stop;
        std::vector<Waiter> waiters;
    };
    // Where workers deliver results; the cache unhooks itself before it goes, so a worker
    // that finishes late posts to nobody.
    struct Mailbox;

    const CachedPicture *lookUp(const QString &path, const FileStamp &stamp);
    void remember(const QString &path, const FileStamp &stamp, const QByteArray &jpeg);
    class DescriptorCopy;
    void startConversion(Conversion &conversion, std::shared_ptr<DescriptorCopy> source);
    void conversionFinished(quint64 id, const QByteArray &jpeg);
    void requesterGone(quint64 id, const QObject *gone);

    PictureFormat pictureFormat;
    int records = capacity;
    // Bumped by setFormat: a conversion of an earlier generation is not cached.
    quint64 generation = 0;
    quint64 lastId = 0;
    // Oldest first; a hit does not move a record.
    std::deque<CachedPicture> cache;
    std::list<Conversion> running;
    std::shared_ptr<Mailbox> mailbox;
    QThreadPool workers;
};
