#include "picture/pictureformat.h"

#include <QTest>

#include <cmath>
#include <limits>

class TestPictureFormat : public QObject
{
    Q_OBJECT

private slots:
    void fittedSize_data();
    void fittedSize();
    void canvasSize_data();
    void canvasSize();
    void compressionTable_data();
    void compressionTable();
    void scaledDecodeSize_data();
    void scaledDecodeSize();
};

namespace {

constexpr double fourThree = 4.0 / 3.0;
constexpr double wide = 16.0 / 9.0;

PictureFormat format(uint width, uint height, double ratio, bool squarePixels)
{
    PictureFormat f;
    f.width = width;
    f.height = height;
    f.screenRatio = ratio;
    f.squarePixels = squarePixels;
    return f;
}

} // namespace

void TestPictureFormat::fittedSize_data()
{
    // clang-format off
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<uint>("width");
    QTest::addColumn<uint>("height");
    QTest::addColumn<double>("ratio");
    QTest::addColumn<bool>("square");
    QTest::addColumn<QSize>("fitted");

    QTest::newRow("1600x1200 PAL 4:3 stretched") << QSize(1600, 1200) << 720u << 576u << fourThree << false << QSize(720, 576);
    QTest::newRow("1600x1200 PAL 4:3 square") << QSize(1600, 1200) << 720u << 576u << fourThree << true << QSize(768, 576);
    QTest::newRow("1600x1200 PAL 16:9 stretched") << QSize(1600, 1200) << 720u << 576u << wide << false << QSize(540, 576);
    QTest::newRow("1600x1200 PAL 16:9 square") << QSize(1600, 1200) << 720u << 576u << wide << true << QSize(768, 576);
    QTest::newRow("1200x1600 PAL 4:3 stretched") << QSize(1200, 1600) << 720u << 576u << fourThree << false << QSize(405, 576);
    QTest::newRow("1200x1600 PAL 4:3 square") << QSize(1200, 1600) << 720u << 576u << fourThree << true << QSize(432, 576);
    QTest::newRow("1920x1080 fills PAL 16:9") << QSize(1920, 1080) << 720u << 576u << wide << false << QSize(720, 576);
    QTest::newRow("wider than screen, stretched") << QSize(3000, 1000) << 720u << 576u << wide << false << QSize(720, 341);
    QTest::newRow("wider than screen, square") << QSize(3000, 1000) << 720u << 576u << wide << true << QSize(1024, 341);
    QTest::newRow("small picture is enlarged") << QSize(160, 120) << 1920u << 1080u << wide << false << QSize(1440, 1080);
    QTest::newRow("NTSC 4:3 square") << QSize(800, 600) << 720u << 480u << fourThree << true << QSize(640, 480);
    // Extreme shapes keep one pixel instead of collapsing to an image that cannot be encoded.
    QTest::newRow("one-pixel line, stretched") << QSize(8000, 1) << 720u << 576u << wide << false << QSize(720, 1);
    QTest::newRow("one-pixel line, square") << QSize(8000, 1) << 720u << 576u << wide << true << QSize(1024, 1);
    QTest::newRow("one-pixel column, stretched") << QSize(1, 8000) << 720u << 576u << wide << false << QSize(1, 576);
    QTest::newRow("empty picture") << QSize(0, 0) << 720u << 576u << wide << false << QSize();
    // clang-format on
}

void TestPictureFormat::fittedSize()
{
    QFETCH(QSize, picture);
    QFETCH(uint, width);
    QFETCH(uint, height);
    QFETCH(double, ratio);
    QFETCH(bool, square);
    QFETCH(QSize, fitted);
    QCOMPARE(format(width, height, ratio, square).fittedSize(picture), fitted);
}

void TestPictureFormat::canvasSize_data()
{
    // clang-format off
    QTest::addColumn<uint>("width");
    QTest::addColumn<uint>("height");
    QTest::addColumn<double>("ratio");
    QTest::addColumn<bool>("square");
    QTest::addColumn<QSize>("canvas");

    QTest::newRow("PAL 16:9 stretched") << 720u << 576u << wide << false << QSize(720, 576);
    QTest::newRow("PAL 16:9 square") << 720u << 576u << wide << true << QSize(1024, 576);
    QTest::newRow("PAL 4:3 square") << 720u << 576u << fourThree << true << QSize(768, 576);
    QTest::newRow("NTSC 16:9 square") << 720u << 480u << wide << true << QSize(853, 480);
    QTest::newRow("HDTV 1080 square") << 1920u << 1080u << wide << true << QSize(1920, 1080);
    QTest::newRow("zero raster") << 0u << 0u << wide << false << QSize(1, 1);
    QTest::newRow("NaN ratio") << 720u << 576u << std::nan("") << true << QSize(1, 576);
    QTest::newRow("infinite ratio") << 720u << 576u << std::numeric_limits<double>::infinity()
                                    << true << QSize(32768, 576);
    // clang-format on
}

