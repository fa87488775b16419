#pragma once

#include "picture/pictureformat.h"

#include <QByteArray>
#include <QImage>
#include <QString>

#include <atomic>

struct LoadedPicture
{
    QImage image; // 32-bit RGB, null when the file could not be read as a picture
    QSize size; // the picture's own upright size, whatever scale it was decoded at
};

// Set from another thread to make a running conversion give up early: reading the file
// stops, the steps after decoding are skipped, and the conversion fails.
using StopFlag = std::atomic<bool>;

// Loads the picture at `path` upright (its orientation tag applied), decoded at a reduced
// scale where the format allows and `format` will fit it to the television anyway. A picture
// whose headers promise more work than conversionBudget (picture/picturebudget.h) allows is
// not decoded: it loads as null, like a file that is not a picture.
LoadedPicture loadPicture(
    const QString &path, const PictureFormat &format, const StopFlag *stop = nullptr);
// The same for a file already open, read from its start through the descriptor alone (the C
// runtime's on Windows), which stays open.
LoadedPicture loadPicture(int fd, const PictureFormat &format, const StopFlag *stop = nullptr);

// Fits, compresses and frames a loaded picture as `format` asks. The result is 32-bit RGB.
// Taken by value: a picture moved in is compressed in place instead of copied.
QImage preparePicture(LoadedPicture picture, const PictureFormat &format);

// The whole conversion: load, prepare, encode as JPEG of quality 90. Empty when the file
// cannot be loaded, is refused, the result cannot be encoded, or `stop` was set.
QByteArray convertPicture(
    const QString &path, const PictureFormat &format, const StopFlag *stop = nullptr);
QByteArray convertPicture(int fd, const PictureFormat &format, const StopFlag *stop = nullptr);
