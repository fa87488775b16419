#include "picture/picturecache.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <memory>

#include <unistd.h>

class TestPictureCache : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void convertsToTheFittedPicture_data();
    void convertsToTheFittedPicture();
    void compressionSparesTheBars_data();
    void compressionSparesTheBars();
    void transparencyLiesOnBlack_data();
    void transparencyLiesOnBlack();
    void orientationTagIsApplied_data();
    void orientationTagIsApplied();
    void pictureAboveTheDecodeLimitIsReducedWhileDecoding();
    void anyContentIsConvertedOrRefused_data();
    void anyContentIsConvertedOrRefused();

    void answerFollowsTheFile_data();
    void answerFollowsTheFile();
    void twentyFirstAnswerPushesOutTheFirst();
    void setFormatEmptiesTheCache_data();
    void setFormatEmptiesTheCache();
    void pathFormsAreSeparateRecords_data();
    void pathFormsAreSeparateRecords();

    void conversionLeavesTheEventLoopFree();
    void requestsShareOneConversion();
    void answerSkipsWhatIsGone_data();
    void answerSkipsWhatIsGone();
    void formatChangedWhileConverting();

private:
    QString pathOf(const QString &name) const { return dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> dir;
};

namespace {

constexpr double fourThree = 4.0 / 3.0;
constexpr double wide = 16.0 / 9.0;

using Format = PictureFormat;

std::unique_ptr<PictureCache> makeCache(const Format &f)
{
    return std::make_unique<PictureCache>(f);
}

} // namespace

namespace {

const Format defaults { 720, 576, wide, true, false, true, 16, 235 };

QByteArray encode(const QImage &image, const char *format = "jpg", bool progressive = false)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(95);
    writer.setProgressiveScanWrite(progressive);
    if (!writer.write(image))
        qFatal("test picture could not be encoded");
    return bytes;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QImage filled(QSize size, QRgb colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// Four quadrants: top-left red, top-right green, bottom-left blue, bottom-right white.
QImage quadrants(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    const int halfW = size.width() / 2;
    const int halfH = size.height() / 2;
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            if (y < halfH)
                line[x] = x < halfW ? qRgb(255, 0, 0) : qRgb(0, 255, 0);
            else
                line[x] = x < halfW ? qRgb(0, 0, 255) : qRgb(255, 255, 255);
        }
    }
    return image;
}

// An Exif segment holding only the orientation tag, placed after the JFIF header.
QByteArray withOrientation(const QByteArray &jpeg, quint16 orientation)
{
    QByteArray tiff = QByteArrayLiteral("MM\x00\x2a\x00\x00\x00\x08" // big-endian, IFD at 8
                                        "\x00\x01" // one entry
                                        "\x01\x12\x00\x03\x00\x00\x00\x01"); // orientation SHORT x1
    tiff.append(char(orientation >> 8)).append(char(orientation & 0xff));
    tiff.append(QByteArrayLiteral("\x00\x00"
                                  "\x00\x00\x00\x00")); // padding, no next IFD
    const QByteArray payload = QByteArrayLiteral("Exif\x00\x00") + tiff;
    QByteArray segment = QByteArrayLiteral("\xff\xe1");
    const int length = int(payload.size()) + 2;
    segment.append(char(length >> 8)).append(char(length & 0xff)).append(payload);

    int at = 2; // after the start-of-image marker
    if (jpeg.size() > 6 && uchar(jpeg[2]) == 0xff && uchar(jpeg[3]) == 0xe0)
        at = 4 + ((uchar(jpeg[4]) << 8) | uchar(jpeg[5]));
    return jpeg.left(at) + segment + jpeg.mid(at);
}

// The JPEG with its frame header claiming another size; the data stays that of the small one.
QByteArray withFrameSize(QByteArray jpeg, int width, int height)
{
    int sof = -1;
    for (const char *marker : { "\xff\xc0", "\xff\xc2" }) {
        if (sof < 0)
            sof = int(jpeg.indexOf(marker));
    }
    if (sof < 0)
        qFatal("test picture has no frame header");
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height & 0xff);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width & 0xff);
    return jpeg;
}

// The JPEG with its first scan naming only the first component: the others would follow in
// scans of their own, and the decoder has to keep the whole picture until they do.
QByteArray withFirstScanOfOneComponent(const QByteArray &jpeg)
{
    const int sos = int(jpeg.indexOf("\xff\xda"));
    if (sos < 0)
        qFatal("test picture has no scan");
    const int length = (uchar(jpeg[sos + 2]) << 8) | uchar(jpeg[sos + 3]);
    const QByteArray header = QByteArrayLiteral("\xff\xda\x00\x08\x01") + jpeg.mid(sos + 5, 2)
        + QByteArrayLiteral("\x00\x3f\x00");
    return jpeg.left(sos) + header + jpeg.mid(sos + 2 + length);
}

