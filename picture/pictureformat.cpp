#include "picture/pictureformat.h"

#include <cmath>

namespace {

// Far above any television raster, well inside int arithmetic on image sizes.
constexpr int maxDimension = 32768;

} // namespace

int nearestDimension(double x)
{
    // NaN and negative values fail this test as well as zero.
    if (!(x >= 1.0))
        return 1;
    if (x >= maxDimension)
        return maxDimension;
    return static_cast<int>(x + 0.5);
}

QSize PictureFormat::fittedSize(QSize picture) const
{
    if (picture.isEmpty())
        return {};
    const double W = width;
    const double H = height;
    const double r = screenRatio;
    if (!canvas) {
        const QSize bound(nearestDimension(W), nearestDimension(H));
        if (picture.width() <= bound.width() && picture.height() <= bound.height())
            return picture;
        return picture.scaled(bound, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    }
    if (squarePixels) {
        const QSize box = canvasSize();
        QSize fitted = picture.scaled(box, Qt::KeepAspectRatio);
        return fitted.expandedTo(QSize(1, 1));
    }
    const double a = double(picture.width()) / double(picture.height());
    if (a > r)
        return { nearestDimension(W), nearestDimension(r * H / a) };
    return { nearestDimension(a * W / r), nearestDimension(H) };
}

QSize PictureFormat::canvasSize() const
{
    const int canvasHeight = nearestDimension(double(height));
    if (squarePixels)
        return { nearestDimension(double(height) * screenRatio), canvasHeight };
    return { nearestDimension(double(width)), canvasHeight };
}

std::array<uint8_t, 256> PictureFormat::compressionTable() const
{
    // Exact integer arithmetic with a floor that also holds for a reversed range; the result
    // is kept within a byte whatever bounds the configuration file held.
    const int64_t low = compressMin;
    const int64_t span = int64_t(compressMax) - low;
    std::array<uint8_t, 256> table {};
    for (int64_t c = 0; c < 256; ++c) {
        const int64_t product = c * span;
        int64_t step = product / 255;
        if (product % 255 != 0 && product < 0)
            --step;
        int64_t value = low + step;
        if (value < 0)
            value = 0;
        if (value > 255)
            value = 255;
        table[size_t(c)] = uint8_t(value);
    }
    return table;
}

QSize scaledDecodeSize(QSize stored, QSize fitted)
{
    if (stored.isEmpty() || fitted.isEmpty())
        return stored;
    for (int denominator : { 8, 4, 2 }) {
        const QSize reduced(stored.width() / denominator, stored.height() / denominator);
        if (2 * reduced.width() >= 3 * fitted.width()
            && 2 * reduced.height() >= 3 * fitted.height())
            return reduced;
    }
    return stored;
}
