#include "picture/picturecache.h"

PictureCache::PictureCache(uint width, uint height, double screen_ratio, bool scale,
    bool square_pixels, bool compress, uint compress_min, uint compress_max)
{
    setFormat(width, height, screen_ratio, scale, square_pixels, compress, compress_min,
        compress_max);
}

QByteArray PictureCache::convertedPicture(const QString &)
{
    return {};
}

void PictureCache::setFormat(uint, uint, double, bool, bool, bool, uint, uint) { }
