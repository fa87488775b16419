#include "picture/pictureconverter.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>

#include <cstring>

namespace {

constexpr int jpegQuality = 90;

void compressColours(QImage &image, const std::array<uint8_t, 256> &table)
{
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = line[x];
            line[x] = qRgb(table[qRed(p)], table[qGreen(p)], table[qBlue(p)]);
        }
    }
}

QImage placeOnCanvas(const QImage &picture, QSize canvasSize)
{
    QImage canvas(canvasSize, QImage::Format_RGB32);
    if (canvas.isNull())
        return canvas;
    canvas.fill(qRgb(0, 0, 0));
    const int left = (canvas.width() - picture.width()) / 2;
    const int top = (canvas.height() - picture.height()) / 2;
    // Fitted pictures never exceed the canvas; clip all the same rather than write past it.
    const QRect target = QRect(QPoint(left, top), picture.size()).intersected(canvas.rect());
    if (target.isEmpty())
        return canvas;
    const int sourceLeft = target.left() - left;
    const int sourceTop = target.top() - top;
    for (int y = 0; y < target.height(); ++y) {
        const auto *from = reinterpret_cast<const QRgb *>(picture.constScanLine(sourceTop + y));
        auto *to = reinterpret_cast<QRgb *>(canvas.scanLine(target.top() + y));
        std::memcpy(to + target.left(), from + sourceLeft, size_t(target.width()) * sizeof(QRgb));
    }
    return canvas;
}

} // namespace

LoadedPicture loadPicture(const QString &path, const PictureFormat &format)
{
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);

    QSize reducedFrom;
    if (format.scale && reader.supportsOption(QImageIOHandler::ScaledSize)) {
        const QSize stored = reader.size();
        const bool turned = reader.transformation() & QImageIOHandler::TransformationRotate90;
        // The decoder works on the picture as stored; fitting works on it upright.
        const QSize upright = turned ? stored.transposed() : stored;
        QSize fitted = format.fittedSize(upright);
        if (turned)
            fitted.transpose();
        const QSize decode = scaledDecodeSize(stored, fitted);
        if (decode != stored) {
            reader.setScaledSize(decode);
            reducedFrom = upright;
        }
    }

    LoadedPicture loaded;
    loaded.image = reader.read();
    if (loaded.image.isNull())
        return {};
    // One pixel layout throughout: palette, grey and alpha pictures are handled alike.
    if (loaded.image.hasAlphaChannel()) {
        // A plain conversion would bring out whatever colour the file keeps behind its
        // transparent pixels; on the television they are as black as the bars around them.
        QImage opaque(loaded.image.size(), QImage::Format_RGB32);
        if (opaque.isNull())
            return {};
        opaque.fill(qRgb(0, 0, 0));
        QPainter(&opaque).drawImage(0, 0, loaded.image);
        loaded.image = opaque;
    } else if (loaded.image.format() != QImage::Format_RGB32) {
        loaded.image = loaded.image.convertToFormat(QImage::Format_RGB32);
    }
    loaded.size = reducedFrom.isValid() ? reducedFrom : loaded.image.size();
    return loaded;
}

QImage preparePicture(const LoadedPicture &loaded, const PictureFormat &format)
{
    QImage picture = loaded.image;
    if (picture.format() != QImage::Format_RGB32)
        picture = picture.convertToFormat(QImage::Format_RGB32);
    if (picture.isNull())
        return picture;
    if (format.scale) {
        // Fitted from the picture's own size, so a reduced decode gives the same output size.
        const QSize fitted
            = format.fittedSize(loaded.size.isValid() ? loaded.size : picture.size());
        if (fitted != picture.size())
            picture = picture.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (picture.isNull())
            return picture;
    }
    if (format.compress)
        compressColours(picture, format.compressionTable());
    if (format.scale)
        picture = placeOnCanvas(picture, format.canvasSize());
    return picture;
}

QByteArray convertPicture(const QString &path, const PictureFormat &format)
{
    const QImage prepared = preparePicture(loadPicture(path, format), format);
    if (prepared.isNull())
        return {};
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, QByteArrayLiteral("jpg"));
    writer.setQuality(jpegQuality);
    // A failed encoding counts as a picture that cannot be converted, not as empty content.
    if (!writer.write(prepared))
        return {};
    return jpeg;
}
