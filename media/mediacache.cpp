#include "media/mediacache.h"

#include "media/detailsrecord.h"
#include "media/medialog.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <vector>

// The file: a header (magic, version), then records one after another, each
//   metaLength, metaChecksum, thumbLength, thumbChecksum  (4 x 32 bits, big-endian)
//   meta:  kind 1 (details) or 2 (gave up): path (UTF-8), size, modified, DetailsRecord,
//          thumbnail key (0 for none)
//          kind 3 (thumbnail): its key
//   thumb: the JPEG bytes of a thumbnail record; none for the others
// A thumbnail comes before the first record that names it. A later record for the same path
// replaces an earlier one. Reading stops at the first record that is cut short or does not
// match its checksum: that is where a run ended mid-write.

namespace {

const QByteArray magic = QByteArrayLiteral("HEARTHMC");
// Raise when the record's layout or what the probe reports changes: older files are set aside.
constexpr quint32 formatVersion = 1;
constexpr int headerBytes = 12;
constexpr int frameBytes = 16;
// Far above any real record (a path, tags, a 160-pixel JPEG): beyond is damage.
constexpr quint32 maxMetaBytes = 1 << 20;
constexpr quint32 maxThumbBytes = 4 << 20;
constexpr quint8 kindDetails = 1;
constexpr quint8 kindGaveUp = 2;
constexpr quint8 kindThumbnail = 3;
// Rewrite the file once this much of it belongs to no live record, and it is half of it.
constexpr qint64 compactAfterDeadBytes = qint64(8) << 20;
constexpr int flushDelayMs = 1000;

quint32 crc32(const char *data, qint64 size)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t {};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    quint32 crc = 0xFFFFFFFFu;
    for (qint64 i = 0; i < size; ++i)
        crc = table[(crc ^ quint8(data[i])) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

// Reads what QDataStream wrote into a record's meta, without the device and buffer a stream
// would make for each of a hundred thousand records.
class MetaReader
{
public:
    MetaReader(const char *data, quint32 size)
        : at(data)
        , end(data + size)
    { }
    quint8 byte() { return ok && end - at >= 1 ? quint8(*at++) : (ok = false, 0); }
    template<typename T> T number()
    {
        if (!ok || end - at < qint64(sizeof(T))) {
            ok = false;
            return 0;
        }
        const T value = qFromBigEndian<T>(at);
        at += sizeof(T);
        return value;
    }
    QByteArray bytes()
    {
        const quint32 size = number<quint32>();
        // QDataStream's mark for a null array.
        if (size == 0xFFFFFFFFu)
            return {};
        if (!ok || quint64(end - at) < size) {
            ok = false;
            return {};
        }
        const QByteArray value(at, qsizetype(size));
        at += size;
        return value;
    }
    bool ok = true;

private:
    const char *at;
    const char *end;
};

QByteArray header()
{
    QByteArray bytes = magic;
    bytes.resize(headerBytes);
    qToBigEndian(formatVersion, bytes.data() + magic.size());
    return bytes;
}

} // namespace

MediaStamp MediaStamp::of(const QString &path)
{
    const QFileInfo info(path);
    MediaStamp stamp;
    if (!info.isFile())
        return stamp;
    stamp.size = info.size();
    stamp.modified = info.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch();
    return stamp;
}

MediaCache::MediaCache(const QString &folderPath, const Limits &limits, QObject *parent)
    : QObject(parent)
    , folder(folderPath.isEmpty() ? defaultFolder() : folderPath)
    , path(QDir(folder).filePath(QStringLiteral("details.cache")))
    , limits(limits)
{
    flushTimer.setSingleShot(true);
    flushTimer.setInterval(flushDelayMs);
    connect(&flushTimer, &QTimer::timeout, this, &MediaCache::flush);
    open();
}

MediaCache::~MediaCache()
{
    finishLoading();
    flush();
    file.close();
}

QString MediaCache::defaultFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation))
        .filePath(QStringLiteral("media"));
}

void MediaCache::open()
{
    if (!QDir().mkpath(folder)) {
        failWrites(QStringLiteral("cannot make the folder"));
        return;
    }
    // A second hearth of the same user would append over this one's records.
    lock = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
    if (!lock->tryLock(0)) {
        failWrites(QStringLiteral("another program holds ") + lock->fileName());
        return;
    }
    file.setFileName(path);
    if (QFileInfo::exists(path)) {
        if (load())
            return;
    }
    startFile();
}