QImage decoded(const QByteArray &jpeg)
{
    QByteArray copy = jpeg;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpg");
    reader.setAutoTransform(false);
    return reader.read().convertToFormat(QImage::Format_RGB32);
}

// The rectangle of pixels brighter than mid-grey: where a white picture landed on black.
QRect brightArea(const QImage &image)
{
    QRect area;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (qGray(line[x]) > 128)
                area |= QRect(x, y, 1, 1);
        }
    }
    return area;
}

bool near(QRgb actual, QRgb expected, int tolerance)
{
    return std::abs(qRed(actual) - qRed(expected)) <= tolerance
        && std::abs(qGreen(actual) - qGreen(expected)) <= tolerance
        && std::abs(qBlue(actual) - qBlue(expected)) <= tolerance;
}

QByteArray describe(QRgb p)
{
    return QByteArray::number(qRed(p)) + ',' + QByteArray::number(qGreen(p)) + ','
        + QByteArray::number(qBlue(p));
}

} // namespace

void TestPictureCache::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestPictureCache::cleanup()
{
    dir.reset();
    QImageReader::setAllocationLimit(128);
}

void TestPictureCache::convertsToTheFittedPicture_data()
{
    // clang-format off
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<uint>("width");
    QTest::addColumn<uint>("height");
    QTest::addColumn<double>("ratio");
    QTest::addColumn<bool>("scale");
    QTest::addColumn<bool>("square");
    QTest::addColumn<QSize>("canvas");
    QTest::addColumn<QRect>("placed");

    QTest::newRow("1600x1200 PAL 4:3 stretched") << QSize(1600, 1200) << 720u << 576u << fourThree << true << false << QSize(720, 576) << QRect(0, 0, 720, 576);
    QTest::newRow("1600x1200 PAL 4:3 square") << QSize(1600, 1200) << 720u << 576u << fourThree << true << true << QSize(768, 576) << QRect(0, 0, 768, 576);
    QTest::newRow("1600x1200 PAL 16:9 stretched") << QSize(1600, 1200) << 720u << 576u << wide << true << false << QSize(720, 576) << QRect(90, 0, 540, 576);
    QTest::newRow("1600x1200 PAL 16:9 square") << QSize(1600, 1200) << 720u << 576u << wide << true << true << QSize(1024, 576) << QRect(128, 0, 768, 576);
    QTest::newRow("1200x1600 PAL 4:3 stretched") << QSize(1200, 1600) << 720u << 576u << fourThree << true << false << QSize(720, 576) << QRect(157, 0, 405, 576);
    QTest::newRow("1200x1600 PAL 4:3 square") << QSize(1200, 1600) << 720u << 576u << fourThree << true << true << QSize(768, 576) << QRect(168, 0, 432, 576);
    QTest::newRow("1920x1080 fills PAL 16:9") << QSize(1920, 1080) << 720u << 576u << wide << true << false << QSize(720, 576) << QRect(0, 0, 720, 576);
    QTest::newRow("wide picture gets bars above and below") << QSize(3000, 1000) << 720u << 576u << wide << true << false << QSize(720, 576) << QRect(0, 117, 720, 341);
    // Large enough to be decoded at a reduced scale; the output sizes must not change.
    QTest::newRow("4000x3000 PAL 16:9 stretched") << QSize(4000, 3000) << 720u << 576u << wide << true << false << QSize(720, 576) << QRect(90, 0, 540, 576);
    QTest::newRow("4001x2999 PAL 16:9 square") << QSize(4001, 2999) << 720u << 576u << wide << true << true << QSize(1024, 576) << QRect(128, 0, 768, 576);
    QTest::newRow("fitted from its own size, not the reduced one") << QSize(1400, 2515) << 720u << 576u << wide << true << false << QSize(720, 576) << QRect(247, 0, 225, 576);
    QTest::newRow("6000x4000 HDTV 720") << QSize(6000, 4000) << 1280u << 720u << wide << true << false << QSize(1280, 720) << QRect(100, 0, 1080, 720);
    QTest::newRow("without scaling the own size") << QSize(333, 222) << 720u << 576u << wide << false << false << QSize(333, 222) << QRect(0, 0, 333, 222);
    QTest::newRow("one-pixel line still converts") << QSize(4000, 1) << 720u << 576u << wide << true << false << QSize(720, 576) << QRect();
    // clang-format on
}

