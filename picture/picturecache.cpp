#include "picture/picturecache.h"

#include "picture/pictureconverter.h"

PictureCache::PictureCache(uint width, uint height, double screen_ratio, bool scale,
    bool square_pixels, bool compress, uint compress_min, uint compress_max)
{
    setFormat(
        width, height, screen_ratio, scale, square_pixels, compress, compress_min, compress_max);
}

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

void PictureCache::setFormat(uint width, uint height, double screen_ratio, bool scale,
    bool square_pixels, bool compress, uint compress_min, uint compress_max)
{
    pictureFormat = { width, height, screen_ratio, scale, square_pixels, compress, compress_min,
        compress_max };
    cache.clear();
}