void TestPictureFormat::canvasSize()
{
    QFETCH(uint, width);
    QFETCH(uint, height);
    QFETCH(double, ratio);
    QFETCH(bool, square);
    QFETCH(QSize, canvas);
    QCOMPARE(format(width, height, ratio, square).canvasSize(), canvas);
}

void TestPictureFormat::compressionTable_data()
{
    // clang-format off
    QTest::addColumn<uint>("low");
    QTest::addColumn<uint>("high");
    QTest::addColumn<int>("input");
    QTest::addColumn<int>("output");

    QTest::newRow("black to 16") << 16u << 235u << 0 << 16;
    QTest::newRow("white to 235") << 16u << 235u << 255 << 235;
    QTest::newRow("128 to 125") << 16u << 235u << 128 << 125;
    QTest::newRow("254 rounds down") << 16u << 235u << 254 << 16 + (254 * 219) / 255;
    QTest::newRow("full range is identity at 1") << 0u << 255u << 1 << 1;
    QTest::newRow("full range is identity at 200") << 0u << 255u << 200 << 200;
    QTest::newRow("flat range") << 50u << 50u << 255 << 50;
    // Bounds the configuration file does not check: reversed, and beyond a byte.
    QTest::newRow("reversed, black") << 235u << 16u << 0 << 235;
    QTest::newRow("reversed, white") << 235u << 16u << 255 << 16;
    QTest::newRow("reversed floors down") << 235u << 16u << 1 << 234;
    QTest::newRow("maximum above a byte") << 0u << 1000u << 128 << 255;
    QTest::newRow("minimum above a byte") << 300u << 400u << 0 << 255;
    QTest::newRow("huge maximum") << 0u << 0xFFFFFFFFu << 255 << 255;
    // clang-format on
}

void TestPictureFormat::compressionTable()
{
    QFETCH(uint, low);
    QFETCH(uint, high);
    QFETCH(int, input);
    QFETCH(int, output);
    PictureFormat f;
    f.compressMin = low;
    f.compressMax = high;
    QCOMPARE(int(f.compressionTable()[size_t(input)]), output);
}

void TestPictureFormat::scaledDecodeSize_data()
{
    // clang-format off
    QTest::addColumn<QSize>("stored");
    QTest::addColumn<QSize>("fitted");
    QTest::addColumn<QSize>("decode");

    QTest::newRow("6000x4000 to PAL: quarter") << QSize(6000, 4000) << QSize(720, 480) << QSize(1500, 1000);
    QTest::newRow("6000x4000 to PAL 16:9: quarter") << QSize(6000, 4000) << QSize(608, 576) << QSize(1500, 1000);
    QTest::newRow("eighth when it is still 1.5 times") << QSize(12000, 9000) << QSize(720, 540) << QSize(1500, 1125);
    QTest::newRow("half only") << QSize(4000, 3000) << QSize(720, 576) << QSize(2000, 1500);
    QTest::newRow("both directions must reach 1.5 times") << QSize(6000, 4000) << QSize(540, 700) << QSize(3000, 2000);
    QTest::newRow("too small to reduce") << QSize(1600, 1200) << QSize(720, 576) << QSize(1600, 1200);
    QTest::newRow("enlarged picture") << QSize(160, 120) << QSize(720, 576) << QSize(160, 120);
    // Sizes that do not divide evenly round down, so the decoder's own choice of scale
    // lands on the same reduction and not on the next finer one.
    QTest::newRow("odd size rounds down") << QSize(6001, 4001) << QSize(720, 480) << QSize(1500, 1000);
    QTest::newRow("exactly 1.5 times") << QSize(4320, 3456) << QSize(720, 576) << QSize(1080, 864);
    QTest::newRow("just below 1.5 times") << QSize(4312, 3456) << QSize(720, 576) << QSize(2156, 1728);
    // clang-format on
}

void TestPictureFormat::scaledDecodeSize()
{
    QFETCH(QSize, stored);
    QFETCH(QSize, fitted);
    QFETCH(QSize, decode);
    QCOMPARE(::scaledDecodeSize(stored, fitted), decode);
}

QTEST_APPLESS_MAIN(TestPictureFormat)
#include "tst_pictureformat.moc"
