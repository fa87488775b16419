#include "media/dlnaprofile.h"

#include <QFileInfo>

#include <cmath>

// The bounds below are those of the public descriptions of the DLNA media format profiles
// (the profile tables of the DLNA guidelines, part 2, as media servers and TVs list them) and
// of the H.264 and MPEG-2 standards they refer to.

namespace {

using Kind = StreamDetails::Kind;

const StreamDetails *first(const MediaDetails &details, Kind kind)
{
    for (const StreamDetails &stream : details.streams) {
        if (stream.kind == kind && !stream.attachedPicture)
            return &stream;
    }
    return nullptr;
}

bool within(const StreamDetails &video, int width, int height)
{
    return video.width > 0 && video.height > 0 && video.width <= width && video.height <= height;
}

bool near(double rate, double wanted)
{
    return std::abs(rate - wanted) < 0.05;
}

bool isMp4(const MediaDetails &details)
{
    // FFmpeg's one demuxer for the ISO base media family.
    return details.container.startsWith(QLatin1String("mov,mp4"));
}

bool isAacLc(const StreamDetails &audio)
{
    return audio.codec == QLatin1String("aac") && audio.profile == QLatin1String("LC");
}

// Total bits a second, when the file tells.
bool bitrateAtMost(const MediaDetails &details, qint64 bound)
{
    return details.bitrate <= 0 || details.bitrate <= bound;
}

bool h264Baseline(const StreamDetails &video)
{
    return video.profile == QLatin1String("Baseline")
        || video.profile == QLatin1String("Constrained Baseline");
}

// A Main profile decoder also decodes constrained baseline streams (H.264 A.2.1.1).
bool h264Main(const StreamDetails &video)
{
    return video.profile == QLatin1String("Main")
        || video.profile == QLatin1String("Constrained Baseline");
}

bool h264High(const StreamDetails &video)
{
    return video.profile == QLatin1String("High");
}

bool levelAtMost(const StreamDetails &video, int level)
{
    return video.level > 0 && video.level <= level;
}

QByteArray audioProfile(const MediaDetails &details)
{
    const StreamDetails *audio = first(details, Kind::Audio);
    if (!audio || audio->channels <= 0 || audio->sampleRate <= 0)
        return {};
    // AAC_ISO and AAC_ADTS: AAC LC, mono or stereo, at most 48 kHz.
    const bool aacStereo = isAacLc(*audio) && audio->channels <= 2 && audio->sampleRate <= 48000;
    // AAC_MULT5: the same with up to 5.1 channels.
    const bool aacMult5 = isAacLc(*audio) && audio->channels <= 6 && audio->sampleRate <= 48000;
    const qint64 rate = audio->bitrate > 0 ? audio->bitrate : details.bitrate;
    if (details.container == QLatin1String("mp3") && audio->codec == QLatin1String("mp3")) {
        // MP3: MPEG-1 layer 3 at 32, 44.1 or 48 kHz, up to stereo, up to 320 kbit/s.
        const bool rates = audio->sampleRate == 32000 || audio->sampleRate == 44100
            || audio->sampleRate == 48000;
        return rates && audio->channels <= 2 && rate <= 320000 ? QByteArrayLiteral("MP3")
                                                               : QByteArray();
    }
    const bool adts = details.container == QLatin1String("aac");
    if (isMp4(details) || adts) {
        const QByteArray family
            = adts ? QByteArrayLiteral("AAC_ADTS") : QByteArrayLiteral("AAC_ISO");
        // AAC_ISO_320 / AAC_ADTS_320: at most 320 kbit/s; without the suffix at most 576 kbit/s.
        if (aacStereo && rate > 0 && rate <= 320000)
            return family + "_320";
        if (aacStereo && rate <= 576000)
            return family;
        // AAC_MULT5_ISO / AAC_MULT5_ADTS: up to 1440 kbit/s.
        if (aacMult5 && rate <= 1440000)
            return adts ? QByteArrayLiteral("AAC_MULT5_ADTS") : QByteArrayLiteral("AAC_MULT5_ISO");
        return {};
    }
    // LPCM: 16-bit big-endian samples, mono or stereo, 44.1 or 48 kHz, sent bare.
    if (details.container == QLatin1String("s16be") && audio->codec == QLatin1String("pcm_s16be")
        && audio->channels <= 2 && (audio->sampleRate == 44100 || audio->sampleRate == 48000)) {
        return QByteArrayLiteral("LPCM");
    }
    return {};
}

QByteArray imageProfile(const MediaDetails &details)
{
    const StreamDetails *image = first(details, Kind::Video);
    if (!image)
        return {};
    if (image->codec == QLatin1String("mjpeg")) {
        // JPEG_TN within 160x160, JPEG_SM 640x480, JPEG_MED 1024x768, JPEG_LRG 4096x4096.
        if (within(*image, 160, 160))
            return QByteArrayLiteral("JPEG_TN");
        if (within(*image, 640, 480))
            return QByteArrayLiteral("JPEG_SM");
        if (within(*image, 1024, 768))
            return QByteArrayLiteral("JPEG_MED");
        if (within(*image, 4096, 4096))
            return QByteArrayLiteral("JPEG_LRG");
        return {};
    }
    if (image->codec == QLatin1String("png")) {
        // PNG_TN within 160x160, PNG_LRG 4096x4096.
        if (within(*image, 160, 160))
            return QByteArrayLiteral("PNG_TN");
        if (within(*image, 4096, 4096))
            return QByteArrayLiteral("PNG_LRG");
    }
    return {};
}

QByteArray avcMp4Profile(
    const MediaDetails &details, const StreamDetails &video, const StreamDetails *audio)
{
    if (!audio)
        return {};
    const bool aacStereo = isAacLc(*audio) && audio->channels <= 2;
    if (h264Baseline(video) && aacStereo) {
        // BL_CIF15_AAC_520: CIF (352x288) at 15 fps, level 1.2, 520 kbit/s in all.
        if (within(video, 352, 288) && video.frameRate <= 15.01 && levelAtMost(video, 12)
            && bitrateAtMost(details, 520000))
            return QByteArrayLiteral("AVC_MP4_BL_CIF15_AAC_520");
        // BL_CIF30_AAC_940: CIF at 30 fps, level 1.3, 940 kbit/s in all.
        if (within(video, 352, 288) && video.frameRate <= 30.01 && levelAtMost(video, 13)
            && bitrateAtMost(details, 940000))
            return QByteArrayLiteral("AVC_MP4_BL_CIF30_AAC_940");
    }
    if (h264Main(video) && within(video, 720, 576) && levelAtMost(video, 30)) {
        // MP_SD: Main profile up to 720x576, level 3 (H.264 table A-1: 10 Mbit/s).
        if (isAacLc(*audio) && audio->channels <= 6)
            return QByteArrayLiteral("AVC_MP4_MP_SD_AAC_MULT5");
        if (audio->codec == QLatin1String("mp3"))
            return QByteArrayLiteral("AVC_MP4_MP_SD_MPEG1_L3");
        if (audio->codec == QLatin1String("ac3"))
            return QByteArrayLiteral("AVC_MP4_MP_SD_AC3");
        return {};
    }
    if (h264Main(video) && aacStereo) {
        // MP_HD_720p: 1280x720, level 3.2 (table A-1: 720p at 60 fps).
        if (video.width == 1280 && video.height == 720 && levelAtMost(video, 32))
            return QByteArrayLiteral("AVC_MP4_MP_HD_720p_AAC");
        // MP_HD_1080i: 1920x1080, level 4 (table A-1: 1080 at 30 frames, 20 Mbit/s).
        if (video.width == 1920 && video.height == 1080 && levelAtMost(video, 40))
            return QByteArrayLiteral("AVC_MP4_MP_HD_1080i_AAC");
    }
    // HP_HD_AAC: High profile up to 1920x1080, level 4.1 (Blu-ray's bound too).
    if ((h264High(video) || h264Main(video)) && aacStereo && within(video, 1920, 1080)
        && levelAtMost(video, 41))
        return QByteArrayLiteral("AVC_MP4_HP_HD_AAC");
    return {};
}

QByteArray avcTsProfile(const StreamDetails &video, const StreamDetails *audio)
{
    if (!audio)
        return {};
    // SD up to 720x576 at level 3; HD up to 1920x1080 at level 4 (Main) or 4.1 (High).
    const bool sd = within(video, 720, 576) && levelAtMost(video, 30);
    const bool hd
        = !sd && within(video, 1920, 1080) && levelAtMost(video, h264High(video) ? 41 : 40);
    if (!sd && !hd)
        return {};
    const QByteArray size = sd ? QByteArrayLiteral("SD") : QByteArrayLiteral("HD");
    if (h264Main(video)) {
        if (isAacLc(*audio) && audio->channels <= 6)
            return "AVC_TS_MP_" + size + "_AAC_MULT5";
        if (audio->codec == QLatin1String("mp3"))
            return "AVC_TS_MP_" + size + "_MPEG1_L3";
        if (audio->codec == QLatin1String("ac3"))
            return "AVC_TS_MP_" + size + "_AC3";
        return {};
    }
    if (!h264High(video))
        return {};
    if (audio->codec == QLatin1String("mp2"))
        return "AVC_TS_HP_" + size + "_MPEG1_L2";
    // HD_24/50/60_AC3: High profile HD with AC-3, named after the frame rate family.
    if (hd && audio->codec == QLatin1String("ac3")) {
        if (near(video.frameRate, 23.976) || near(video.frameRate, 24))
            return QByteArrayLiteral("AVC_TS_HD_24_AC3");
        if (near(video.frameRate, 25) || near(video.frameRate, 50))
            return QByteArrayLiteral("AVC_TS_HD_50_AC3");
        if (near(video.frameRate, 29.97) || near(video.frameRate, 30)
            || near(video.frameRate, 59.94) || near(video.frameRate, 60))
            return QByteArrayLiteral("AVC_TS_HD_60_AC3");
    }
    return {};
}

// MPEG-2 video in a program stream: the DVD formats.
QByteArray mpegPsProfile(
    const MediaDetails &details, const StreamDetails &video, const StreamDetails *audio)
{
    // MPEG_PS: at most 9.8 Mbit/s (the DVD's bound), MPEG audio, AC-3 or DVD's LPCM.
    if (!bitrateAtMost(details, 9800000))
        return {};
    if (audio && audio->codec != QLatin1String("mp2") && audio->codec != QLatin1String("ac3")
        && audio->codec != QLatin1String("pcm_dvd"))
        return {};
    // PAL: 576 lines (720, 704, 544, 480 or 352 wide) or 352x288, at 25 frames.
    if (near(video.frameRate, 25)
        && ((video.height == 576 && video.width <= 720)
            || (video.width == 352 && video.height == 288)))
        return QByteArrayLiteral("MPEG_PS_PAL");
    // NTSC: 480 lines (up to 720 wide) or 352x240, at 29.97 frames (23.976 film is pulled down).
    if ((near(video.frameRate, 29.97) || near(video.frameRate, 23.976))
        && ((video.height == 480 && video.width <= 720)
            || (video.width == 352 && video.height == 240)))
        return QByteArrayLiteral("MPEG_PS_NTSC");
    return {};
}

// MPEG-2 video in a transport stream: broadcast SD and HD.
QByteArray mpegTsProfile(const StreamDetails &video, const StreamDetails *audio)
{
    if (!audio)
        return {};
    const bool ac3 = audio->codec == QLatin1String("ac3");
    // SD_EU: 576 lines at 25 frames, MPEG audio or AC-3.
    if (video.height == 576 && video.width <= 720 && near(video.frameRate, 25)
        && (ac3 || audio->codec == QLatin1String("mp2")))
        return QByteArrayLiteral("MPEG_TS_SD_EU");
    // SD_NA: 480 lines at 29.97 frames, AC-3 (ATSC).
    if (video.height == 480 && video.width <= 720 && near(video.frameRate, 29.97) && ac3)
        return QByteArrayLiteral("MPEG_TS_SD_NA");
    // HD_NA: 1920x1080 or 1280x720 at 29.97 or 59.94 frames, AC-3 (ATSC).
    const bool hdSize = (video.width == 1920 && video.height == 1080)
        || (video.width == 1280 && video.height == 720);
    if (hdSize && (near(video.frameRate, 29.97) || near(video.frameRate, 59.94)) && ac3)
        return QByteArrayLiteral("MPEG_TS_HD_NA");
    return {};
}

// The container's usual type where no profile fits; empty leaves it to the extension.
QByteArray containerMime(const MediaDetails &details, bool hasVideo)
{
    const QString &c = details.container;
    if (isMp4(details))
        return hasVideo ? QByteArrayLiteral("video/mp4") : QByteArrayLiteral("audio/mp4");
    if (c == QLatin1String("matroska,webm"))
        return hasVideo ? QByteArrayLiteral("video/x-matroska")
                        : QByteArrayLiteral("audio/x-matroska");
    if (c == QLatin1String("mpegts"))
        return QByteArrayLiteral("video/mp2t");
    if (c == QLatin1String("mpeg"))
        return QByteArrayLiteral("video/mpeg");
    if (c == QLatin1String("avi"))
        return QByteArrayLiteral("video/avi");
    if (c == QLatin1String("mp3"))
        return QByteArrayLiteral("audio/mpeg");
    if (c == QLatin1String("flac"))
        return QByteArrayLiteral("audio/flac");
    if (c == QLatin1String("wav"))
        return QByteArrayLiteral("audio/wav");
    if (c == QLatin1String("aac"))
        return QByteArrayLiteral("audio/aac");
    return {};
}

} // namespace

