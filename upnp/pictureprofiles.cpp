#include "upnp/pictureprofiles.h"

#include "library/openedentry.h"
#include "upnp/mediaformat.h"

#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

const PictureProfile profiles[] = {
    { PictureSize::Thumbnail, "JPEG_TN", "thumb", QSize(thumbnailSide, thumbnailSide) },
    { PictureSize::Small, "JPEG_SM", "small", QSize(640, 480) },
    { PictureSize::Medium, "JPEG_MED", "medium", QSize(1024, 768) },
    { PictureSize::Large, "JPEG_LRG", "large", QSize(4096, 4096) },
};

struct Stamp
{
    qint64 size = -1;
    qint64 modified = 0;
};

// One stat; QFileInfo's local times would cost a look at the time zone per picture on glibc.
Stamp stampOf(const QString &path)
{
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    return { info.size(), info.lastModified().toMSecsSinceEpoch() };
#else
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    return { qint64(status.st_size),
        qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec };
#endif
}

} // namespace

const PictureProfile &pictureProfile(PictureSize size)
{
    return profiles[int(size)];
}

bool pictureSizeOfWord(QByteArrayView word, PictureSize *size)
{
    for (const PictureProfile &profile : profiles) {
        if (profile.size != PictureSize::Thumbnail && word == profile.word) {
            *size = profile.size;
            return true;
        }
    }
    return false;
}

PictureFormat pictureFormat(PictureSize size)
{
    const QSize bound = pictureProfile(size).bound;
    PictureFormat format;
    format.width = uint(bound.width());
    format.height = uint(bound.height());
    format.screenRatio = double(bound.width()) / double(bound.height());
    format.squarePixels = true;
    format.compress = false;
    format.canvas = false;
    return format;
}

QList<PictureResource> pictureResources(const PictureHeader &header)
{
    if (!header.isValid())
        return { PictureResource { PictureSize::Large, QSize(), true, false } };
    QList<PictureResource> resources;
    QList<QSize> offered;
    bool originalPlaced = false;
    for (const PictureSize size : { PictureSize::Small, PictureSize::Medium, PictureSize::Large }) {
        const PictureFormat format = pictureFormat(size);
        const QSize fitted = format.fittedSize(header.upright);
        // A picture within a smaller profile already has its own size offered.
        if (offered.contains(fitted))
            continue;
        offered.append(fitted);
        if (fitted == header.upright && header.plainJpeg) {
            resources.prepend({ size, fitted, true, true });
            originalPlaced = true;
        } else if (header.convertible(format)) {
            resources.prepend({ size, fitted, false, true });
        }
    }
    if (!originalPlaced)
        resources.append({ PictureSize::Large, header.upright, true, false });
    const PictureFormat thumbnail = pictureFormat(PictureSize::Thumbnail);
    if (header.convertible(thumbnail)) {
        resources.append(
            { PictureSize::Thumbnail, thumbnail.fittedSize(header.upright), false, true });
    }
    return resources;
}

PictureHeaders::PictureHeaders(int records)
    : cache(records)
{ }

PictureHeader PictureHeaders::header(const EntryInfo &entry)
{
    const QString path = entry.filePath();
    const Stamp stamp = stampOf(path);
    if (stamp.size <= 0) {
        cache.remove(path);
        return {};
    }
    if (const Record *record = cache.object(path);
        record && record->size == stamp.size && record->modified == stamp.modified) {
        return record->header;
    }
    const std::unique_ptr<QFile> file = OpenedEntry::open(entry).takeFile();
    auto *record = new Record { stamp.size, stamp.modified,
        file->isOpen() ? readPictureHeader(*file) : PictureHeader() };
    const PictureHeader header = record->header;
    cache.insert(path, record);
    return header;
}