bool MediaCache::load()
{
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        // Perhaps only reading is refused us: then what is there cannot help, set it aside.
        setAside(file.errorString());
        return false;
    }
    const qint64 size = file.size();
    uchar *map = size > 0 ? file.map(0, size) : nullptr;
    if (!map || size < headerBytes
        || QByteArray(reinterpret_cast<const char *>(map), headerBytes) != header()) {
        if (map)
            file.unmap(map);
        file.close();
        setAside(QStringLiteral("not a media cache of this version"));
        return false;
    }
    // Records stored while the file is read are kept, and written once it is.
    writable = true;
    loading = std::make_unique<Loading>();
    loading->map = map;
    loading->size = size;
    loading->at = headerBytes;
    // About 200 bytes a record without its thumbnail.
    entries.reserve(qMin<qint64>(size / 200, limits.records));
    QMetaObject::invokeMethod(this, &MediaCache::loadStep, Qt::QueuedConnection);
    return true;
}

void MediaCache::loadStep()
{
    if (loading && !loadRecords(recordsPerStep))
        QMetaObject::invokeMethod(this, &MediaCache::loadStep, Qt::QueuedConnection);
}

void MediaCache::finishLoading()
{
    if (loading)
        loadRecords(-1);
}

bool MediaCache::loadRecords(int count)
{
    const char *data = reinterpret_cast<const char *>(loading->map);
    const qint64 size = loading->size;
    qint64 at = loading->at;
    quint64 &order = loading->order;
    for (;; --count) {
        if (count == 0) {
            loading->at = at;
            return false;
        }
        if (size - at < frameBytes)
            break;
        const quint32 metaLength = qFromBigEndian<quint32>(data + at);
        const quint32 metaChecksum = qFromBigEndian<quint32>(data + at + 4);
        const quint32 thumbLength = qFromBigEndian<quint32>(data + at + 8);
        const quint32 thumbChecksum = qFromBigEndian<quint32>(data + at + 12);
        if (metaLength > maxMetaBytes || thumbLength > maxThumbBytes
            || size - at - frameBytes < qint64(metaLength) + thumbLength)
            break;
        const char *meta = data + at + frameBytes;
        if (crc32(meta, metaLength) != metaChecksum)
            break;
        const quint32 recordBytes = frameBytes + metaLength + thumbLength;
        MetaReader in(meta, metaLength);
        const quint8 kind = in.byte();
        if (kind == kindThumbnail) {
            const quint64 key = in.number<quint64>();
            if (!in.ok || key == 0 || thumbLength == 0) {
                break;
            }
            Thumb thumb;
            thumb.offset = at + frameBytes + metaLength;
            thumb.length = thumbLength;
            thumb.checksum = thumbChecksum;
            thumb.recordBytes = recordBytes;
            const auto old = thumbs.constFind(key);
            if (old != thumbs.constEnd()) {
                deadBytes += old->recordBytes;
                thumb.refs = old->refs;
            }
            thumbs.insert(key, thumb);
            at += recordBytes;
            continue;
        }
        Entry entry;
        const QByteArray name = in.bytes();
        entry.stamp.size = in.number<qint64>();
        entry.stamp.modified = in.number<qint64>();
        entry.details = in.bytes();
        entry.thumb = in.number<quint64>();
        if (!in.ok || (kind != kindDetails && kind != kindGaveUp) || thumbLength != 0) {
            break;
        }
        entry.gaveUp = kind == kindGaveUp;
        entry.used = ++order;
        entry.recordBytes = recordBytes;
        const auto thumb = thumbs.find(entry.thumb);
        if (thumb != thumbs.end())
            ++thumb->refs;
        else
            entry.thumb = 0;
        const QByteArray &key = name;
        const auto old = entries.constFind(key);
        if (old != entries.constEnd() && old->pending) {
            // Stored during the load: newer than anything the file holds.
            if (entry.thumb)
                --thumbs[entry.thumb].refs;
            deadBytes += recordBytes;
            at += recordBytes;
            continue;
        }
        if (old != entries.constEnd()) {
            deadBytes += old->recordBytes;
            // Kept while unused: a later record may still name it.
            if (old->thumb)
                --thumbs[old->thumb].refs;
        }
        entries.insert(key, entry);
        at += recordBytes;
    }
    useClock = order;
    file.unmap(loading->map);
    loading.reset();
    thumbBytes = 0;
    for (auto it = thumbs.begin(); it != thumbs.end();) {
        if (it->refs > 0) {
            thumbBytes += it->length;
            ++it;
        } else {
            deadBytes += it->recordBytes;
            it = thumbs.erase(it);
        }
    }
    fileBytes = at;
    // What was stored during the load is the most recently used.
    for (const QByteArray &stored : std::as_const(pendingFiles)) {
        const auto it = entries.find(stored);
        if (it != entries.end())
            it->used = ++useClock;
    }
    if (at < size) {
        // The end of an interrupted write, or damage: keep what came before.
        qCInfo(lcMedia) << "media cache" << path << "ends in" << size - at
                        << "bytes that do not read as records; dropped";
        if (!file.resize(at)) {
            failWrites(file.errorString());
            emit loaded();
            return true;
        }
    }
    evictOverLimits();
    if (deadBytes > compactAfterDeadBytes && deadBytes * 2 > fileBytes)
        compact();
    else if (!pendingFiles.isEmpty())
        flushTimer.start();
    emit loaded();
    return true;
}

