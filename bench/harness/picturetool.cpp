// Pictures for bench/run: makes photo-like test JPEGs, and measures how close Hearth's
// television picture is to a full decode of the original scaled smoothly to the same size.
//   bench_picture_tool make WIDTH HEIGHT OUT.jpg
//   bench_picture_tool psnr ORIGINAL.jpg
// The comparison uses the default television format: PAL 720x576, 16:9, pixels stretched to
// the raster, colours compressed to 16..235.

#include "picture/pictureconverter.h"

#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Smooth colour fields, fine texture, tiles with sharp edges and grain, so that both the decoder
// and the encoder meet something like a photo. Fields are sums of separable sines (one table per
// axis), which keeps a 96-megapixel picture to a few seconds.
bool makePhoto(const QString &path, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull())
        return false;
    std::vector<double> sx(width), cx(width), sy(height), cy(height);
    for (int x = 0; x < width; ++x) {
        sx[x] = std::sin(9.0 * x / width);
        cx[x] = std::cos(9.0 * x / width);
    }
    for (int y = 0; y < height; ++y) {
        sy[y] = std::sin(3.0 * y / height);
        cy[y] = std::cos(3.0 * y / height);
    }
    // Fine texture with periods of about 16 pixels on the television.
    std::vector<double> tx(160), ty(170);
    for (int i = 0; i < 160; ++i)
        tx[i] = std::sin(2 * M_PI * i / 160);
    for (int i = 0; i < 170; ++i)
        ty[i] = std::sin(2 * M_PI * i / 170);
    const int tile = std::max(1, width / 14);
    uint32_t noise = 2463534242u;
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            noise ^= noise << 13;
            noise ^= noise >> 17;
            noise ^= noise << 5;
            const int grain = int(noise % 25) - 12;
            const int tileShade = ((x / tile + y / tile) % 3 - 1) * 28;
            const double wave = sx[x] * cy[y] + cx[x] * sy[y]; // sin(9x/w + 3y/h)
            const double texture = 16 * tx[x % 160] * ty[y % 170];
            const int shade = int(texture) + tileShade + grain;
            const int r = int(128 + 90 * wave) + shade;
            const int g = int(128 + 90 * cx[x] * cy[y]) + shade;
            const int b = int(128 + 90 * sy[y] * sx[x]) + shade;
            line[x] = qRgb(std::clamp(r, 0, 255), std::clamp(g, 0, 255), std::clamp(b, 0, 255));
        }
    }
    QImageWriter writer(path, QByteArrayLiteral("jpg"));
    writer.setQuality(92);
    return writer.write(image);
}

// PSNR over red, green and blue of `area` in `picture` against `expected`.
double psnrOf(const QImage &expected, const QImage &picture, QPoint area)
{
    double squares = 0;
    for (int y = 0; y < expected.height(); ++y) {
        const auto *want = reinterpret_cast<const QRgb *>(expected.constScanLine(y));
        const auto *got
            = reinterpret_cast<const QRgb *>(picture.constScanLine(area.y() + y)) + area.x();
        for (int x = 0; x < expected.width(); ++x) {
            const int dr = qRed(want[x]) - qRed(got[x]);
            const int dg = qGreen(want[x]) - qGreen(got[x]);
            const int db = qBlue(want[x]) - qBlue(got[x]);
            squares += dr * dr + dg * dg + db * db;
        }
    }
    const double mse = squares / (3.0 * expected.width() * expected.height());
    return mse > 0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : 99.0;
}

// Measures the fitting itself, in this process: the picture as hearth prepares it (reduced
// decoding, fitting, colour compression, canvas; before JPEG encoding) against a full decode
// of the original scaled smoothly to the same size and compressed the same way. Only the
// picture area counts, not the black bars. Also prints, as "encoded", the same comparison
// for hearth's JPEG answer: quality 90 alone keeps that near 45 dB on a photo.
int psnr(const QString &originalPath)
{
    const PictureFormat format; // the default television format
    QImageReader originalReader(originalPath);
    originalReader.setAutoTransform(true);
    const QImage original = originalReader.read().convertToFormat(QImage::Format_RGB32);
    const QImage prepared = preparePicture(loadPicture(originalPath, format), format);
    const QImage encoded = QImage::fromData(convertPicture(originalPath, format))
                               .convertToFormat(QImage::Format_RGB32);
    if (original.isNull() || prepared.isNull() || encoded.isNull()) {
        std::printf("error=cannot read or convert the picture\n");
        return 1;
    }
    const QSize canvas = format.canvasSize();
    if (prepared.size() != canvas || encoded.size() != canvas) {
        std::printf("error=converted picture is %dx%d, not %dx%d\n", prepared.width(),
            prepared.height(), canvas.width(), canvas.height());
        return 1;
    }
    const QSize fitted = format.fittedSize(original.size());
    const QPoint area(
        (canvas.width() - fitted.width()) / 2, (canvas.height() - fitted.height()) / 2);
    QImage expected = original.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                          .convertToFormat(QImage::Format_RGB32);
    const std::array<uint8_t, 256> table = format.compressionTable();
    for (int y = 0; y < expected.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(expected.scanLine(y));
        for (int x = 0; x < expected.width(); ++x)
            line[x] = qRgb(table[qRed(line[x])], table[qGreen(line[x])], table[qBlue(line[x])]);
    }
    std::printf("psnr=%.2f encoded=%.2f fitted=%dx%d\n", psnrOf(expected, prepared, area),
        psnrOf(expected, encoded, area), fitted.width(), fitted.height());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The originals are larger than the toolkit decodes by default.
    QImageReader::setAllocationLimit(0);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == QLatin1String("make"))
        return makePhoto(args[4], args[2].toInt(), args[3].toInt()) ? 0 : 1;
    if (args.size() == 3 && args[1] == QLatin1String("psnr"))
        return psnr(args[2]);
    std::fprintf(stderr, "usage: bench_picture_tool make W H OUT | psnr ORIGINAL\n");
    return 2;
}
