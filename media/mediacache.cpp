#include "media/mediacache.h"

#include "media/detailsrecord.h"
#include "media/medialog.h"

#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <vector>

// The file: a header (magic, version), then records one after another, each
//   metaLength, metaChecksum, thumbLength, thumbChecksum  (4 x 32 bits, big-endian)
//   meta:  kind (1 details, 2 gave up), path (UTF-8), size, modified, DetailsRecord
//   thumb: the JPEG bytes, possibly none
// A later record for the same path replaces an earlier one. Reading stops at the first record
// that is cut short or does not match its checksum: that is where a run ended mid-write.

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
    flush();
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
    const char *data = reinterpret_cast<const char *>(map);
    if (!data || size < headerBytes || QByteArray(data, headerBytes) != header()) {
        if (map)
            file.unmap(map);
        file.close();
        setAside(QStringLiteral("not a media cache of this version"));
        return false;
    }
    qint64 at = headerBytes;
    quint64 order = 0;
    while (size - at >= frameBytes) {
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
        QDataStream in(QByteArray::fromRawData(meta, metaLength));
        in.setVersion(QDataStream::Qt_6_0);
        quint8 kind = 0;
        QByteArray name;
        Entry entry;
        in >> kind >> name >> entry.stamp.size >> entry.stamp.modified >> entry.details;
        if (in.status() != QDataStream::Ok || (kind != kindDetails && kind != kindGaveUp))
            break;
        entry.gaveUp = kind == kindGaveUp;
        entry.details.detach();
        entry.used = ++order;
        entry.recordBytes = frameBytes + qint64(metaLength) + thumbLength;
        if (thumbLength > 0) {
            entry.thumbOffset = at + frameBytes + metaLength;
            entry.thumbLength = thumbLength;
            entry.thumbChecksum = thumbChecksum;
        }
        const QString key = QString::fromUtf8(name);
        const auto old = entries.constFind(key);
        if (old != entries.constEnd()) {
            deadBytes += old->recordBytes;
            thumbBytes -= old->thumbLength;
        }
        thumbBytes += entry.thumbLength;
        entries.insert(key, entry);
        at += entry.recordBytes;
    }
    file.unmap(map);
    useClock = order;
    fileBytes = at;
    if (at < size) {
        // The end of an interrupted write, or damage: keep what came before.
        qCInfo(lcMedia) << "media cache" << path << "ends in" << size - at
                        << "bytes that do not read as records; dropped";
        if (!file.resize(at)) {
            file.close();
            failWrites(file.errorString());
            return true;
        }
    }
    writable = true;
    evictOverLimits();
    if (deadBytes > compactAfterDeadBytes && deadBytes * 2 > fileBytes)
        compact();
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
        it->thumbLength = 0;
        it->pending = false;
    }
    thumbBytes = 0;
    pendingFiles.clear();
    pendingThumbnails.clear();
}

MediaCache::Answer MediaCache::lookUp(const QString &fileName, const MediaStamp &stamp)
{
    Answer answer;
    const auto it = entries.find(fileName);
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
    answer.hasThumbnail = it->thumbLength > 0;
    return answer;
}

QByteArray MediaCache::thumbnail(const QString &fileName, const MediaStamp &stamp)
{
    const auto it = entries.constFind(fileName);
    if (it == entries.constEnd() || it->stamp != stamp || it->thumbLength == 0)
        return {};
    if (it->thumbOffset < 0)
        return pendingThumbnails.value(fileName);
    return readThumbnail(*it);
}