void TestPictureCache::convertsToTheFittedPicture()
{
    QFETCH(QSize, picture);
    QFETCH(uint, width);
    QFETCH(uint, height);
    QFETCH(double, ratio);
    QFETCH(bool, scale);
    QFETCH(bool, square);
    QFETCH(QSize, canvas);
    QFETCH(QRect, placed);

    const QString path = pathOf(QStringLiteral("white.jpg"));
    writeFile(path, encode(filled(picture, qRgb(255, 255, 255))));
    auto cache = makeCache({ width, height, ratio, scale, square, false, 16, 235 });
    const QByteArray jpeg = cache->convertedPicture(path);
    QVERIFY(!jpeg.isEmpty());
    QVERIFY(jpeg.startsWith("\xff\xd8"));

    const QImage out = decoded(jpeg);
    QCOMPARE(out.size(), canvas);
    if (placed.isValid())
        QCOMPARE(brightArea(out), placed);
}

void TestPictureCache::compressionSparesTheBars_data()
{
    // clang-format off
    QTest::addColumn<bool>("scale");
    QTest::addColumn<QByteArray>("sourceFormat");
    QTest::addColumn<int>("sourceImageFormat");
    QTest::addColumn<uint>("low");
    QTest::addColumn<uint>("high");
    QTest::addColumn<QRgb>("white");
    QTest::addColumn<QRgb>("grey");
    QTest::addColumn<QRgb>("black");

    const QRgb white = qRgb(235, 235, 235);
    const QRgb grey = qRgb(125, 125, 125);
    const QRgb black = qRgb(16, 16, 16);
    QTest::newRow("JPEG on the canvas") << true << QByteArray("jpg") << int(QImage::Format_RGB32) << 16u << 235u << white << grey << black;
    QTest::newRow("JPEG at its own size") << false << QByteArray("jpg") << int(QImage::Format_RGB32) << 16u << 235u << white << grey << black;
    QTest::newRow("palette PNG at its own size") << false << QByteArray("png") << int(QImage::Format_Indexed8) << 16u << 235u << white << grey << black;
    QTest::newRow("grey PNG on the canvas") << true << QByteArray("png") << int(QImage::Format_Grayscale8) << 16u << 235u << white << grey << black;
    QTest::newRow("PNG with alpha at its own size") << false << QByteArray("png") << int(QImage::Format_ARGB32) << 16u << 235u << white << grey << black;
    QTest::newRow("reversed range") << true << QByteArray("jpg") << int(QImage::Format_RGB32) << 235u << 16u << qRgb(16, 16, 16) << qRgb(125, 125, 125) << qRgb(235, 235, 235);
    QTest::newRow("range beyond a byte") << true << QByteArray("jpg") << int(QImage::Format_RGB32) << 100u << 900u << qRgb(255, 255, 255) << qRgb(255, 255, 255) << qRgb(100, 100, 100);
    // clang-format on
}

void TestPictureCache::compressionSparesTheBars()
{
    QFETCH(bool, scale);
    QFETCH(QByteArray, sourceFormat);
    QFETCH(int, sourceImageFormat);
    QFETCH(uint, low);
    QFETCH(uint, high);
    QFETCH(QRgb, white);
    QFETCH(QRgb, grey);
    QFETCH(QRgb, black);

    // Three vertical stripes: white, mid-grey 128, black.
    QImage source(1200, 900, QImage::Format_RGB32);
    for (int y = 0; y < source.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(source.scanLine(y));
        for (int x = 0; x < source.width(); ++x)
            line[x] = x < 400 ? qRgb(255, 255, 255) : x < 800 ? qRgb(128, 128, 128) : qRgb(0, 0, 0);
    }
    source = source.convertToFormat(QImage::Format(sourceImageFormat));
    const QString path = pathOf(QStringLiteral("stripes.") + QLatin1String(sourceFormat));
    writeFile(path, encode(source, sourceFormat.constData()));

    auto cache = makeCache({ 720, 576, wide, scale, false, true, low, high });
    const QImage out = decoded(cache->convertedPicture(path));
    QVERIFY(!out.isNull());

    // Default format: a 4:3 picture is 540 wide at x 90 on the 720 canvas.
    const int left = scale ? 90 : 0;
    const int stripe = scale ? 180 : 400;
    const int y = out.height() / 2;
    const QRgb seenWhite = out.pixel(left + stripe / 2, y);
    const QRgb seenGrey = out.pixel(left + stripe + stripe / 2, y);
    const QRgb seenBlack = out.pixel(left + 2 * stripe + stripe / 2, y);
    QVERIFY2(near(seenWhite, white, 3), describe(seenWhite));
    QVERIFY2(near(seenGrey, grey, 3), describe(seenGrey));
    QVERIFY2(near(seenBlack, black, 3), describe(seenBlack));
    if (scale) {
        for (const QPoint bar : { QPoint(0, 0), QPoint(45, y), QPoint(719, 575), QPoint(675, y) })
            QVERIFY2(near(out.pixel(bar), qRgb(0, 0, 0), 2), describe(out.pixel(bar)));
    }
}

