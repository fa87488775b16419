#include "picture/pictureconverter.h"

#include "picture/picturebudget.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>

#include <cstring>
#include <utility>

namespace {

constexpr int jpegQuality = 90;

bool stopped(const StopFlag *stop)
{
    return stop && stop->load(std::memory_order_relaxed);
}

// A file that reads as ended once the conversion is told to stop, so the decoder stops
// pulling data: libjpeg then meets an end marker and finishes at once, the PNG reader fails.
class StoppableFile : public QFile
{
public:
    StoppableFile(const QString &path, const StopFlag *stop)
        : QFile(path)
        , stop(stop)
    { }
    explicit StoppableFile(const StopFlag *stop)
        : stop(stop)
    { }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (stopped(stop))
            return -1;
        return QFile::readData(data, maxSize);
    }

private:
    const StopFlag *stop;
};

int bytesPerPixel(QImage::Format format)
{
    // An unknown layout is taken at its widest, 16 bits a channel.
    const int bits
        = format == QImage::Format_Invalid ? 64 : int(QImage::toPixelFormat(format).bitsPerPixel());
    return bits > 32 ? 8 : 4;
}

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

QByteArray encoded(LoadedPicture loaded, const PictureFormat &format, const StopFlag *stop)
{
    const QImage prepared = preparePicture(std::move(loaded), format);
    if (prepared.isNull() || stopped(stop))
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

LoadedPicture loadFrom(StoppableFile &file, const PictureFormat &format, const StopFlag *stop)
{
    // From the start: another reader of the descriptor may have moved it.
    JpegFrame jpeg;
    if (!screenPicture(file, &jpeg))
        return {};

    QImageReader reader(&file);
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    // Without a size nothing bounds what decoding takes: such a file is sent as stored.
    if (stored.isEmpty())
        return {};
    const bool isJpeg = reader.format() == "jpeg";
    if (isJpeg && (!jpeg.isValid() || jpeg.size != stored))
        return {};

    const bool turned = reader.transformation() & QImageIOHandler::TransformationRotate90;
    // The decoder works on the picture as stored; fitting works on it upright.
    const QSize upright = turned ? stored.transposed() : stored;
    QSize decode = stored;
    if (format.scale && reader.supportsOption(QImageIOHandler::ScaledSize)) {
        QSize fitted = format.fittedSize(upright);
        if (turned)
            fitted.transpose();
        decode = scaledDecodeSize(stored, fitted);
    }

    ConversionCost cost;
    cost.decoded = decode;
    cost.bytesPerPixel = isJpeg ? 4 : bytesPerPixel(reader.imageFormat());
    cost.turned = reader.transformation() != QImageIOHandler::TransformationNone;
    cost.result = !format.scale ? upright
        : format.canvas         ? format.canvasSize()
                                : format.fittedSize(upright);
    if (isJpeg)
        cost.decoderBytes = jpeg.rowBytes + (jpeg.wholeImageBuffers ? jpeg.coefficientBytes : 0);
    if (cost.bytes() > conversionBudget)
        return {};

    QSize reducedFrom;
    if (decode != stored) {
        reader.setScaledSize(decode);
        reducedFrom = upright;
    }

    LoadedPicture loaded;
    loaded.image = reader.read();
    if (loaded.image.isNull() || stopped(stop))
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

} // namespace

LoadedPicture loadPicture(const QString &path, const PictureFormat &format, const StopFlag *stop)
{
    StoppableFile file(path, stop);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return loadFrom(file, format, stop);
}

LoadedPicture loadPicture(int fd, const PictureFormat &format, const StopFlag *stop)
{
    StoppableFile file(stop);
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return {};
    return loadFrom(file, format, stop);
}

QImage preparePicture(LoadedPicture loaded, const PictureFormat &format)
{
    QImage picture = std::move(loaded.image);
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
    if (format.scale && format.canvas)
        picture = placeOnCanvas(picture, format.canvasSize());
    return picture;
}

QByteArray convertPicture(const QString &path, const PictureFormat &format, const StopFlag *stop)
{
    return encoded(loadPicture(path, format, stop), format, stop);
}

QByteArray convertPicture(int fd, const PictureFormat &format, const StopFlag *stop)
{
    return encoded(loadPicture(fd, format, stop), format, stop);
}
