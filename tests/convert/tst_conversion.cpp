#include "convert/conversion.h"
#include "convert/conversions.h"
#include "convert/ffmpegcommand.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>

#include <memory>

namespace {

bool run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitCode() != 0)
        return false;
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}

// What ffprobe makes of the bytes in `path`: the container, and the codec of each stream.
QStringList probe(const QString &path, double *duration)
{
    QByteArray json;
    if (!run(QStringLiteral("ffprobe"),
            { QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_format"),
                QStringLiteral("-show_streams"), QStringLiteral("-of"), QStringLiteral("json"),
                path },
            &json)) {
        return {};
    }
    const QJsonObject top = QJsonDocument::fromJson(json).object();
    QStringList found {
        top.value(QLatin1String("format")).toObject().value(QLatin1String("format_name")).toString()
    };
    *duration = top.value(QLatin1String("format"))
                    .toObject()
                    .value(QLatin1String("duration"))
                    .toString()
                    .toDouble();
    for (const QJsonValue stream : top.value(QLatin1String("streams")).toArray())
        found << stream.toObject().value(QLatin1String("codec_name")).toString();
    return found;
}

ConversionPlan remux()
{
    ConversionPlan plan;
    plan.kind = ConversionPlan::Kind::Remux;
    plan.container = "mpegts";
    plan.videoStream = 0;
    plan.audioStream = 1;
    return plan;
}

} // namespace

class TestConversion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void converts_data();
    void converts();
    void slowReaderAndGoing();
    void failsBeforeBytes();
    void limit();

private:
    // Reads everything the conversion makes into `path`; the time to its first bytes.
    qint64 drain(Conversion &conversion, const QString &path);

    QTemporaryDir dir;
    QString ffmpeg;
    QString film;
};

void TestConversion::initTestCase()
{
    ffmpeg = FfmpegCommand::program();
    if (ffmpeg.isEmpty())
        QSKIP("no ffmpeg on PATH");
    film = dir.filePath(QStringLiteral("film.mkv"));
    // H.264 with a key frame a second, and AAC: 30 s in Matroska.
    QVERIFY(run(ffmpeg,
        QStringLiteral("-nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "
                       "sine=frequency=440:sample_rate=48000 -t 30 -c:v libx264 -preset ultrafast "
                       "-g 25 -pix_fmt yuv420p -c:a aac")
                .split(QLatin1Char(' '))
            << film));
    QFile subtitle(dir.filePath(QStringLiteral("it's [a],b;c:d\\e=f .srt")));
    QVERIFY(subtitle.open(QIODevice::WriteOnly));
    subtitle.write("1\n00:00:00,000 --> 00:00:05,000\nHello\n");
}

qint64 TestConversion::drain(Conversion &conversion, const QString &path)
{
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return -1;
    QElapsedTimer clock;
    clock.start();
    qint64 first = -1;
    char block[65536];
    while (!conversion.atEnd() && clock.elapsed() < 60000) {
        const qint64 got = conversion.read(block, sizeof block);
        if (got > 0) {
            if (first < 0)
                first = clock.elapsed();
            out.write(block, got);
        } else {
            QSignalSpy ready(&conversion, &Conversion::readyRead);
            ready.wait(1000);
        }
    }
    return first;
}

void TestConversion::converts_data()
{
    QTest::addColumn<ConversionPlan>("plan");
    QTest::addColumn<QString>("inputName");
    QTest::addColumn<double>("start");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<double>("shortest");
    QTest::addColumn<double>("longest");

    QTest::addRow("remux") << remux() << QString() << 0.0
                           << QStringList { QStringLiteral("mpegts"), QStringLiteral("h264"),
                                  QStringLiteral("aac") }
                           << 29.0 << 31.0;
    QTest::addRow("time seek") << remux() << QString() << 20.0
                               << QStringList { QStringLiteral("mpegts"), QStringLiteral("h264"),
                                      QStringLiteral("aac") }
                               << 9.0 << 12.0;
    ConversionPlan full = remux();
    full.kind = ConversionPlan::Kind::Full;
    full.videoCodec = "libx264";
    full.audioCodec = "ac3";
    full.maxWidth = 160;
    // Hostile names for the input and for the subtitle burnt in: they must arrive whole.
    full.subtitleFile = dir.filePath(QStringLiteral("it's [a],b;c:d\\e=f .srt"));
    QTest::addRow("full, burnt subtitle, hostile names")
        << full << QStringLiteral("-it's [b]:c.mkv") << 25.0
        << QStringList { QStringLiteral("mpegts"), QStringLiteral("h264"), QStringLiteral("ac3") }
        << 4.0 << 6.0;
    // As the server gives them: opened files handed over, read through /proc/self/fd.
    full.subtitleFile = QStringLiteral("/proc/self/fd/4");
    QTest::addRow("full, input and subtitle as descriptors")
        << full << QStringLiteral("/proc/self/fd/3") << 25.0
        << QStringList { QStringLiteral("mpegts"), QStringLiteral("h264"), QStringLiteral("ac3") }
        << 4.0 << 6.0;
    full.subtitleFile.clear();
    full.container = "mp4";
    QTest::addRow("full to mp4") << full << QString() << 27.0
                                 << QStringList { QStringLiteral("mov,mp4,m4a,3gp,3g2,mj2"),
                                        QStringLiteral("h264"), QStringLiteral("ac3") }
                                 << 2.0 << 4.0;
}