void TestPictureCache::transparencyLiesOnBlack_data()
{
    // clang-format off
    QTest::addColumn<bool>("scale");
    QTest::addColumn<bool>("compress");
    QTest::addColumn<QRgb>("clear");
    QTest::addColumn<QRgb>("halfRed");
    QTest::addColumn<QRgb>("grey");

    QTest::newRow("on the canvas") << true << false << qRgb(0, 0, 0) << qRgb(128, 0, 0) << qRgb(128, 128, 128);
    QTest::newRow("on the canvas, compressed") << true << true << qRgb(16, 16, 16) << qRgb(125, 16, 16) << qRgb(125, 125, 125);
    QTest::newRow("at its own size") << false << false << qRgb(0, 0, 0) << qRgb(128, 0, 0) << qRgb(128, 128, 128);
    QTest::newRow("at its own size, compressed") << false << true << qRgb(16, 16, 16) << qRgb(125, 16, 16) << qRgb(125, 125, 125);
    // clang-format on
}

// Transparent parts of a picture look like the black bars around it, whatever colour the
// file keeps behind them.
void TestPictureCache::transparencyLiesOnBlack()
{
    QFETCH(bool, scale);
    QFETCH(bool, compress);
    QFETCH(QRgb, clear);
    QFETCH(QRgb, halfRed);
    QFETCH(QRgb, grey);

    // Three vertical stripes: clear white, half-transparent red, opaque grey.
    QImage source(1200, 900, QImage::Format_ARGB32);
    for (int y = 0; y < source.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(source.scanLine(y));
        for (int x = 0; x < source.width(); ++x)
            line[x] = x < 400 ? qRgba(255, 255, 255, 0)
                : x < 800     ? qRgba(255, 0, 0, 128)
                              : qRgba(128, 128, 128, 255);
    }
    const QString path = pathOf(QStringLiteral("clear.png"));
    writeFile(path, encode(source, "png"));

    auto cache = makeCache({ 720, 576, wide, scale, false, compress, 16, 235 });
    const QImage out = decoded(cache->convertedPicture(path));
    QVERIFY(!out.isNull());
    const int left = scale ? 90 : 0;
    const int stripe = scale ? 180 : 400;
    const int y = out.height() / 2;
    const QRgb seen[] = { out.pixel(left + stripe / 2, y), out.pixel(left + stripe + stripe / 2, y),
        out.pixel(left + 2 * stripe + stripe / 2, y) };
    QVERIFY2(near(seen[0], clear, 3), describe(seen[0]));
    QVERIFY2(near(seen[1], halfRed, 3), describe(seen[1]));
    QVERIFY2(near(seen[2], grey, 3), describe(seen[2]));
}

void TestPictureCache::orientationTagIsApplied_data()
{
    // clang-format off
    QTest::addColumn<QSize>("stored");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QRect>("placed");
    // Expected colours of the upright picture: top-left, top-right, bottom-left, bottom-right.
    QTest::addColumn<QList<QRgb>>("corners");

    const QRgb red = qRgb(255, 0, 0);
    const QRgb green = qRgb(0, 255, 0);
    const QRgb blue = qRgb(0, 0, 255);
    const QRgb white = qRgb(255, 255, 255);
    const QRect landscape(0, 0, 720, 576);
    const QRect portrait(157, 0, 405, 576);

    QTest::newRow("untagged") << QSize(1600, 1200) << 0 << landscape << QList<QRgb> { red, green, blue, white };
    QTest::newRow("normal") << QSize(1600, 1200) << 1 << landscape << QList<QRgb> { red, green, blue, white };
    QTest::newRow("mirrored") << QSize(1600, 1200) << 2 << landscape << QList<QRgb> { green, red, white, blue };
    QTest::newRow("upside down") << QSize(1600, 1200) << 3 << landscape << QList<QRgb> { white, blue, green, red };
    QTest::newRow("turned 90") << QSize(1600, 1200) << 6 << portrait << QList<QRgb> { blue, red, white, green };
    QTest::newRow("turned 270") << QSize(1600, 1200) << 8 << portrait << QList<QRgb> { green, white, red, blue };
    QTest::newRow("turned 90, reduced decode") << QSize(4000, 3000) << 6 << portrait << QList<QRgb> { blue, red, white, green };
    // clang-format on
}