void MediaCache::setAside(const QString &why)
{
    const QString aside = path + QStringLiteral(".broken");
    qCWarning(lcMedia) << "media cache" << path << "set aside as" << aside << "(" << why << ")";
    QFile::remove(aside);
    if (!QFile::rename(path, aside) && !QFile::remove(path))
        qCWarning(lcMedia) << "media cache" << path << "cannot be moved away";
}

void MediaCache::startFile()
{
    entries.clear();
    thumbs.clear();
    thumbBytes = 0;
    deadBytes = 0;
    file.setFileName(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate | QIODevice::Unbuffered)
        || file.write(header()) != headerBytes) {
        file.close();
        failWrites(file.errorString());
        return;
    }
    fileBytes = headerBytes;
    writable = true;
}

void MediaCache::failWrites(const QString &why)
{
    qCWarning(lcMedia) << "media cache" << path << "cannot be written (" << why
                       << "); details are kept for this run only";
    writable = false;
    if (file.isOpen())
        file.close();
    // Thumbnails are read from the file, so none can be offered any more; keeping those that
    // wait to be written would only grow.
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        it->thumb = 0;
        it->pending = false;
    }
    thumbs.clear();
    thumbBytes = 0;
    pendingFiles.clear();
    pendingThumbnails.clear();
}

MediaCache::Answer MediaCache::lookUp(const QString &fileName, const MediaStamp &stamp)
{
    Answer answer;
    const auto it = entries.find(fileName.toUtf8());
    if (it == entries.end() || it->stamp != stamp)
        return answer;
    it->used = ++useClock;
    if (it->gaveUp) {
        answer.state = State::GaveUp;
        return answer;
    }
    if (!DetailsRecord::decode(it->details, &answer.details))
        return answer;
    answer.state = State::Known;
    answer.hasThumbnail = it->thumb != 0;
    return answer;
}

QByteArray MediaCache::thumbnail(const QString &fileName, const MediaStamp &stamp)
{
    const auto it = entries.constFind(fileName.toUtf8());
    if (it == entries.constEnd() || it->stamp != stamp || it->thumb == 0)
        return {};
    const Thumb &thumb = thumbs[it->thumb];
    if (thumb.offset < 0)
        return pendingThumbnails.value(it->thumb);
    return readThumbnail(thumb);
}

QByteArray MediaCache::readThumbnail(const Thumb &thumb)
{
    if (!file.isOpen() || !file.seek(thumb.offset))
        return {};
    const QByteArray bytes = file.read(thumb.length);
    if (bytes.size() != qint64(thumb.length)
        || crc32(bytes.constData(), bytes.size()) != thumb.checksum) {
        return {};
    }
    return bytes;
}

void MediaCache::store(
    const QString &fileName, const MediaStamp &stamp, const MediaDetails &details)
{
    Entry entry;
    entry.stamp = stamp;
    entry.details = DetailsRecord::encode(details);
    entry.thumb = addThumbnail(details.thumbnail);
    put(fileName.toUtf8(), entry);
}

void MediaCache::storeGaveUp(const QString &fileName, const MediaStamp &stamp)
{
    Entry entry;
    entry.stamp = stamp;
    entry.gaveUp = true;
    put(fileName.toUtf8(), entry);
}

