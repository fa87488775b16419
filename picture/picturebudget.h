#pragma once

#include <QSize>
#include <QtGlobal>

class QIODevice;

// The most memory one conversion may need, whatever the file. Conversions run on at most one
// thread per core, so this times the core count bounds what pictures take at once.
constexpr qint64 conversionBudget = qint64(300) << 20;

// What a JPEG's headers, up to its first scan, say about the work of decoding it.
struct JpegFrame
{
    QSize size; // as stored, before any orientation tag is applied
    int components = 0;
    // Progressive, or sequential with the components in separate scans: the decoder then
    // keeps every coefficient of the whole picture, at full size whatever scale it outputs.
    bool wholeImageBuffers = false;
    // Those coefficients: 2 bytes for each of the 64 of every 8x8 block, counted in whole
    // units of the largest sampling factors as the decoder allocates them.
    qint64 coefficientBytes = 0;
    // The decoder's own rows for one band of blocks of every component.
    qint64 rowBytes = 0;

    bool isValid() const { return !size.isEmpty() && components > 0; }
};

// Reads the JPEG markers from the device's current position up to the first scan. An
// invalid frame when the data is not a JPEG, has no frame before its first scan, or has a
// frame the decoder would refuse anyway.
JpegFrame readJpegFrame(QIODevice &device);

// What is checked of a picture's file before a reader decodes any of it, from its start: the
// JPEG frame (the toolkit's allocation limit covers the decoded picture only, the frame tells
// what the decoder needs besides), and a PNG chunk by chunk (libpng would say what is wrong
// with a broken one on standard error). Leaves the device at its start; false for a broken PNG
// or a device that cannot seek.
bool screenPicture(QIODevice &device, JpegFrame *jpeg);

// What one conversion may cost at its peak, in bytes.
struct ConversionCost
{
    QSize decoded; // the size the decoder outputs
    int bytesPerPixel = 4; // of the decoded picture: 8 for 16-bit formats, else 4
    bool turned = false; // an orientation tag makes an upright copy
    QSize result; // the picture that is encoded: the canvas, or the decoded size unscaled
    qint64 decoderBytes = 0; // the decoder's own buffers (JPEG: JpegFrame)

    qint64 bytes() const;
};