void TestPictureCache::orientationTagIsApplied()
{
    QFETCH(QSize, stored);
    QFETCH(int, orientation);
    QFETCH(QRect, placed);
    QFETCH(QList<QRgb>, corners);

    QByteArray jpeg = encode(quadrants(stored));
    if (orientation != 0)
        jpeg = withOrientation(jpeg, quint16(orientation));
    const QString path = pathOf(QStringLiteral("photo.jpg"));
    writeFile(path, jpeg);

    auto cache = makeCache({ 720, 576, fourThree, true, false, false, 16, 235 });
    const QImage out = decoded(cache->convertedPicture(path));
    QCOMPARE(out.size(), QSize(720, 576));
    if (placed.left() > 0) {
        QVERIFY(near(out.pixel(placed.left() / 2, 288), qRgb(0, 0, 0), 2));
        QVERIFY(near(out.pixel(placed.left() + placed.width() + 10, 288), qRgb(0, 0, 0), 2));
    }
    const int qx = placed.width() / 4;
    const int qy = placed.height() / 4;
    const QPoint probes[]
        = { placed.topLeft() + QPoint(qx, qy), placed.topLeft() + QPoint(3 * qx, qy),
              placed.topLeft() + QPoint(qx, 3 * qy), placed.topLeft() + QPoint(3 * qx, 3 * qy) };
    for (int i = 0; i < 4; ++i) {
        const QRgb seen = out.pixel(probes[i]);
        const QByteArray where = describe(seen) + " at corner " + QByteArray::number(i);
        QVERIFY2(near(seen, corners[i], 12), where.constData());
    }
}

void TestPictureCache::pictureAboveTheDecodeLimitIsReducedWhileDecoding()
{
    // 2400x1800 needs about 17 MB decoded in full; a quarter of it fits well under the limit.
    const QString path = pathOf(QStringLiteral("large.jpg"));
    writeFile(path, encode(filled(QSize(2400, 1800), qRgb(255, 255, 255))));
    QImageReader::setAllocationLimit(8);

    auto small = makeCache({ 180, 144, fourThree, true, false, false, 16, 235 });
    const QImage out = decoded(small->convertedPicture(path));
    QCOMPARE(out.size(), QSize(180, 144));
    QCOMPARE(brightArea(out), QRect(0, 0, 180, 144));

    // Without fitting, the picture must be decoded whole: it is refused and sent as stored.
    auto unscaled = makeCache({ 180, 144, fourThree, false, false, true, 16, 235 });
    QVERIFY(unscaled->convertedPicture(path).isEmpty());
}

void TestPictureCache::anyContentIsConvertedOrRefused_data()
{
    // clang-format off
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("converted");

    const QByteArray jpeg = encode(quadrants(QSize(320, 240)));
    QByteArray huge = jpeg;
    // Claim 60000x60000 in the frame header: too large to decode even at an eighth.
    const int sof = int(huge.indexOf("\xff\xc0"));
    QVERIFY(sof > 0);
    huge = withFrameSize(huge, 60000, 60000);

    // 12000x12000 in three components: 432 MB of coefficients when the decoder must keep the
    // whole picture, but only a small band when it decodes one interleaved scan.
    const QByteArray progressive = withFrameSize(encode(quadrants(QSize(64, 48)), "jpg", true), 12000, 12000);
    const QByteArray separateScans = withFirstScanOfOneComponent(withFrameSize(jpeg, 12000, 12000));

    QTest::newRow("text named like a picture") << QByteArray("just some words\n") << false;
    QTest::newRow("empty file") << QByteArray() << false;
    QTest::newRow("JPEG start marker only") << QByteArray("\xff\xd8\xff") << false;
    QTest::newRow("PNG content under a JPEG name") << encode(quadrants(QSize(64, 48)), "png") << true;
    QTest::newRow("valid JPEG") << jpeg << true;
    QTest::newRow("implausibly large frame") << huge << false;
    QTest::newRow("progressive") << encode(quadrants(QSize(1600, 1200)), "jpg", true) << true;
    QTest::newRow("progressive frame claiming 12000x12000") << progressive << false;
    QTest::newRow("components in separate scans, claiming 12000x12000") << separateScans << false;
    QTest::newRow("sequential frame claiming 12000x12000") << withFrameSize(jpeg, 12000, 12000) << true;
    QTest::newRow("frame height left to a later marker") << withFrameSize(jpeg, 320, 0) << false;
    // A zero width, with the header's checksum right: libpng's "Invalid IHDR data".
    QTest::newRow("PNG of zero width") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\0\0\0\0\x01\x08\0\0\0\0\xd5\xbc\xf0\x6b\0\0\0\x0aIDAT\x78\x9c\x63\x60\0\0\0\x02\0\x01\x48\xaf\xa4\x71\0\0\0\0IEND\xae\x42\x60\x82", 67) << false;
    const QByteArray png = encode(quadrants(QSize(64, 48)), "png");
    QTest::newRow("PNG cut short") << png.left(png.size() / 2) << false;
    // clang-format on
}