quint64 MediaCache::addThumbnail(const QByteArray &jpeg)
{
    if (!writable || jpeg.isEmpty() || quint32(jpeg.size()) > maxThumbBytes)
        return 0;
    // 64 bits of a cryptographic hash: two different pictures will not meet in a cache of
    // this size.
    const QByteArray digest = QCryptographicHash::hash(jpeg, QCryptographicHash::Sha1);
    quint64 key = qFromBigEndian<quint64>(digest.constData());
    key = key ? key : 1;
    Thumb &thumb = thumbs[key];
    if (thumb.refs++ == 0) {
        thumb.length = quint32(jpeg.size());
        thumb.checksum = crc32(jpeg.constData(), jpeg.size());
        thumbBytes += thumb.length;
        pendingThumbnails.insert(key, jpeg);
    }
    return key;
}

void MediaCache::release(quint64 key)
{
    const auto thumb = thumbs.find(key);
    if (thumb == thumbs.end() || --thumb->refs > 0)
        return;
    deadBytes += thumb->recordBytes;
    thumbBytes -= thumb->length;
    pendingThumbnails.remove(key);
    thumbs.erase(thumb);
}

void MediaCache::put(const QByteArray &fileName, Entry entry)
{
    const auto old = entries.find(fileName);
    if (old != entries.end())
        drop(old);
    entry.used = ++useClock;
    entry.pending = writable;
    entries.insert(fileName, entry);
    if (writable) {
        pendingFiles.append(fileName);
        if (!flushTimer.isActive())
            flushTimer.start();
    }
    evictOverLimits();
}

void MediaCache::drop(QHash<QByteArray, Entry>::iterator it)
{
    deadBytes += it->recordBytes;
    if (it->thumb)
        release(it->thumb);
    entries.erase(it);
}

void MediaCache::evictOverLimits()
{
    // Use order is known once every record is read.
    if (loading)
        return;
    if (entries.size() <= limits.records && thumbBytes <= limits.thumbnailBytes)
        return;
    // Down to nine tenths at once, so the sort is not repeated at every new record.
    const qint64 keepRecords = qMax<qint64>(0, limits.records - limits.records / 10);
    const qint64 keepThumbBytes = limits.thumbnailBytes - limits.thumbnailBytes / 10;
    std::vector<std::pair<quint64, QByteArray>> byUse;
    byUse.reserve(size_t(entries.size()));
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        byUse.emplace_back(it->used, it.key());
    std::sort(byUse.begin(), byUse.end());
    for (const auto &[used, key] : byUse) {
        if (entries.size() <= keepRecords && thumbBytes <= keepThumbBytes)
            break;
        drop(entries.find(key));
    }
}

namespace {

QByteArray frame(const QByteArray &meta, const QByteArray &thumb)
{
    QByteArray bytes(frameBytes, Qt::Uninitialized);
    qToBigEndian(quint32(meta.size()), bytes.data());
    qToBigEndian(crc32(meta.constData(), meta.size()), bytes.data() + 4);
    qToBigEndian(quint32(thumb.size()), bytes.data() + 8);
    qToBigEndian(crc32(thumb.constData(), thumb.size()), bytes.data() + 12);
    return bytes + meta + thumb;
}

} // namespace

