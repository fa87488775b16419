#include "convert/ffmpegcommand.h"
#include "upnp/convertedresource.h"

#include <QTest>

namespace {

ConversionPlan plan(ConversionPlan::Kind kind, const char *video, const char *audio,
    const char *container = "mpegts")
{
    ConversionPlan p;
    p.kind = kind;
    p.container = container;
    p.videoCodec = video;
    p.audioCodec = audio;
    p.videoStream = 0;
    p.audioStream = 1;
    return p;
}

QStringList split(const char *words)
{
    return QString::fromUtf8(words).split(QLatin1Char('|'));
}

} // namespace

class TestFfmpegCommand : public QObject
{
    Q_OBJECT

private slots:
    void arguments_data();
    void arguments();
    void timeSeek_data();
    void timeSeek();
};

void TestFfmpegCommand::arguments_data()
{
    QTest::addColumn<ConversionPlan>("plan");
    QTest::addColumn<QString>("input");
    QTest::addColumn<double>("start");
    QTest::addColumn<QStringList>("expected");

    QTest::addRow("remux")
        << plan(ConversionPlan::Kind::Remux, "copy", "copy") << QStringLiteral("/v/a.mkv") << 0.0
        << split("-nostdin|-hide_banner|-loglevel|error|-protocol_whitelist|file|-i|file:/v/"
                 "a.mkv|-map|0:0|-map|0:1|"
                 "-c:v|copy|-c:a|copy|-max_muxing_queue_size|1024|-f|mpegts|pipe:1");
    // A name that looks like an option (or a protocol: "file:" comes first) stays a file name.
    QTest::addRow("option-like name, time seek")
        << plan(ConversionPlan::Kind::Remux, "copy", "copy") << QStringLiteral("-y") << 10.5
        << split("-nostdin|-hide_banner|-loglevel|error|-ss|10.500|-protocol_whitelist|file|-i|"
                 "file:-y|-map|0:0|-map|0:1|"
                 "-c:v|copy|-c:a|copy|-max_muxing_queue_size|1024|-f|mpegts|pipe:1");
    ConversionPlan audio = plan(ConversionPlan::Kind::AudioOnly, "copy", "ac3");
    audio.audioBitrate = 384000;
    audio.audioChannels = 6;
    QTest::addRow("audio only")
        << audio << QStringLiteral("/v/a.mkv") << 0.0
        << split("-nostdin|-hide_banner|-loglevel|error|-protocol_whitelist|file|-i|file:/v/a.mkv|"
                 "-map|0:0|-map|0:1|-c:v|copy|-c:a|ac3|-b:a|384000|-ac|6|"
                 "-max_muxing_queue_size|1024|-f|mpegts|pipe:1");
    ConversionPlan full = plan(ConversionPlan::Kind::Full, "libx264", "aac", "mp4");
    full.maxWidth = 1920;
    full.maxHeight = 1080;
    full.videoBitrate = 8000000;
    full.videoStream = 2;
    full.audioStream = -1;
    QTest::addRow("full to mp4, bounded")
        << full << QStringLiteral("/v/a.mkv") << 0.0
        << split("-nostdin|-hide_banner|-loglevel|error|-protocol_whitelist|file|-i|file:/v/"
                 "a.mkv|-map|0:2|-c:v|libx264|"
                 "-preset|veryfast|-tune|zerolatency|-b:v|8000000|-maxrate|8000000|-bufsize|"
                 "16000000|-pix_fmt|yuv420p|-vf|scale=w=1920:h=1080:force_original_aspect_ratio="
                 "decrease:force_divisible_by=2|-c:a|aac|-max_muxing_queue_size|1024|-f|mp4|"
                 "-movflags|frag_keyframe+empty_moov+delay_moov+default_base_moof|pipe:1");
    ConversionPlan mpeg2 = plan(ConversionPlan::Kind::VideoOnly, "mpeg2video", "copy");
    mpeg2.videoStream = mpeg2.audioStream = -1;
    QTest::addRow("mpeg-2, first streams")
        << mpeg2 << QStringLiteral("/v/a.avi") << 0.0
        << split("-nostdin|-hide_banner|-loglevel|error|-protocol_whitelist|file|-i|file:/v/"
                 "a.avi|-map|0:v:0?|-map|0:a:0?|"
                 "-c:v|mpeg2video|-q:v|3|-pix_fmt|yuv420p|-c:a|copy|-max_muxing_queue_size|1024|"
                 "-f|mpegts|pipe:1");
    // Burnt-in subtitles: every character the option and graph parsers give a meaning to is
    // escaped twice, so the name arrives whole.
    ConversionPlan burnt = plan(ConversionPlan::Kind::Full, "libx264", "copy");
    burnt.subtitleFile = QStringLiteral("/s/it's [a],b;c:d\\e=f.srt");
    QTest::addRow("subtitle file with quote, brackets, colon")
        << burnt << QStringLiteral("/v/a.mkv") << 0.0
        << split("-nostdin|-hide_banner|-loglevel|error|-protocol_whitelist|file|-i|file:/v/"
                 "a.mkv|-map|0:0|-map|0:1|"
                 "-c:v|libx264|-preset|veryfast|-tune|zerolatency|-pix_fmt|yuv420p|-vf|"
                 "subtitles=filename=file\\\\\\:/s/it\\\\\\'s\\\\\\ \\\\\\[a\\\\\\]\\\\\\,"
                 "b\\\\\\;c\\\\\\:d\\\\\\\\e\\\\\\=f.srt|-c:a|copy|-max_muxing_queue_size|1024|"
                 "-f|mpegts|pipe:1");
    ConversionPlan inner = plan(ConversionPlan::Kind::Full, "libx264", "copy");
    inner.subtitleStream = 1;
    QTest::addRow("subtitle stream of the input")
        << inner << QStringLiteral("/proc/self/fd/3") << 0.0
        << split("-nostdin|-hide_banner|-loglevel|error|-protocol_whitelist|file|-i|file:/proc/"
                 "self/fd/3|-map|0:0|-map|0:1|"
                 "-c:v|libx264|-preset|veryfast|-tune|zerolatency|-pix_fmt|yuv420p|-vf|"
                 "subtitles=filename=file\\\\\\:/proc/self/fd/3:si=1|-c:a|copy|"
                 "-max_muxing_queue_size|1024|-f|mpegts|pipe:1");
}

