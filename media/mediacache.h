#pragma once

#include "media/mediadetails.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

class QLockFile;

// What a file looked like when it was read: details are used only while the file keeps both.
struct MediaStamp
{
    qint64 size = -1;
    // Milliseconds since the epoch, UTC.
    qint64 modified = 0;

    // The file's stamp now; size -1 when it cannot be asked (gone, not a file).
    static MediaStamp of(const QString &path);
    bool isValid() const { return size >= 0; }
    bool operator==(const MediaStamp &other) const
    {
        return size == other.size && modified == other.modified;
    }
    bool operator!=(const MediaStamp &other) const { return !(*this == other); }
};

// How much a MediaCache keeps; past either bound the least recently used records go.
struct MediaCacheLimits
{
    int records = 200000;
    qint64 thumbnailBytes = qint64(256) << 20;
};

// What the probe learned about files, kept between runs in one file of the cache folder and
// found again by path while the file keeps its size and modification time. Never the truth
// about which files exist: a record is only looked at for a file a live folder listed.
//
// The file is read when the cache is made, a few thousand records a turn of the event loop.
// Everything lives in memory in a compact form except the thumbnails, which are read from the
// file when asked for; a picture that several files carry is stored once. New records are appended
// to the file in batches, a second or so after they come; every record carries a checksum, so a run
// that ended mid-write loses only its last batch. A file that is no cache of ours, of another
// version, or unreadable is set aside (renamed with ".broken") and a new one begun; where nothing
// can be written the cache still works, in memory, for this run.
//
// Bounded: past `records` records or `thumbnailBytes` of thumbnails the least recently used
// records go; the file is rewritten without them (and without replaced records) once they
// take a good part of it.
class MediaCache : public QObject
{
    Q_OBJECT

public:
    using Limits = MediaCacheLimits;
    enum class State {
        Unknown,
        Known,
        // The probe gave up on this file (it took too long): not read again until it changes.
        GaveUp,
    };
    Q_ENUM(State)
    struct Answer
    {
        State state = State::Unknown;
        // Without the thumbnail (see thumbnail()).
        MediaDetails details;
        bool hasThumbnail = false;
    };

    // `folder`: where the cache file lives; empty for "media" in the user's cache folder. The
    // file is read in steps from the event loop (see isLoaded()); until then lookUp() knows
    // only part of it.
    explicit MediaCache(
        const QString &folder = {}, const Limits &limits = Limits(), QObject *parent = nullptr);
    // Writes what is still pending.
    ~MediaCache() override;

    static QString defaultFolder();

    bool isLoaded() const { return !loading; }
    // Reads the rest of the file now (tests, tools, quitting).
    void finishLoading();
    QString fileName() const { return path; }

    // What is known of `file` while it has `stamp`; a hit counts as a use.
    Answer lookUp(const QString &file, const MediaStamp &stamp);
    // The thumbnail's JPEG bytes, empty when there is none (or it no longer reads whole).
    QByteArray thumbnail(const QString &file, const MediaStamp &stamp);

    void store(const QString &file, const MediaStamp &stamp, const MediaDetails &details);
    void storeGaveUp(const QString &file, const MediaStamp &stamp);

    // Every known record, in no order, without thumbnails (for views built from the library).
    void forEach(const std::function<void(const QString &file, const MediaDetails &)> &visit) const;

    int count() const { return int(entries.size()); }
    qint64 thumbnailBytes() const { return thumbBytes; }
    // Writes pending records now (otherwise they go out a second or so after they come).
    void flush();
    // Rewrites the file with only the live records.
    void compact();

signals:
    // The whole file has been read.
    void loaded();

private:
    struct Entry
    {
        MediaStamp stamp;
        // Use order: larger is more recent.
        quint64 used = 0;
        // DetailsRecord; empty when the probe gave up.
        QByteArray details;
        // The key of its thumbnail in `thumbs`; 0 for none.
        quint64 thumb = 0;
        // The bytes of its record in the file (0 until written).
        quint32 recordBytes = 0;
        bool gaveUp = false;
        // Not yet in the file.
        bool pending = false;
    };
    // A thumbnail, stored once for all the files that carry the same picture (the songs of
    // an album share their cover).
    struct Thumb
    {
        // Where its bytes start in the file; -1 while they wait in `pendingThumbnails`.
        qint64 offset = -1;
        quint32 length = 0;
        quint32 checksum = 0;
        quint32 recordBytes = 0;
        int refs = 0;
    };

    // The file being read: so many records a turn of the event loop that players hardly
    // notice (a few milliseconds), 100,000 records in a fraction of a second all told.
    static constexpr int recordsPerStep = 5000;
    struct Loading
    {
        uchar *map = nullptr;
        qint64 size = 0;
        qint64 at = 0;
        quint64 order = 0;
    };

    void open();
    bool load();
    void loadStep();
    // False when `count` records were read and more remain; -1 reads all.
    bool loadRecords(int count);
    void setAside(const QString &why);
    void startFile();
    void put(const QByteArray &file, Entry entry);
    quint64 addThumbnail(const QByteArray &jpeg);
    void release(quint64 thumb);
    void evictOverLimits();
    void drop(QHash<QByteArray, Entry>::iterator it);
    static QByteArray detailsRecord(const QByteArray &file, const Entry &entry);
    static QByteArray thumbnailRecord(quint64 key, const QByteArray &jpeg);
    QByteArray readThumbnail(const Thumb &thumb);
    void failWrites(const QString &why);

    QString folder;
    QString path;
    Limits limits;
    // By path in UTF-8: half the memory of the path's QString, for every record.
    QHash<QByteArray, Entry> entries;
    QHash<quint64, Thumb> thumbs;
    // Records not yet in the file, oldest first (a file may be listed again, or gone since).
    QList<QByteArray> pendingFiles;
    QHash<quint64, QByteArray> pendingThumbnails;
    qint64 thumbBytes = 0;
    quint64 useClock = 0;
    // Bytes in the file that belong to no live record.
    qint64 deadBytes = 0;
    qint64 fileBytes = 0;
    QFile file;
    std::unique_ptr<QLockFile> lock;
    std::unique_ptr<Loading> loading;
    bool writable = false;
    QTimer flushTimer;
};