QByteArray MediaCache::readThumbnail(const Entry &entry)
{
    if (!file.isOpen() || !file.seek(entry.thumbOffset))
        return {};
    const QByteArray bytes = file.read(entry.thumbLength);
    if (bytes.size() != qint64(entry.thumbLength)
        || crc32(bytes.constData(), bytes.size()) != entry.thumbChecksum) {
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
    const QByteArray thumb = writable && quint32(details.thumbnail.size()) <= maxThumbBytes / 2
        ? details.thumbnail
        : QByteArray();
    entry.thumbLength = quint32(thumb.size());
    put(fileName, entry, thumb);
}

void MediaCache::storeGaveUp(const QString &fileName, const MediaStamp &stamp)
{
    Entry entry;
    entry.stamp = stamp;
    entry.gaveUp = true;
    put(fileName, entry, {});
}

void MediaCache::put(const QString &fileName, Entry entry, const QByteArray &thumb)
{
    const auto old = entries.find(fileName);
    if (old != entries.end())
        drop(old);
    entry.used = ++useClock;
    entry.pending = writable;
    thumbBytes += entry.thumbLength;
    entries.insert(fileName, entry);
    if (writable) {
        pendingFiles.append(fileName);
        if (!thumb.isEmpty())
            pendingThumbnails.insert(fileName, thumb);
        if (!flushTimer.isActive())
            flushTimer.start();
    }
    evictOverLimits();
}

void MediaCache::drop(QHash<QString, Entry>::iterator it)
{
    deadBytes += it->recordBytes;
    thumbBytes -= it->thumbLength;
    if (it->pending)
        pendingThumbnails.remove(it.key());
    entries.erase(it);
}

void MediaCache::evictOverLimits()
{
    if (entries.size() <= limits.records && thumbBytes <= limits.thumbnailBytes)
        return;
    // Down to nine tenths at once, so the sort is not repeated at every new record.
    const qint64 keepRecords = qMax<qint64>(0, limits.records - limits.records / 10);
    const qint64 keepThumbBytes = limits.thumbnailBytes - limits.thumbnailBytes / 10;
    std::vector<std::pair<quint64, QString>> byUse;
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

QByteArray MediaCache::frame(const QString &fileName, const Entry &entry, const QByteArray &thumb)
{
    QByteArray meta;
    {
        QDataStream out(&meta, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_6_0);
        out << (entry.gaveUp ? kindGaveUp : kindDetails) << fileName.toUtf8() << entry.stamp.size
            << entry.stamp.modified << entry.details;
    }
    QByteArray bytes(frameBytes, Qt::Uninitialized);
    qToBigEndian(quint32(meta.size()), bytes.data());
    qToBigEndian(crc32(meta.constData(), meta.size()), bytes.data() + 4);
    qToBigEndian(quint32(thumb.size()), bytes.data() + 8);
    qToBigEndian(crc32(thumb.constData(), thumb.size()), bytes.data() + 12);
    return bytes + meta + thumb;
}

void MediaCache::flush()
{
    flushTimer.stop();
    if (!writable || pendingFiles.isEmpty())
        return;
    QByteArray batch;
    struct Placed
    {
        QString file;
        qint64 thumbOffset;
    };
    std::vector<Placed> placed;
    for (const QString &fileName : std::as_const(pendingFiles)) {
        const auto it = entries.find(fileName);
        if (it == entries.end() || !it->pending)
            continue;
        const QByteArray thumb = pendingThumbnails.take(fileName);
        const QByteArray bytes = frame(fileName, *it, thumb);
        it->pending = false;
        it->recordBytes = bytes.size();
        it->thumbChecksum = crc32(thumb.constData(), thumb.size());
        placed.push_back({ fileName, fileBytes + batch.size() + bytes.size() - thumb.size() });
        batch += bytes;
    }
    pendingFiles.clear();
    if (!file.seek(fileBytes) || file.write(batch) != batch.size()) {
        // A part may be there; the next load stops at it.
        failWrites(file.errorString());
        return;
    }
    fileBytes += batch.size();
    for (const Placed &p : placed) {
        const auto it = entries.find(p.file);
        if (it->thumbLength > 0)
            it->thumbOffset = p.thumbOffset;
    }
    if (deadBytes > compactAfterDeadBytes && deadBytes * 2 > fileBytes)
        compact();
}

void MediaCache::compact()
{
    if (!writable)
        return;
    std::vector<std::pair<quint64, QString>> byUse;
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
    std::vector<std::pair<QString, Entry>> rewritten;
    rewritten.reserve(byUse.size());
    qint64 at = headerBytes;
    bool ok = out.write(header()) == headerBytes;
    for (const auto &[used, key] : byUse) {
        if (!ok)
            break;
        Entry entry = entries.value(key);
        QByteArray thumb;
        if (entry.thumbLength > 0) {
            thumb = entry.pending ? pendingThumbnails.value(key) : readThumbnail(entry);
            // A thumbnail that no longer reads whole is left out rather than copied wrong.
            if (thumb.isEmpty())
                entry.thumbLength = 0;
        }
        const QByteArray bytes = frame(key, entry, thumb);
        ok = out.write(bytes) == bytes.size();
        entry.pending = false;
        entry.recordBytes = bytes.size();
        entry.thumbOffset = thumb.isEmpty() ? -1 : at + bytes.size() - thumb.size();
        entry.thumbChecksum = crc32(thumb.constData(), thumb.size());
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
    thumbBytes = 0;
    for (auto &[key, entry] : rewritten) {
        thumbBytes += entry.thumbLength;
        entries.insert(key, std::move(entry));
    }
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
            visit(it.key(), details);
    }
}