void TestPictureCache::anyContentIsConvertedOrRefused()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, converted);

    const QString path = pathOf(QStringLiteral("picture.jpg"));
    writeFile(path, content);
    auto cache = makeCache(defaults);
    // Nothing but the program's own warning is said: the decoders' libraries say nothing.
    QTemporaryFile said;
    QVERIFY(said.open());
    const int standardError = ::dup(2);
    ::dup2(said.handle(), 2);
    const QByteArray jpeg = cache->convertedPicture(path);
    ::dup2(standardError, 2);
    ::close(standardError);
    QFile saidFile(said.fileName());
    QVERIFY(saidFile.open(QIODevice::ReadOnly));
    QCOMPARE(saidFile.readAll(), QByteArray());
    QCOMPARE(!jpeg.isEmpty(), converted);
    QCOMPARE(cache->cachedCount(), 1); // failures are remembered too
    if (converted)
        QCOMPARE(decoded(jpeg).size(), QSize(720, 576));
}

void TestPictureCache::answerFollowsTheFile_data()
{
    // clang-format off
    QTest::addColumn<bool>("firstIsPicture");
    QTest::addColumn<bool>("secondIsPicture");
    QTest::addColumn<bool>("sameSizeAndTime");

    // The cache cannot tell these apart from an untouched file: the first answer stays.
    QTest::newRow("picture, untouched") << true << true << true;
    QTest::newRow("broken file, untouched") << false << true << true;
    // A changed file is converted anew.
    QTest::newRow("picture replaced by another") << true << true << false;
    QTest::newRow("picture replaced by garbage") << true << false << false;
    QTest::newRow("broken file replaced by a picture") << false << true << false;
    // clang-format on
}

// An answer, success or failure, is kept while the file keeps its size and modification time.
void TestPictureCache::answerFollowsTheFile()
{
    QFETCH(bool, firstIsPicture);
    QFETCH(bool, secondIsPicture);
    QFETCH(bool, sameSizeAndTime);

    const QByteArray landscape = encode(filled(QSize(400, 300), qRgb(255, 255, 255)));
    const QByteArray portrait = encode(filled(QSize(300, 400), qRgb(255, 255, 255)));
    // Bytes after the end of a JPEG are ignored, so both contents can be made one size.
    const qsizetype size = qMax(landscape.size(), portrait.size()) + 16;
    const auto padded = [size](QByteArray bytes) { return bytes.leftJustified(size, '\0'); };
    const QByteArray first = firstIsPicture ? padded(landscape) : QByteArray(size, 'x');
    QByteArray second = secondIsPicture ? padded(portrait) : QByteArray(size, 'y');
    if (!sameSizeAndTime)
        second.append("more");

    const QString path = pathOf(QStringLiteral("photo.jpg"));
    writeFile(path, first);
    const QDateTime modified = QFileInfo(path).lastModified();
    auto cache = makeCache(defaults);
    const QByteArray before = cache->convertedPicture(path);
    QCOMPARE(before.isEmpty(), !firstIsPicture);

    writeFile(path, second);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(
        sameSizeAndTime ? modified : modified.addSecs(-60), QFileDevice::FileModificationTime));
    file.close();

    const QByteArray after = cache->convertedPicture(path);
    QCOMPARE(cache->cachedCount(), 1);
    if (sameSizeAndTime) {
        QCOMPARE(after, before);
        QVERIFY(after.isSharedWith(before));
    } else if (!secondIsPicture) {
        QVERIFY(after.isEmpty());
    } else {
        // 300x400 on the default canvas: 304 wide at x 208.
        QCOMPARE(brightArea(decoded(after)), QRect(208, 0, 304, 576));
    }
}