QByteArray MediaCache::detailsRecord(const QByteArray &fileName, const Entry &entry)
{
    QByteArray meta;
    QDataStream out(&meta, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << (entry.gaveUp ? kindGaveUp : kindDetails) << fileName << entry.stamp.size
        << entry.stamp.modified << entry.details << entry.thumb;
    return frame(meta, {});
}

QByteArray MediaCache::thumbnailRecord(quint64 key, const QByteArray &jpeg)
{
    QByteArray meta;
    QDataStream out(&meta, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << kindThumbnail << key;
    return frame(meta, jpeg);
}

void MediaCache::flush()
{
    flushTimer.stop();
    // Appended only once the file's end is known (the load ends by starting this timer).
    if (!writable || loading || pendingFiles.isEmpty())
        return;
    QByteArray batch;
    QHash<quint64, qint64> placed;
    QList<QString> written;
    for (const QByteArray &fileName : std::as_const(pendingFiles)) {
        const auto it = entries.find(fileName);
        if (it == entries.end() || !it->pending)
            continue;
        // Its thumbnail first, if it is not in the file yet.
        const auto jpeg
            = it->thumb ? pendingThumbnails.constFind(it->thumb) : pendingThumbnails.constEnd();
        if (jpeg != pendingThumbnails.constEnd() && !placed.contains(it->thumb)) {
            const QByteArray bytes = thumbnailRecord(it->thumb, *jpeg);
            thumbs[it->thumb].recordBytes = quint32(bytes.size());
            batch += bytes;
            placed.insert(it->thumb, fileBytes + batch.size() - jpeg->size());
        }
        const QByteArray bytes = detailsRecord(fileName, *it);
        it->pending = false;
        it->recordBytes = quint32(bytes.size());
        batch += bytes;
    }
    pendingFiles.clear();
    if (!file.seek(fileBytes) || file.write(batch) != batch.size()) {
        // A part may be there; the next load stops at it.
        failWrites(file.errorString());
        return;
    }
    fileBytes += batch.size();
    for (auto it = placed.cbegin(); it != placed.cend(); ++it) {
        thumbs[it.key()].offset = it.value();
        pendingThumbnails.remove(it.key());
    }
    if (deadBytes > compactAfterDeadBytes && deadBytes * 2 > fileBytes)
        compact();
}

void MediaCache::compact()
{
    if (!writable || loading)
        return;
    flushTimer.stop();
    std::vector<std::pair<quint64, QByteArray>> byUse;
    byUse.reserve(size_t(entries.size()));
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        byUse.emplace_back(it->used, it.key());
    // Oldest use first: the order a later load numbers them in.
    std::sort(byUse.begin(), byUse.end());

    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly)) {
        qCWarning(lcMedia) << "media cache" << path << "cannot be rewritten:" << out.errorString();
        return;
    }
    std::vector<std::pair<QByteArray, Entry>> rewritten;
    rewritten.reserve(byUse.size());
    QHash<quint64, Thumb> newThumbs;
    qint64 at = headerBytes;
    bool ok = out.write(header()) == headerBytes;
    for (const auto &[used, key] : byUse) {
        if (!ok)
            break;
        Entry entry = entries.value(key);
        if (entry.thumb && !newThumbs.contains(entry.thumb)) {
            const Thumb &old = thumbs[entry.thumb];
            const QByteArray jpeg
                = old.offset < 0 ? pendingThumbnails.value(entry.thumb) : readThumbnail(old);
            // A thumbnail that no longer reads whole is left out rather than copied wrong.
            if (jpeg.isEmpty()) {
                entry.thumb = 0;
            } else {
                const QByteArray bytes = thumbnailRecord(entry.thumb, jpeg);
                ok = out.write(bytes) == bytes.size();
                Thumb thumb;
                thumb.offset = at + bytes.size() - jpeg.size();
                thumb.length = quint32(jpeg.size());
                thumb.checksum = old.checksum;
                thumb.recordBytes = quint32(bytes.size());
                newThumbs.insert(entry.thumb, thumb);
                at += bytes.size();
            }
        }
        if (entry.thumb)
            ++newThumbs[entry.thumb].refs;
        const QByteArray bytes = detailsRecord(key, entry);
        ok = ok && out.write(bytes) == bytes.size();
        entry.pending = false;
        entry.recordBytes = quint32(bytes.size());
        at += bytes.size();
        rewritten.emplace_back(key, std::move(entry));
    }
    // Windows replaces no file that is open.
    file.close();
    if (!ok || !out.commit()) {
        qCWarning(lcMedia) << "media cache" << path << "cannot be rewritten:" << out.errorString();
        if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
            failWrites(file.errorString());
        return;
    }
    for (auto &[key, entry] : rewritten)
        entries.insert(key, std::move(entry));
    thumbs = std::move(newThumbs);
    thumbBytes = 0;
    for (const Thumb &thumb : std::as_const(thumbs))
        thumbBytes += thumb.length;
    pendingFiles.clear();
    pendingThumbnails.clear();
    deadBytes = 0;
    fileBytes = at;
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        failWrites(file.errorString());
}

void MediaCache::forEach(
    const std::function<void(const QString &file, const MediaDetails &)> &visit) const
{
    MediaDetails details;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        if (!it->gaveUp && DetailsRecord::decode(it->details, &details))
            visit(QString::fromUtf8(it.key()), details);
    }
}