void TestConversion::converts()
{
    QFETCH(ConversionPlan, plan);
    QFETCH(QString, inputName);
    QFETCH(double, start);
    QString input = film;
    QList<int> descriptors;
    if (inputName.startsWith(QLatin1String("/proc/"))) {
        input = inputName;
        for (const QString &path :
            { film, dir.filePath(QStringLiteral("it's [a],b;c:d\\e=f .srt")) })
            descriptors << ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    } else if (!inputName.isEmpty()) {
        input = dir.filePath(inputName);
        QFile::remove(input);
        QVERIFY(QFile::copy(film, input));
    }
    Conversion conversion;
    QVERIFY(conversion.start(
        ffmpeg, FfmpegCommand::arguments(plan, input, { start, -1 }), descriptors));
    const QString made = dir.filePath(QStringLiteral("made"));
    const qint64 first = drain(conversion, made);
    QCOMPARE(conversion.state(), Conversion::State::Finished);
    QVERIFY2(first >= 0 && first < 2000, qPrintable(QString::number(first)));
    double duration = 0;
    QTEST(probe(made, &duration), "expected");
    QFETCH(double, shortest);
    QFETCH(double, longest);
    QVERIFY2(duration > shortest && duration < longest, qPrintable(QString::number(duration)));
}

void TestConversion::slowReaderAndGoing()
{
    auto conversion = std::make_unique<Conversion>();
    conversion->setBufferLimit(64 * 1024);
    QVERIFY(conversion->start(ffmpeg, FfmpegCommand::arguments(remux(), film)));
    const QString proc = QStringLiteral("/proc/%1").arg(conversion->processId());
    QTRY_COMPARE(conversion->bytesAvailable(), 64 * 1024);
    // Nothing taken: the process waits on its pipe, and no more is held here.
    QTest::qWait(300);
    QCOMPARE(conversion->bytesAvailable(), 64 * 1024);
    QCOMPARE(conversion->state(), Conversion::State::Streaming);
    QVERIFY(QFile::exists(proc));
    conversion.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(proc), 1000);
}

void TestConversion::failsBeforeBytes()
{
    const QString notMedia = dir.filePath(QStringLiteral("notes.mkv"));
    QFile file(notMedia);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("not a film\n");
    file.close();
    Conversion conversion;
    QSignalSpy failed(&conversion, &Conversion::failed);
    QVERIFY(conversion.start(ffmpeg, FfmpegCommand::arguments(remux(), notMedia)));
    QTRY_COMPARE(failed.count(), 1);
    QCOMPARE(conversion.state(), Conversion::State::Failed);
    QVERIFY(conversion.atEnd());
    QVERIFY(conversion.errorString().contains(QLatin1String("notes.mkv")));

    Conversion missing;
    QSignalSpy none(&missing, &Conversion::failed);
    missing.start(dir.filePath(QStringLiteral("no-ffmpeg")), {});
    QTRY_COMPARE(none.count(), 1);
    QCOMPARE(missing.state(), Conversion::State::Failed);
}

void TestConversion::limit()
{
    Conversions conversions;
    conversions.setLimit(1);
    QSignalSpy counted(&conversions, &Conversions::countChanged);
    std::unique_ptr<Conversion> first(conversions.create());
    QVERIFY(first);
    QVERIFY(!conversions.create());
    // Its process over, it leaves room, though its bytes still wait for a reader.
    first->start(ffmpeg, FfmpegCommand::arguments(remux(), film, { 29, -1 }));
    QTRY_COMPARE(conversions.count(), 0);
    QVERIFY(first->bytesAvailable() > 0);
    std::unique_ptr<Conversion> again(conversions.create());
    QVERIFY(again);
    first.reset();
    QCOMPARE(conversions.count(), 1);
    again.reset();
    QCOMPARE(conversions.count(), 0);
    QCOMPARE(counted.count(), 4);
}

QTEST_GUILESS_MAIN(TestConversion)
#include "tst_conversion.moc"
