#include "picture/picturebudget.h"

#include "picture/pngchunks.h"

#include <QIODevice>

#include <algorithm>

namespace {

// Markers that stand alone, without a length: restart markers, TEM, and a stray start.
bool standsAlone(int marker)
{
    return (marker >= 0xd0 && marker <= 0xd8) || marker == 0x01;
}

// Frame markers the decoder reads: sequential (Huffman or arithmetic) and progressive.
// Lossless and hierarchical frames (c3, c5..c7, cb, cd..cf) are refused by the decoder.
bool isSequential(int marker)
{
    return marker == 0xc0 || marker == 0xc1 || marker == 0xc9;
}
bool isProgressive(int marker)
{
    return marker == 0xc2 || marker == 0xca;
}
bool isOtherFrame(int marker)
{
    return marker >= 0xc3 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc
        && !isSequential(marker) && !isProgressive(marker);
}

qint64 ceilDiv(qint64 a, qint64 b)
{
    return (a + b - 1) / b;
}

} // namespace

JpegFrame readJpegFrame(QIODevice &device)
{
    uchar start[2];
    if (device.read(reinterpret_cast<char *>(start), 2) != 2 || start[0] != 0xff
        || start[1] != 0xd8)
        return {};

    JpegFrame frame;
    int frameComponents = 0;
    // Enough for any real file's segments before its first scan, and a bound on a crafted one.
    for (int segment = 0; segment < 4096; ++segment) {
        // Like the decoder, skip whatever lies between segments up to the next marker.
        char c = 0;
        int skipped = 0;
        do {
            if (!device.getChar(&c) || ++skipped > (1 << 20))
                return {};
        } while (uchar(c) != 0xff);
        do {
            if (!device.getChar(&c))
                return {};
        } while (uchar(c) == 0xff);
        const int marker = uchar(c);
        if (marker == 0x00 || standsAlone(marker))
            continue;
        if (marker == 0xd9) // end of image before any scan
            return {};

        uchar lengthBytes[2];
        if (device.read(reinterpret_cast<char *>(lengthBytes), 2) != 2)
            return {};
        const int length = (lengthBytes[0] << 8) | lengthBytes[1];
        if (length < 2)
            return {};
        const bool isFrame = isSequential(marker) || isProgressive(marker) || isOtherFrame(marker);
        if (!isFrame && marker != 0xda) {
            // Tables, comments, Exif (with any thumbnail inside it): nothing to read here.
            if (device.skip(length - 2) != length - 2)
                return {};
            continue;
        }
        const QByteArray payload = device.read(length - 2);
        if (payload.size() != length - 2)
            return {};
        const auto byte = [&payload](int i) { return i < payload.size() ? uchar(payload[i]) : 0; };

        if (isFrame) {
            if (frameComponents > 0 || isOtherFrame(marker))
                return {}; // a second frame, or one the decoder cannot read
            const int height = (byte(1) << 8) | byte(2);
            const int width = (byte(3) << 8) | byte(4);
            frameComponents = byte(5);
            // A height of 0 is to be given later by a DNL marker, which the decoder refuses.
            if (width == 0 || height == 0 || frameComponents == 0 || frameComponents > 4
                || payload.size() < 6 + 3 * frameComponents)
                return {};
            int maxH = 1;
            int maxV = 1;
            for (int i = 0; i < frameComponents; ++i) {
                const int h = byte(7 + 3 * i) >> 4;
                const int v = byte(7 + 3 * i) & 15;
                if (h < 1 || h > 4 || v < 1 || v > 4)
                    return {};
                maxH = std::max(maxH, h);
                maxV = std::max(maxV, v);
            }
            const qint64 unitsAcross = ceilDiv(width, 8 * maxH);
            const qint64 unitsDown = ceilDiv(height, 8 * maxV);
            qint64 blocks = 0;
            for (int i = 0; i < frameComponents; ++i) {
                const int h = byte(7 + 3 * i) >> 4;
                const int v = byte(7 + 3 * i) & 15;
                blocks += unitsAcross * h * unitsDown * v;
            }
            frame.size = QSize(width, height);
            frame.components = frameComponents;
            frame.wholeImageBuffers = isProgressive(marker);
            frame.coefficientBytes = blocks * 64 * 2;
            // Sample rows of one band of blocks, with room for the upsampler's context rows.
            frame.rowBytes = unitsAcross * 8 * maxH * 8 * maxV * frameComponents * 4;
        } else if (marker == 0xda) {
            if (frameComponents == 0)
                return {}; // a scan before any frame
            // Fewer components in the first scan than in the frame: the others follow in
            // later scans, so the decoder buffers the whole picture as it does for progressive.
            if (byte(0) < frameComponents)
                frame.wholeImageBuffers = true;
            if (!frame.wholeImageBuffers)
                frame.coefficientBytes = 0;
            return frame;
        }
    }
    return {};
}

qint64 ConversionCost::bytes() const
{
    const qint64 decodedPixels = qint64(decoded.width()) * decoded.height();
    const qint64 resultPixels = qint64(result.width()) * result.height();
    // The decoded picture, its upright copy, and one 32-bit copy made from it (the toolkit's
    // resize to the size asked for, the conversion to 32-bit RGB, or the fitted picture when
    // it is not reduced).
    const qint64 decodedBytes = decodedPixels * (bytesPerPixel * (turned ? 2 : 1) + 4);
    // The fitted picture and the canvas (4 bytes a pixel each) and the encoded JPEG, at most
    // 4 bytes a pixel as its array grows.
    const qint64 resultBytes = resultPixels * 12;
    return decoderBytes + decodedBytes + resultBytes;
}

bool screenPicture(QIODevice &device, JpegFrame *jpeg)
{
    if (!device.seek(0))
        return false;
    *jpeg = readJpegFrame(device);
    if (!device.seek(0))
        return false;
    if (hasPngSignature(device) && (!device.seek(0) || !isSoundPng(device)))
        return false;
    return device.seek(0);
}
