#include "convert/clientprofiles.h"
#include "convert/decision.h"
#include "convert/ffmpegcapabilities.h"

#include <QTest>

Q_DECLARE_METATYPE(MediaDetails)
Q_DECLARE_METATYPE(ConversionPlan::Kind)

namespace {

StreamDetails video(const char *codec, const char *profile, int level, int width, int height,
    const char *pixelFormat = "yuv420p", int index = 0)
{
    StreamDetails stream;
    stream.kind = StreamDetails::Kind::Video;
    stream.index = index;
    stream.codec = QLatin1String(codec);
    stream.profile = QLatin1String(profile);
    stream.level = level;
    stream.width = width;
    stream.height = height;
    stream.frameRate = 23.976;
    stream.pixelFormat = QLatin1String(pixelFormat);
    return stream;
}

StreamDetails audio(
    const char *codec, int channels, int sampleRate, int index = 1, bool isDefault = false)
{
    StreamDetails stream;
    stream.kind = StreamDetails::Kind::Audio;
    stream.index = index;
    stream.codec = QLatin1String(codec);
    stream.profile = stream.codec == QLatin1String("aac") ? QStringLiteral("LC") : QString();
    stream.channels = channels;
    stream.sampleRate = sampleRate;
    stream.bitrate = 192000;
    stream.isDefault = isDefault;
    return stream;
}

MediaDetails media(const char *container, QList<StreamDetails> streams)
{
    MediaDetails details;
    details.container = QLatin1String(container);
    details.streams = streams;
    details.durationMs = 5400000;
    return details;
}

// The fields a row names, as "key=value" words, so a row states only what it is about.
QString described(const ConversionPlan &plan, const QString &keys)
{
    QStringList words;
    for (const QString &key : keys.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString name = key.section(QLatin1Char('='), 0, 0);
        QString value;
        if (name == QLatin1String("size"))
            value = QString::number(plan.maxWidth) + QLatin1Char('x')
                + QString::number(plan.maxHeight);
        else if (name == QLatin1String("streams"))
            value = QString::number(plan.videoStream) + QLatin1Char(',')
                + QString::number(plan.audioStream);
        else if (name == QLatin1String("audio"))
            value = QString::number(plan.audioChannels) + QLatin1Char('@')
                + QString::number(plan.audioSampleRate);
        else if (name == QLatin1String("h264"))
            value = QString::fromLatin1(plan.videoProfile) + QLatin1Char('@')
                + QString::number(plan.videoLevel);
        else if (name == QLatin1String("sub"))
            value = plan.subtitleFile;
        else if (name == QLatin1String("ext"))
            value = QString::fromLatin1(plan.extension);
        words.append(name + QLatin1Char('=') + value);
    }
    return words.join(QLatin1Char(' '));
}

const char *const mkv = "matroska,webm";
const char *const mp4 = "mov,mp4,m4a,3gp,3g2,mj2";

} // namespace

class tst_Decision : public QObject
{
    Q_OBJECT

private slots:
    void decide_data();
    void decide();
    void capabilities_data();
    void capabilities();
};

