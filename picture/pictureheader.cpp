#include "picture/pictureheader.h"

#include "picture/picturebudget.h"

#include <QFile>
#include <QImageReader>

bool PictureHeader::convertible(const PictureFormat &format) const
{
    if (!isValid())
        return false;
    QSize decode = stored;
    if (format.scale && scalable) {
        QSize fitted = format.fittedSize(upright);
        if (turned)
            fitted.transpose();
        decode = scaledDecodeSize(stored, fitted);
    }
    ConversionCost cost;
    cost.decoded = decode;
    cost.bytesPerPixel = bytesPerPixel;
    cost.turned = transformed;
    cost.result = !format.scale ? upright
        : format.canvas         ? format.canvasSize()
                                : format.fittedSize(upright);
    cost.decoderBytes = decoderBytes;
    return cost.bytes() <= conversionBudget;
}

PictureHeader readPictureHeader(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return readPictureHeader(file);
}

PictureHeader readPictureHeader(QIODevice &file)
{
    JpegFrame jpeg;
    if (!screenPicture(file, &jpeg))
        return {};

    QImageReader reader(&file);
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    PictureHeader header;
    header.stored = reader.size();
    if (header.stored.isEmpty())
        return {};
    const bool isJpeg = reader.format() == "jpeg";
    if (isJpeg && (!jpeg.isValid() || jpeg.size != header.stored))
        return {};
    const QImageIOHandler::Transformations transformation = reader.transformation();
    header.turned = transformation & QImageIOHandler::TransformationRotate90;
    header.transformed = transformation != QImageIOHandler::TransformationNone;
    header.upright = header.turned ? header.stored.transposed() : header.stored;
    header.scalable = reader.supportsOption(QImageIOHandler::ScaledSize);
    if (isJpeg) {
        header.decoderBytes = jpeg.rowBytes + (jpeg.wholeImageBuffers ? jpeg.coefficientBytes : 0);
        header.plainJpeg = !header.transformed && !jpeg.wholeImageBuffers
            && (jpeg.components == 1 || jpeg.components == 3);
    } else {
        const QImage::Format format = reader.imageFormat();
        const int bits = format == QImage::Format_Invalid
            ? 64
            : int(QImage::toPixelFormat(format).bitsPerPixel());
        header.bytesPerPixel = bits > 32 ? 8 : 4;
    }
    return header;
}
