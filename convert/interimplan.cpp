#include "convert/interimplan.h"

#include "media/dlnaprofile.h"

#include <QStringList>

namespace {

bool playsAsItIs(
    const MediaDetails &details, const StreamDetails &video, const StreamDetails *audio)
{
    const bool container = details.container == QLatin1String("mpegts")
        || details.container.startsWith(QLatin1String("mov,mp4"));
    return container && video.codec == QLatin1String("h264")
        && (!audio || audio->codec == QLatin1String("aac"));
}

} // namespace

namespace InterimPlan {

ConversionPlan forMedia(const MediaDetails &details)
{
    ConversionPlan plan;
    const StreamDetails *video = details.firstStream(StreamDetails::Kind::Video);
    const StreamDetails *audio = details.firstStream(StreamDetails::Kind::Audio);
    if (!video || playsAsItIs(details, *video, audio))
        return plan;
    static const QStringList copiedSound { QStringLiteral("aac"), QStringLiteral("ac3"),
        QStringLiteral("mp3"), QStringLiteral("mp2") };
    const bool copyVideo = video->codec == QLatin1String("h264");
    const bool copyAudio = !audio || copiedSound.contains(audio->codec);
    plan.kind = copyVideo
        ? (copyAudio ? ConversionPlan::Kind::Remux : ConversionPlan::Kind::AudioOnly)
        : (copyAudio ? ConversionPlan::Kind::VideoOnly : ConversionPlan::Kind::Full);
    plan.container = "mpegts";
    plan.extension = "ts";
    plan.videoStream = video->index;
    plan.audioStream = audio ? audio->index : -1;
    plan.videoCodec = copyVideo ? "copy" : "libx264";
    plan.audioCodec = copyAudio ? "copy" : "ac3";
    if (!copyAudio)
        plan.audioChannels = std::min(audio->channels > 0 ? audio->channels : 2, 6);

    // What comes out, for its DLNA profile and MIME type.
    MediaDetails result;
    result.container = QStringLiteral("mpegts");
    StreamDetails outVideo = *video;
    if (!copyVideo) {
        outVideo.codec = QStringLiteral("h264");
        outVideo.profile = QStringLiteral("High");
        outVideo.level = 41;
        outVideo.pixelFormat = QStringLiteral("yuv420p");
        outVideo.bitrate = 0;
    }
    result.streams << outVideo;
    if (audio) {
        StreamDetails outAudio = *audio;
        if (!copyAudio) {
            outAudio.codec = QStringLiteral("ac3");
            outAudio.profile.clear();
            outAudio.channels = plan.audioChannels;
            outAudio.bitrate = 0;
        }
        result.streams << outAudio;
    }
    const DlnaProfile profile = DlnaProfile::forMedia(result, QStringLiteral("converted.ts"));
    plan.dlnaProfile = profile.name;
    // DLNA's type for every MPEG-TS profile, and the one TVs take for a stream of none.
    plan.mimeType = QByteArrayLiteral("video/mpeg");
    return plan;
}

QByteArray key(const ConversionPlan &plan)
{
    switch (plan.kind) {
    case ConversionPlan::Kind::Original:
        break;
    case ConversionPlan::Kind::Remux:
        return QByteArrayLiteral("remux");
    case ConversionPlan::Kind::AudioOnly:
        return QByteArrayLiteral("audio");
    case ConversionPlan::Kind::VideoOnly:
        return QByteArrayLiteral("video");
    case ConversionPlan::Kind::Full:
        return QByteArrayLiteral("full");
    }
    return QByteArray();
}

} // namespace InterimPlan