void tst_Decision::decide_data()
{
    QTest::addColumn<MediaDetails>("file");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("profile");
    // Encoders beyond ffmpeg's own (libx264, libmp3lame), and a subtitle to burn in.
    QTest::addColumn<bool>("libraries");
    QTest::addColumn<QString>("subtitle");
    QTest::addColumn<ConversionPlan::Kind>("kind");
    QTest::addColumn<QByteArray>("container");
    QTest::addColumn<QByteArray>("videoCodec");
    QTest::addColumn<QByteArray>("audioCodec");
    QTest::addColumn<QByteArray>("mimeType");
    QTest::addColumn<QByteArray>("dlnaProfile");
    QTest::addColumn<QString>("more");

    using K = ConversionPlan::Kind;
    const auto row = [](const char *label, const MediaDetails &file, const char *name,
                         const char *profile, K kind, const char *container, const char *v,
                         const char *a, const char *mime, const char *pn, const char *more = "",
                         bool libraries = true, const char *subtitle = "") {
        QTest::newRow(label) << file << QString::fromLatin1(name) << QString::fromLatin1(profile)
                             << libraries << QString::fromLatin1(subtitle) << kind
                             << QByteArray(container) << QByteArray(v) << QByteArray(a)
                             << QByteArray(mime) << QByteArray(pn) << QString::fromLatin1(more);
    };
    const StreamDetails hevc = video("hevc", "Main 10", 150, 3840, 2160, "yuv420p10le");
    const StreamDetails h264 = video("h264", "High", 41, 1920, 1080);
    const StreamDetails aac = audio("aac", 2, 48000);
    const StreamDetails dts = audio("dts", 6, 48000);
    const MediaDetails hevcDts = media(mkv, { hevc, dts });
    const MediaDetails h264Aac = media(mkv, { h264, aac });

    row("HEVC/DTS to PS3: both", hevcDts, "film.mkv", "ps3", K::Full, "mpegts", "libx264", "ac3",
        "video/mpeg", "AVC_TS_HD_24_AC3_ISO", "size=1920x1080 h264=high@41 audio=6@48000 ext=ts");
    row("HEVC/DTS to PS3 without libx264: MPEG-2", hevcDts, "film.mkv", "ps3", K::Full, "mpegts",
        "mpeg2video", "ac3", "video/mp2t", "", "size=1920x1080", false);
    row("HEVC/DTS to Samsung: the sound", hevcDts, "film.mkv", "samsung-tizen", K::AudioOnly,
        "mpegts", "copy", "ac3", "video/mp2t", "", "size=0x0 audio=6@48000");
    row("HEVC/DTS to LG: the sound", hevcDts, "film.mkv", "lg-webos", K::AudioOnly, "mpegts",
        "copy", "ac3", "video/mp2t", "");
    row("HEVC/DTS to Xbox One: Matroska kept", hevcDts, "film.mkv", "xbox-one", K::AudioOnly,
        "matroska", "copy", "ac3", "video/x-matroska", "", "ext=mkv");
    row("HEVC/DTS to BubbleUPnP: 10 bits too deep, AAC", hevcDts, "film.mkv", "bubbleupnp", K::Full,
        "matroska", "libx264", "aac", "video/x-matroska", "", "size=1920x1080 audio=6@48000");
    row("HEVC/DTS plays everything", hevcDts, "film.mkv", "everything", K::Original, "", "copy",
        "copy", "video/x-matroska", "", "ext=mkv");
    row("HEVC/DTS to Kodi", hevcDts, "film.mkv", "kodi", K::Original, "", "copy", "copy",
        "video/x-matroska", "");
    row("H.264/AAC MKV to Xbox 360: MP4", h264Aac, "film.mkv", "xbox360", K::Remux, "mp4", "copy",
        "copy", "video/mp4", "AVC_MP4_HP_HD_AAC", "streams=0,1 ext=mp4");
    row("H.264/AAC MKV to VLC", h264Aac, "film.mkv", "vlc", K::Original, "", "copy", "copy",
        "video/x-matroska", "");
    row("H.264/AAC MKV to Samsung: its MIME type", h264Aac, "film.mkv", "samsung-tizen",
        K::Original, "", "copy", "copy", "video/x-mkv", "");
    row("H.264/AAC MKV to the unknown: TS", h264Aac, "film.mkv", "generic", K::Remux, "mpegts",
        "copy", "copy", "video/mp2t", "");
    row("H.264/DTS TS to the unknown: the sound",
        media("mpegts", { video("h264", "High", 13, 320, 240), audio("dts", 1, 48000) }), "clip.ts",
        "generic", K::AudioOnly, "mpegts", "copy", "ac3", "video/mp2t", "");
    row("H.264/AAC MP4 to PS3", media(mp4, { h264, aac }), "film.mp4", "ps3", K::Original, "",
        "copy", "copy", "video/mp4", "AVC_MP4_HP_HD_AAC");
    row("H.264 level 5.1 to PS3: the picture",
        media(mp4, { video("h264", "High", 51, 3840, 2160), aac }), "film.mp4", "ps3", K::VideoOnly,
        "mpegts", "libx264", "copy", "video/mp2t", "", "size=1920x1080 h264=high@41");
    row("High 10 to Xbox 360",
        media(mp4, { video("h264", "High 10", 41, 1280, 720, "yuv420p10le"), aac }), "film.mp4",
        "xbox360", K::VideoOnly, "mp4", "libx264", "copy", "video/mp4", "AVC_MP4_HP_HD_AAC",
        "size=0x0 h264=high@41");
    row("DTS default, AC-3 second, to Sony: the AC-3 copied",
        media(mkv, { h264, audio("dts", 6, 48000, 1, true), audio("ac3", 6, 48000, 2) }),
        "film.mkv", "sony-bravia", K::Remux, "mpegts", "copy", "copy", "video/mpeg",
        "AVC_TS_HD_24_AC3_ISO", "streams=0,2");
    row("MPEG-2 DVD to Panasonic",
        media("mpeg",
            { [] {
                 StreamDetails v = video("mpeg2video", "Main", 8, 720, 576);
                 v.frameRate = 25;
                 return v;
             }(),
                audio("ac3", 2, 48000) }),
        "dvd.mpg", "panasonic-viera", K::Original, "", "copy", "copy", "video/mpeg", "MPEG_PS_PAL");
    row("Xvid AVI to WMP: its MIME type",
        media("avi",
            { video("mpeg4", "Advanced Simple Profile", 5, 720, 400), audio("mp3", 2, 44100) }),
        "old.avi", "wmp", K::Original, "", "copy", "copy", "video/avi", "");
    row("AVI to PS4: MKV kept",
        media("avi", { video("h264", "High", 41, 1280, 720), audio("dts", 6, 48000) }), "film.avi",
        "ps4", K::AudioOnly, "matroska", "copy", "ac3", "video/x-matroska", "");
    row("silent video to PS3", media(mkv, { h264 }), "clip.mkv", "ps3", K::Remux, "mpegts", "copy",
        "copy", "video/mp2t", "", "streams=0,-1");
    row("text subtitle burnt for PS3", h264Aac, "film.mkv", "ps3", K::VideoOnly, "mpegts",
        "libx264", "copy", "video/mp2t", "", "sub=/m/film.srt", true, "/m/film.srt");
    row("Samsung shows the subtitle itself", h264Aac, "film.mkv", "samsung-tizen", K::Original, "",
        "copy", "copy", "video/x-mkv", "", "sub=", true, "/m/film.srt");

    const MediaDetails flac = media("flac", { audio("flac", 2, 96000, 0) });
    row("FLAC to PS3: LPCM", flac, "song.flac", "ps3", K::AudioOnly, "s16be", "copy", "pcm_s16be",
        "audio/L16;rate=48000;channels=2", "LPCM", "audio=2@48000 ext=lpcm");
    row("FLAC to BubbleUPnP", flac, "song.flac", "bubbleupnp", K::Original, "", "copy", "copy",
        "audio/flac", "");
    row("DTS to the unknown: MP3", media("dts", { audio("dts", 6, 48000, 0) }), "song.dts",
        "generic", K::AudioOnly, "mp3", "copy", "libmp3lame", "audio/mpeg", "MP3", "audio=2@48000");
    row("DTS without libmp3lame: LPCM", media("dts", { audio("dts", 6, 44100, 0) }), "song.dts",
        "generic", K::AudioOnly, "s16be", "copy", "pcm_s16be", "audio/L16;rate=44100;channels=2",
        "LPCM", "", false);
    row("Opus to PS4 without libmp3lame: as it is", media("ogg", { audio("opus", 2, 48000, 0) }),
        "song.opus", "ps4", K::Original, "", "copy", "copy", "", "", "ext=opus", false);
    row("Opus to Samsung: FLAC", media("ogg", { audio("opus", 6, 48000, 0) }), "song.opus",
        "samsung-tizen", K::AudioOnly, "flac", "copy", "flac", "audio/flac", "", "audio=2@48000");
    row("AAC in Matroska to BubbleUPnP: ADTS", media(mkv, { audio("aac", 2, 44100, 0) }),
        "song.mka", "bubbleupnp", K::Remux, "adts", "copy", "copy", "audio/vnd.dlna.adts",
        "AAC_ADTS_320");
    row("Opus to Xbox 360: MP3", media("ogg", { audio("opus", 2, 48000, 0) }), "song.opus",
        "xbox360", K::AudioOnly, "mp3", "copy", "libmp3lame", "audio/mpeg", "MP3");
}

