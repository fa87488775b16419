#pragma once

#include "picture/pictureformat.h"

#include <QByteArray>
#include <QImage>
#include <QString>

struct LoadedPicture
{
    QImage image; // 32-bit RGB, null when the file could not be read as a picture
    QSize size; // the picture's own upright size, whatever scale it was decoded at
};

// Loads the picture at `path` upright (its orientation tag applied), decoded at a reduced
// scale where the format allows and `format` will fit it to the television anyway.
LoadedPicture loadPicture(const QString &path, const PictureFormat &format);

// Fits, compresses and frames a loaded picture as `format` asks. The result is 32-bit RGB.
QImage preparePicture(const LoadedPicture &picture, const PictureFormat &format);

// The whole conversion: load, prepare, encode as JPEG of quality 90. Empty when the file
// cannot be loaded or the result cannot be encoded.
QByteArray convertPicture(const QString &path, const PictureFormat &format);
