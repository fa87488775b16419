#include "media/dlnaprofile.h"

#include <QTest>

Q_DECLARE_METATYPE(MediaDetails)

namespace {

StreamDetails video(
    const char *codec, const char *profile, int level, int width, int height, double frameRate)
{
    StreamDetails stream;
    stream.kind = StreamDetails::Kind::Video;
    stream.codec = QLatin1String(codec);
    stream.profile = QLatin1String(profile);
    stream.level = level;
    stream.width = width;
    stream.height = height;
    stream.frameRate = frameRate;
    return stream;
}

StreamDetails audio(
    const char *codec, const char *profile, int channels, int sampleRate, qint64 bitrate = 0)
{
    StreamDetails stream;
    stream.kind = StreamDetails::Kind::Audio;
    stream.codec = QLatin1String(codec);
    stream.profile = QLatin1String(profile);
    stream.channels = channels;
    stream.sampleRate = sampleRate;
    stream.bitrate = bitrate;
    return stream;
}

MediaDetails media(const char *container, QList<StreamDetails> streams, qint64 bitrate = 0,
    qint64 durationMs = 60000)
{
    MediaDetails details;
    details.container = QLatin1String(container);
    details.streams = streams;
    details.bitrate = bitrate;
    details.durationMs = durationMs;
    return details;
}

MediaDetails picture(const char *codec, int width, int height)
{
    return media(codec == QByteArray("png") ? "png_pipe" : "jpeg_pipe",
        { video(codec, "", -99, width, height, 25) }, 0, 40);
}

const char *const mp4 = "mov,mp4,m4a,3gp,3g2,mj2";

} // namespace

class tst_DlnaProfile : public QObject
{
    Q_OBJECT

private slots:
    void profile_data();
    void profile();
};