void tst_Decision::decide()
{
    QFETCH(MediaDetails, file);
    QFETCH(QString, fileName);
    QFETCH(QString, profile);
    QFETCH(bool, libraries);
    QFETCH(QString, subtitle);
    QFETCH(ConversionPlan::Kind, kind);
    QFETCH(QString, more);

    static const ClientProfiles profiles;
    const ClientProfile *client = profiles.find(profile);
    QVERIFY(client);
    DecisionOptions options;
    if (libraries)
        options.encoders += { "libx264", "libmp3lame" };
    options.subtitleFile = subtitle;
    options.burnSubtitles = options.canBurnSubtitles = true;

    const ConversionPlan plan = ::decide(file, fileName, *client, options);
    QCOMPARE(plan.kind, kind);
    QTEST(plan.container, "container");
    QTEST(plan.videoCodec, "videoCodec");
    QTEST(plan.audioCodec, "audioCodec");
    QTEST(plan.mimeType, "mimeType");
    QTEST(plan.dlnaProfile, "dlnaProfile");
    QCOMPARE(described(plan, more), more);
}

// What the ffmpeg at hand lists (`-encoders`, `-filters`) is what is planned with; without one
// that answers, nothing is offered converted.
void tst_Decision::capabilities_data()
{
    QTest::addColumn<QByteArray>("encoders");
    QTest::addColumn<QByteArray>("filters");
    QTest::addColumn<bool>("converter");
    QTest::addColumn<bool>("x264");
    QTest::addColumn<bool>("burns");
    const QByteArray legend = "Encoders:\n V..... = Video\n A..... = Audio\n ------\n";
    QTest::newRow("Debian's") << legend
            + " V....D libx264   libx264 H.264\n A....D ac3  ATSC A/52A\n"
                              << QByteArray(
                                     " ... subtitles         V->V       Render text subtitles\n")
                              << true << true << true;
    QTest::newRow("without libx264 and libass")
        << legend + " V.S... mpeg2video  MPEG-2 video\n A....D ac3  ATSC A/52A\n"
        << QByteArray("  T.. = Timeline support\n ... scale  V->V  Scale the input video size.\n")
        << true << false << false;
    QTest::newRow("none that runs") << QByteArray() << QByteArray() << false << false << false;
}

void tst_Decision::capabilities()
{
    QFETCH(QByteArray, encoders);
    QFETCH(QByteArray, filters);
    const DecisionOptions options = FfmpegCapabilities::fromListings(encoders, filters);
    QTEST(options.converter, "converter");
    QTEST(options.encoders.contains("libx264"), "x264");
    QTEST(options.canBurnSubtitles, "burns");
    static const ClientProfiles profiles;
    const MediaDetails hevcDts = media("matroska,webm",
        { video("hevc", "Main 10", 150, 3840, 2160, "yuv420p10le"), audio("dts", 6, 48000) });
    const ConversionPlan plan = ::decide(
        hevcDts, QStringLiteral("film.mkv"), *profiles.find(QStringLiteral("ps3")), options);
    QCOMPARE(plan.isConversion(), options.converter);
}

QTEST_GUILESS_MAIN(tst_Decision)
#include "tst_decision.moc"