DlnaProfile DlnaProfile::forMedia(const MediaDetails &details, const QString &fileName)
{
    DlnaProfile profile;
    const StreamDetails *video = first(details, Kind::Video);
    const StreamDetails *audio = first(details, Kind::Audio);
    const QString suffix = QFileInfo(fileName).suffix().toLower();

    // A still picture: FFmpeg's image demuxers ("jpeg_pipe", "png_pipe", "image2"), or a
    // single frame without time.
    const bool still = details.container == QLatin1String("image2")
        || details.container.endsWith(QLatin1String("_pipe")) || details.durationMs <= 0;
    if (video && (video->codec == QLatin1String("mjpeg") || video->codec == QLatin1String("png"))
        && !audio && still) {
        profile.name = imageProfile(details);
        profile.mimeType = video->codec == QLatin1String("png") ? QByteArrayLiteral("image/png")
                                                                : QByteArrayLiteral("image/jpeg");
        return profile;
    }
    if (!video) {
        profile.name = audioProfile(details);
        if (profile.name == "MP3")
            profile.mimeType = QByteArrayLiteral("audio/mpeg");
        else if (profile.name.startsWith("AAC_ADTS") || profile.name == "AAC_MULT5_ADTS")
            profile.mimeType = QByteArrayLiteral("audio/vnd.dlna.adts");
        else if (profile.name.startsWith("AAC_"))
            profile.mimeType = QByteArrayLiteral("audio/mp4");
        else if (profile.name == "LPCM")
            profile.mimeType = "audio/L16;rate=" + QByteArray::number(audio->sampleRate)
                + ";channels=" + QByteArray::number(audio->channels);
        else
            profile.mimeType = containerMime(details, false);
        return profile;
    }

    if (video->codec == QLatin1String("h264") && isMp4(details)) {
        profile.name = avcMp4Profile(details, *video, audio);
    } else if (details.container == QLatin1String("mpegts")) {
        if (video->codec == QLatin1String("h264"))
            profile.name = avcTsProfile(*video, audio);
        else if (video->codec == QLatin1String("mpeg2video"))
            profile.name = mpegTsProfile(*video, audio);
        if (!profile.name.isEmpty()) {
            // 192-byte packets carry a timestamp each (_T); plain 188-byte packets are _ISO.
            const bool timestamped = suffix == QLatin1String("m2ts")
                || suffix == QLatin1String("mts") || suffix == QLatin1String("m2t");
            profile.name += timestamped ? "_T" : "_ISO";
            profile.mimeType = timestamped ? QByteArrayLiteral("video/vnd.dlna.mpeg-tts")
                                           : QByteArrayLiteral("video/mpeg");
            return profile;
        }
    } else if (details.container == QLatin1String("mpeg")
        && video->codec == QLatin1String("mpeg2video")) {
        profile.name = mpegPsProfile(details, *video, audio);
    }
    profile.mimeType = containerMime(details, true);
    return profile;
}
