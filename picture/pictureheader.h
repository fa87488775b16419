#pragma once

#include "picture/pictureformat.h"

#include <QSize>
#include <QString>

// What a picture file's headers say, read without decoding it: enough to tell the size a
// conversion will have, and whether the file may be sent as it is.
struct PictureHeader
{
    QSize upright; // the picture's own size, its orientation tag applied; empty: no picture
    QSize stored; // as the decoder sees it
    bool turned = false; // the orientation tag swaps width and height
    bool transformed = false; // the orientation tag asks for any change at all
    bool scalable = false; // the decoder can reduce while decoding (JPEG)
    // A baseline JPEG of one or three components, stored upright: what every client shows.
    bool plainJpeg = false;
    int bytesPerPixel = 4;
    qint64 decoderBytes = 0;

    bool isValid() const { return !upright.isEmpty(); }
    // Whether converting it in `format` stays within what one conversion may cost, as
    // loadPicture (picture/pictureconverter.h) judges it.
    bool convertible(const PictureFormat &format) const;
};

// Reads the headers with the checks loadPicture makes before decoding: an invalid header for
// what it would not decode. Reads a JPEG up to its first scan, a PNG whole (its chunks are
// checked), other formats as far as their decoder needs to tell the size.
PictureHeader readPictureHeader(const QString &path);
// The same from a file already open, read from where it stands.
PictureHeader readPictureHeader(QIODevice &file);
