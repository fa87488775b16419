// Pictures for bench/run: makes photo-like test JPEGs, and measures how close Hearth's
// television picture is to a full decode of the original scaled smoothly to the same size.
//   bench_picture_tool make WIDTH HEIGHT OUT.jpg
//   bench_picture_tool psnr CONVERTED.jpg ORIGINAL.jpg
// The comparison assumes the default television format: PAL 720x576, 16:9, pixels stretched
// to the raster, colours compressed to 16..235. The reference gets the same compression, and
// only the picture area counts, not the black bars.

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>

#include <algorithm>
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

int nearest(double x)
{
    return int(x + 0.5);
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

// Prints the PSNR of the converted picture, and as "jpeg_floor" that of the ideal picture
// after the same JPEG encoding at quality 90: what encoding alone allows.
int psnr(const QString &convertedPath, const QString &originalPath)
{
    const int W = 720, H = 576;
    const double r = 16.0 / 9.0;
    QImageReader originalReader(originalPath);
    originalReader.setAutoTransform(true);
    const QImage original = originalReader.read().convertToFormat(QImage::Format_RGB32);
    const QImage converted = QImage(convertedPath).convertToFormat(QImage::Format_RGB32);
    if (original.isNull() || converted.isNull()) {
        std::printf("error=cannot read the pictures\n");
        return 1;
    }
    if (converted.size() != QSize(W, H)) {
        std::printf("error=converted picture is %dx%d, not %dx%d\n", converted.width(),
            converted.height(), W, H);
        return 1;
    }
    const double a = double(original.width()) / original.height();
    const QSize fitted = a > r ? QSize(W, nearest(r * H / a)) : QSize(nearest(a * W / r), H);
    const QPoint area((W - fitted.width()) / 2, (H - fitted.height()) / 2);
    QImage expected = original.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                          .convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < expected.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(expected.scanLine(y));
        for (int x = 0; x < expected.width(); ++x) {
            const auto compress = [](int c) { return 16 + c * (235 - 16) / 255; };
            line[x] = qRgb(
                compress(qRed(line[x])), compress(qGreen(line[x])), compress(qBlue(line[x])));
        }
    }

    QImage canvas(W, H, QImage::Format_RGB32);
    canvas.fill(qRgb(0, 0, 0));
    for (int y = 0; y < expected.height(); ++y)
        std::memcpy(reinterpret_cast<QRgb *>(canvas.scanLine(area.y() + y)) + area.x(),
            expected.constScanLine(y), size_t(expected.width()) * sizeof(QRgb));
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, QByteArrayLiteral("jpg"));
    writer.setQuality(90);
    writer.write(canvas);
    const QImage floor = QImage::fromData(encoded).convertToFormat(QImage::Format_RGB32);

    std::printf("psnr=%.2f jpeg_floor=%.2f fitted=%dx%d\n", psnrOf(expected, converted, area),
        psnrOf(expected, floor, area), fitted.width(), fitted.height());
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
    if (args.size() == 4 && args[1] == QLatin1String("psnr"))
        return psnr(args[2], args[3]);
    std::fprintf(stderr, "usage: bench_picture_tool make W H OUT | psnr CONVERTED ORIGINAL\n");
    return 2;
}