void TestPictureCache::twentyFirstAnswerPushesOutTheFirst()
{
    auto cache = makeCache(defaults);
    const QByteArray jpeg = encode(filled(QSize(64, 48), qRgb(200, 100, 50)));
    QStringList paths;
    QList<QByteArray> answers;
    for (int i = 0; i <= PictureCache::capacity; ++i) {
        paths << pathOf(QStringLiteral("p%1.jpg").arg(i));
        // Failures take their place like pictures.
        writeFile(paths.last(), i % 3 == 2 ? QByteArrayLiteral("broken") : jpeg);
        answers << cache->convertedPicture(paths.last());
        QCOMPARE(answers.last().isEmpty(), i % 3 == 2);
        QCOMPARE(cache->cachedCount(), qMin(i + 1, PictureCache::capacity));
    }
    // A cached answer is the very same bytes; the first was pushed out and converts anew.
    QVERIFY(!cache->convertedPicture(paths[0]).isSharedWith(answers[0]));
    // A hit does not refresh a record (first in, first out): converting the first again
    // pushed out the second, while the third is still there.
    QVERIFY(!cache->convertedPicture(paths[1]).isSharedWith(answers[1]));
    QVERIFY(cache->convertedPicture(paths[3]).isSharedWith(answers[3]));
}

void TestPictureCache::setFormatEmptiesTheCache_data()
{
    // clang-format off
    QTest::addColumn<Format>("next");
    QTest::newRow("same values") << defaults;
    QTest::newRow("other width") << Format { 1280, 720, wide, true, false, true, 16, 235 };
    QTest::newRow("compression off") << Format { 720, 576, wide, true, false, false, 16, 235 };
    // clang-format on
}

void TestPictureCache::setFormatEmptiesTheCache()
{
    QFETCH(Format, next);
    const QString path = pathOf(QStringLiteral("a.jpg"));
    writeFile(path, encode(filled(QSize(400, 300), qRgb(255, 255, 255))));
    auto cache = makeCache(defaults);
    const QByteArray before = cache->convertedPicture(path);
    QVERIFY(!before.isEmpty());

    cache->setFormat(next);
    QCOMPARE(cache->cachedCount(), 0);
    QCOMPARE(cache->format().width, next.width);
    QVERIFY(QFile::remove(path));
    QVERIFY(cache->convertedPicture(path).isEmpty());
    // Bytes handed out before stay whole for their holder.
    QCOMPARE(decoded(before).size(), QSize(720, 576));
}

void TestPictureCache::pathFormsAreSeparateRecords_data()
{
    // clang-format off
    QTest::addColumn<QString>("otherForm");
    QTest::newRow("doubled slash") << QStringLiteral("dir//a.jpg");
    QTest::newRow("dot component") << QStringLiteral("dir/./a.jpg");
    QTest::newRow("letter case") << QStringLiteral("dir/A.jpg");
    // clang-format on
}

void TestPictureCache::pathFormsAreSeparateRecords()
{
    QFETCH(QString, otherForm);
    QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("dir")));
    const QString path = pathOf(QStringLiteral("dir/a.jpg"));
    const QString other = pathOf(otherForm);
    const QByteArray jpeg = encode(filled(QSize(400, 300), qRgb(255, 255, 255)));
    writeFile(path, jpeg);
    writeFile(other, jpeg); // the letter-case form is its own file here

    auto cache = makeCache(defaults);
    const QByteArray first = cache->convertedPicture(path);
    QVERIFY(!first.isEmpty());
    // Only the exact string finds the record.
    QVERIFY(!cache->convertedPicture(other).isSharedWith(first));
    QCOMPARE(cache->cachedCount(), 2);
    QVERIFY(cache->convertedPicture(path).isSharedWith(first));
}

void TestPictureCache::conversionLeavesTheEventLoopFree()
{
    // Converted at its own size, a picture this large takes a tenth of a second or more.
    const QString path = pathOf(QStringLiteral("big.jpg"));
    writeFile(path, encode(quadrants(QSize(3000, 2000))));
    auto cache = makeCache({ 720, 576, wide, false, false, true, 16, 235 });

    int ticks = 0;
    QTimer timer;
    timer.setInterval(1);
    connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start();
    QObject context;
    QByteArray answer;
    QThread *answeredOn = nullptr;
    int ticksBeforeAnswer = -1;
    cache->requestPicture(path, &context, [&](const QByteArray &jpeg) {
        answer = jpeg;
        answeredOn = QThread::currentThread();
        ticksBeforeAnswer = ticks;
    });
    QCOMPARE(ticksBeforeAnswer, -1); // never answered inside the call
    QTRY_VERIFY_WITH_TIMEOUT(answeredOn, 30000);
    QCOMPARE(answeredOn, QThread::currentThread());
    QCOMPARE(decoded(answer).size(), QSize(3000, 2000));
    // The timer kept firing while the picture converted.
    QVERIFY2(ticksBeforeAnswer >= 3, QByteArray::number(ticksBeforeAnswer).constData());
}