void TestFfmpegCommand::arguments()
{
    QFETCH(ConversionPlan, plan);
    QFETCH(QString, input);
    QFETCH(double, start);
    QFETCH(QStringList, expected);
    QCOMPARE(FfmpegCommand::arguments(plan, input, { start, -1 }), expected);
}

void TestFfmpegCommand::timeSeek_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("end");
    QTest::addColumn<QByteArray>("answer");

    QTest::addRow("seconds, open")
        << QByteArray("npt=10-") << true << 10.0 << -1.0 << QByteArray("npt=10.000-60.000/60.000");
    QTest::addRow("clock, closed") << QByteArray(" npt=0:00:10.5-0:01:00 ") << true << 10.5 << 60.0
                                   << QByteArray("npt=10.500-60.000/60.000");
    QTest::addRow("end before start")
        << QByteArray("npt=20-10") << false << 0.0 << 0.0 << QByteArray();
    QTest::addRow("minutes past 59")
        << QByteArray("npt=0:60:00-") << false << 0.0 << 0.0 << QByteArray();
    QTest::addRow("negative") << QByteArray("npt=-5-") << false << 0.0 << 0.0 << QByteArray();
    QTest::addRow("bytes") << QByteArray("bytes=0-") << false << 0.0 << 0.0 << QByteArray();
    QTest::addRow("garbage") << QByteArray("npt=1e9-") << false << 0.0 << 0.0 << QByteArray();
}

void TestFfmpegCommand::timeSeek()
{
    QFETCH(QByteArray, header);
    QFETCH(bool, valid);
    const ConvertedResource::TimeSeek seek = ConvertedResource::TimeSeek::parse(header);
    QVERIFY(seek.asked);
    QCOMPARE(seek.valid, valid);
    if (!valid)
        return;
    QTEST(seek.start, "start");
    QTEST(seek.end, "end");
    QTEST(seek.answer(60000), "answer");
}

QTEST_GUILESS_MAIN(TestFfmpegCommand)
#include "tst_ffmpegcommand.moc"