void tst_DlnaProfile::profile_data()
{
    QTest::addColumn<MediaDetails>("details");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("mimeType");

    const StreamDetails aac = audio("aac", "LC", 2, 48000, 128000);
    const StreamDetails aac51 = audio("aac", "LC", 6, 48000, 384000);
    const StreamDetails ac3 = audio("ac3", "", 6, 48000, 448000);
    const StreamDetails mp2 = audio("mp2", "", 2, 48000, 192000);
    const StreamDetails mp3 = audio("mp3", "", 2, 44100, 192000);
    const auto row = [](const char *label, const MediaDetails &details, const char *file,
                         const char *name, const char *mime) {
        QTest::newRow(label) << details << QString::fromLatin1(file) << QByteArray(name)
                             << QByteArray(mime);
    };

    // Audio.
    row("mp3", media("mp3", { mp3 }, 192000), "a.mp3", "MP3", "audio/mpeg");
    row("mp3 at 22 kHz: none", media("mp3", { audio("mp3", "", 2, 22050, 64000) }), "a.mp3", "",
        "audio/mpeg");
    row("mp3 above 320 kbit/s: none", media("mp3", { audio("mp3", "", 2, 44100, 448000) }), "a.mp3",
        "", "audio/mpeg");
    row("m4a at 256 kbit/s", media(mp4, { audio("aac", "LC", 2, 44100, 256000) }), "a.m4a",
        "AAC_ISO_320", "audio/mp4");
    row("m4a at 500 kbit/s", media(mp4, { audio("aac", "LC", 2, 44100, 500000) }), "a.m4a",
        "AAC_ISO", "audio/mp4");
    row("m4a, 5.1", media(mp4, { aac51 }), "a.m4a", "AAC_MULT5_ISO", "audio/mp4");
    row("m4a, HE-AAC: none", media(mp4, { audio("aac", "HE-AAC", 2, 44100, 64000) }), "a.m4a", "",
        "audio/mp4");
    row("m4a, ALAC: none", media(mp4, { audio("alac", "", 2, 44100, 900000) }), "a.m4a", "",
        "audio/mp4");
    row("adts", media("aac", { aac }), "a.aac", "AAC_ADTS_320", "audio/vnd.dlna.adts");
    row("adts at 400 kbit/s", media("aac", { audio("aac", "LC", 2, 48000, 400000) }), "a.aac",
        "AAC_ADTS", "audio/vnd.dlna.adts");
    row("raw 16-bit big-endian PCM", media("s16be", { audio("pcm_s16be", "", 2, 44100) }), "a.pcm",
        "LPCM", "audio/L16;rate=44100;channels=2");
    row("wav: none, its own type", media("wav", { audio("pcm_s16le", "", 2, 44100) }), "a.wav", "",
        "audio/wav");
    row("flac: none", media("flac", { audio("flac", "", 2, 96000) }), "a.flac", "", "audio/flac");
    row("mp3 with its cover is still audio",
        media("mp3",
            { mp3,
                [] {
                    StreamDetails cover = video("mjpeg", "", -99, 500, 500, 90000);
                    cover.attachedPicture = true;
                    return cover;
                }() }),
        "a.mp3", "MP3", "audio/mpeg");

    // Pictures.
    row("jpeg 160x120", picture("mjpeg", 160, 120), "p.jpg", "JPEG_TN", "image/jpeg");
    row("jpeg 640x480", picture("mjpeg", 640, 480), "p.jpg", "JPEG_SM", "image/jpeg");
    row("jpeg 1024x768", picture("mjpeg", 1024, 768), "p.jpg", "JPEG_MED", "image/jpeg");
    row("jpeg 4000x3000", picture("mjpeg", 4000, 3000), "p.jpg", "JPEG_LRG", "image/jpeg");
    row("jpeg 8000x6000: none", picture("mjpeg", 8000, 6000), "p.jpg", "", "image/jpeg");
    row("png 1920x1080", picture("png", 1920, 1080), "p.png", "PNG_LRG", "image/png");
    row("png 5000x5000: none", picture("png", 5000, 5000), "p.png", "", "image/png");

    row("motion JPEG film: no picture profile",
        media("avi", { video("mjpeg", "", -99, 640, 480, 25) }), "v.avi", "", "video/avi");

    // H.264 in MP4.
    row("mp4 baseline CIF 15",
        media(mp4, { video("h264", "Baseline", 12, 352, 288, 15), aac }, 500000), "v.mp4",
        "AVC_MP4_BL_CIF15_AAC_520", "video/mp4");
    row("mp4 baseline CIF 30",
        media(mp4, { video("h264", "Constrained Baseline", 13, 320, 240, 30), aac }, 900000),
        "v.mp4", "AVC_MP4_BL_CIF30_AAC_940", "video/mp4");
    row("mp4 main SD, 5.1 AAC", media(mp4, { video("h264", "Main", 30, 720, 576, 25), aac51 }),
        "v.mp4", "AVC_MP4_MP_SD_AAC_MULT5", "video/mp4");
    row("mp4 main SD, AC-3", media(mp4, { video("h264", "Main", 30, 720, 480, 29.97), ac3 }),
        "v.mp4", "AVC_MP4_MP_SD_AC3", "video/mp4");
    row("mp4 main SD, MP3", media(mp4, { video("h264", "Main", 30, 640, 480, 25), mp3 }), "v.mp4",
        "AVC_MP4_MP_SD_MPEG1_L3", "video/mp4");
    row("mp4 main 720p", media(mp4, { video("h264", "Main", 31, 1280, 720, 25), aac }), "v.mp4",
        "AVC_MP4_MP_HD_720p_AAC", "video/mp4");
    row("mp4 main 1080", media(mp4, { video("h264", "Main", 40, 1920, 1080, 25), aac }), "v.mp4",
        "AVC_MP4_MP_HD_1080i_AAC", "video/mp4");
    row("mp4 high 1080", media(mp4, { video("h264", "High", 41, 1920, 1080, 23.976), aac }),
        "v.m4v", "AVC_MP4_HP_HD_AAC", "video/mp4");
    row("mp4 high 1080 at level 5.1: none",
        media(mp4, { video("h264", "High", 51, 1920, 1080, 60), aac }), "v.mp4", "", "video/mp4");
    row("mp4 high 4K: none", media(mp4, { video("h264", "High", 51, 3840, 2160, 25), aac }),
        "v.mp4", "", "video/mp4");
    row("mp4 high 10-bit: none", media(mp4, { video("h264", "High 10", 41, 1920, 1080, 25), aac }),
        "v.mp4", "", "video/mp4");
    row("mp4 hevc: none", media(mp4, { video("hevc", "Main", 120, 1920, 1080, 25), aac }), "v.mp4",
        "", "video/mp4");
    row("mp4 level unknown: none", media(mp4, { video("h264", "High", -1, 1920, 1080, 25), aac }),
        "v.mp4", "", "video/mp4");

    // H.264 in MPEG-TS: 188-byte packets are _ISO, 192-byte (.m2ts) _T.
    row("ts main HD AAC", media("mpegts", { video("h264", "Main", 40, 1920, 1080, 25), aac }),
        "v.ts", "AVC_TS_MP_HD_AAC_MULT5_ISO", "video/mpeg");
    row("m2ts main HD AC-3", media("mpegts", { video("h264", "Main", 40, 1920, 1080, 25), ac3 }),
        "v.m2ts", "AVC_TS_MP_HD_AC3_T", "video/vnd.dlna.mpeg-tts");
    row("ts main SD MP3", media("mpegts", { video("h264", "Main", 30, 720, 576, 25), mp3 }), "v.ts",
        "AVC_TS_MP_SD_MPEG1_L3_ISO", "video/mpeg");
    row("ts high HD AC-3 at 25",
        media("mpegts", { video("h264", "High", 40, 1920, 1080, 25), ac3 }), "v.ts",
        "AVC_TS_HD_50_AC3_ISO", "video/mpeg");
    row("mts high HD AC-3 at 59.94",
        media("mpegts", { video("h264", "High", 41, 1920, 1080, 59.94), ac3 }), "v.MTS",
        "AVC_TS_HD_60_AC3_T", "video/vnd.dlna.mpeg-tts");
    row("ts high HD AC-3 at 23.976",
        media("mpegts", { video("h264", "High", 41, 1920, 1080, 23.976), ac3 }), "v.ts",
        "AVC_TS_HD_24_AC3_ISO", "video/mpeg");
    row("ts high SD MPEG audio", media("mpegts", { video("h264", "High", 30, 720, 576, 25), mp2 }),
        "v.ts", "AVC_TS_HP_SD_MPEG1_L2_ISO", "video/mpeg");
    row("ts high HD AAC: none", media("mpegts", { video("h264", "High", 40, 1920, 1080, 25), aac }),
        "v.ts", "", "video/mp2t");

    // MPEG-2.
    row("mpeg PS PAL",
        media("mpeg", { video("mpeg2video", "Main", 8, 720, 576, 25), mp2 }, 6000000), "v.mpg",
        "MPEG_PS_PAL", "video/mpeg");
    row("vob NTSC",
        media("mpeg", { video("mpeg2video", "Main", 8, 720, 480, 29.97), ac3 }, 8000000), "v.vob",
        "MPEG_PS_NTSC", "video/mpeg");
    row("mpeg PS above DVD's rate: none",
        media("mpeg", { video("mpeg2video", "Main", 8, 720, 576, 25), mp2 }, 15000000), "v.mpg", "",
        "video/mpeg");
    row("mpeg PS HD: none", media("mpeg", { video("mpeg2video", "Main", 4, 1920, 1080, 25), mp2 }),
        "v.mpg", "", "video/mpeg");
    row("ts MPEG-2 SD EU", media("mpegts", { video("mpeg2video", "Main", 8, 720, 576, 25), mp2 }),
        "v.ts", "MPEG_TS_SD_EU_ISO", "video/mpeg");
    row("ts MPEG-2 SD NA",
        media("mpegts", { video("mpeg2video", "Main", 8, 720, 480, 29.97), ac3 }), "v.m2ts",
        "MPEG_TS_SD_NA_T", "video/vnd.dlna.mpeg-tts");
    row("ts MPEG-2 HD NA",
        media("mpegts", { video("mpeg2video", "Main", 4, 1920, 1080, 29.97), ac3 }), "v.ts",
        "MPEG_TS_HD_NA_ISO", "video/mpeg");

    // No profile; the container names the type, or the extension is left to decide.
    row("matroska", media("matroska,webm", { video("h264", "High", 41, 1920, 1080, 25), aac }),
        "v.mkv", "", "video/x-matroska");
    row("avi", media("avi", { video("mpeg4", "Advanced Simple Profile", 5, 640, 272, 25), mp3 }),
        "v.avi", "", "video/avi");
    row("unknown container", media("asf", { video("wmv3", "Main", -1, 1280, 720, 25) }), "v.wmv",
        "", "");
    row("nothing read", MediaDetails(), "v.mkv", "", "");
}

void tst_DlnaProfile::profile()
{
    QFETCH(MediaDetails, details);
    QFETCH(QString, fileName);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, mimeType);

    const DlnaProfile profile = DlnaProfile::forMedia(details, fileName);
    QCOMPARE(profile.name, name);
    QCOMPARE(profile.mimeType, mimeType);
}

QTEST_GUILESS_MAIN(tst_DlnaProfile)
#include "tst_dlnaprofile.moc"