void TestPictureCache::requestsShareOneConversion()
{
    const QString path = pathOf(QStringLiteral("a.jpg"));
    writeFile(path, encode(quadrants(QSize(1600, 1200))));
    auto cache = makeCache(defaults);
    QObject first;
    QObject second;
    QList<QByteArray> answers;
    const auto collect = [&answers](const QByteArray &jpeg) { answers << jpeg; };
    cache->requestPicture(path, &first, collect);
    cache->requestPicture(path, &second, collect);
    QTRY_COMPARE(answers.size(), 2);
    QVERIFY(!answers[0].isEmpty());
    // One conversion made one array.
    QVERIFY(answers[1].isSharedWith(answers[0]));
    QCOMPARE(cache->cachedCount(), 1);

    // A cached answer, too, comes from the event loop and not inside the call.
    cache->requestPicture(path, &first, collect);
    QCOMPARE(answers.size(), 2);
    QTRY_COMPARE(answers.size(), 3);
    QVERIFY(answers[2].isSharedWith(answers[0]));
}

void TestPictureCache::answerSkipsWhatIsGone_data()
{
    // clang-format off
    QTest::addColumn<bool>("cachedBefore");
    QTest::addColumn<bool>("otherRequester");
    QTest::addColumn<bool>("cacheGoes");

    QTest::newRow("requester gone while converting") << false << false << false;
    QTest::newRow("requester gone before a cached answer") << true << false << false;
    QTest::newRow("one of two requesters gone") << false << true << false;
    QTest::newRow("cache gone while converting") << false << true << true;
    // clang-format on
}

void TestPictureCache::answerSkipsWhatIsGone()
{
    QFETCH(bool, cachedBefore);
    QFETCH(bool, otherRequester);
    QFETCH(bool, cacheGoes);

    const QString path = pathOf(QStringLiteral("a.jpg"));
    writeFile(path, encode(quadrants(QSize(2400, 1800))));
    auto cache = makeCache(defaults);
    if (cachedBefore)
        QVERIFY(!cache->convertedPicture(path).isEmpty());

    int goneAnswers = 0;
    int otherAnswers = 0;
    auto gone = std::make_unique<QObject>();
    QObject other;
    cache->requestPicture(path, gone.get(), [&goneAnswers](const QByteArray &) { ++goneAnswers; });
    if (otherRequester)
        cache->requestPicture(
            path, &other, [&otherAnswers](const QByteArray &) { ++otherAnswers; });
    if (cacheGoes)
        cache.reset();
    else
        gone.reset();

    // Answers come in order of their events: one asked for later arrives after any that
    // the gone requester could have had.
    if (cache) {
        QObject probe;
        bool probed = false;
        cache->requestPicture(path, &probe, [&probed](const QByteArray &) { probed = true; });
        QTRY_VERIFY(probed);
    }
    QTest::qWait(20);
    QCOMPARE(goneAnswers, 0);
    QCOMPARE(otherAnswers, otherRequester && !cacheGoes ? 1 : 0);
}

// A conversion under the old format answers its requester but is not kept under the new one.
void TestPictureCache::formatChangedWhileConverting()
{
    const QString path = pathOf(QStringLiteral("a.jpg"));
    writeFile(path, encode(quadrants(QSize(1600, 1200))));
    auto cache = makeCache(defaults);
    QObject context;
    QByteArray before;
    QByteArray after;
    cache->requestPicture(path, &context, [&before](const QByteArray &jpeg) { before = jpeg; });
    cache->setFormat({ 1280, 720, wide, true, false, true, 16, 235 });
    cache->requestPicture(path, &context, [&after](const QByteArray &jpeg) { after = jpeg; });
    QTRY_VERIFY(!before.isEmpty() && !after.isEmpty());
    QCOMPARE(decoded(before).size(), QSize(720, 576));
    QCOMPARE(decoded(after).size(), QSize(1280, 720));
    QCOMPARE(cache->cachedCount(), 1);
    QCOMPARE(decoded(cache->convertedPicture(path)).size(), QSize(1280, 720));
}
QTEST_MAIN(TestPictureCache)
#include "tst_picturecache.moc"
