#include "picture/picturecache.h"

#include "picture/pictureconverter.h"

PictureCache::PictureCache(const PictureFormat &format)
    : pictureFormat(format)
{ }

PictureCache::~PictureCache() = default;

QByteArray PictureCache::convertedPicture(const QString &path)
{
    for (const CachedPicture &record : cache) {
        if (record.path == path)
            return record.jpeg;
    }
    QByteArray jpeg = convertPicture(path, pictureFormat);
    if (jpeg.isEmpty())
        return {};
    cache.push_back({ jpeg, path });
    if (cache.size() > size_t(capacity))
        cache.pop_front();
    return jpeg;
}

void PictureCache::setFormat(const PictureFormat &format)
{
    pictureFormat = format;
    cache.clear();
}
