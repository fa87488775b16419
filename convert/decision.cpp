#include "convert/decision.h"
#include "media/dlnaprofile.h"

#include <QFileInfo>

#include <optional>

namespace {

using Kind = StreamDetails::Kind;

// A container a conversion writes: the profiles' word, ffmpeg's muxer, the URL's extension,
// and the demuxer name the probe would give the result (for naming its DLNA profile).
struct Box
{
    const char *word;
    const char *muxer;
    const char *extension;
    const char *demuxer;
};

const Box boxes[] = {
    { "mpegts", "mpegts", "ts", "mpegts" },
    { "mp4", "mp4", "mp4", "mov,mp4,m4a,3gp,3g2,mj2" },
    { "mkv", "matroska", "mkv", "matroska,webm" },
    // Audio files.
    { "mp3", "mp3", "mp3", "mp3" },
    { "aac", "adts", "aac", "aac" },
    { "lpcm", "s16be", "lpcm", "s16be" },
    { "flac", "flac", "flac", "flac" },
    { "wav", "wav", "wav", "wav" },
};

const Box *boxOf(const QString &word)
{
    for (const Box &box : boxes) {
        if (word == QLatin1String(box.word))
            return &box;
    }
    return nullptr;
}

// The encoder that makes a codec of the profiles' words.
QByteArray encoderFor(const QString &codec)
{
    if (codec == QLatin1String("h264"))
        return QByteArrayLiteral("libx264");
    if (codec == QLatin1String("mp3"))
        return QByteArrayLiteral("libmp3lame");
    if (codec == QLatin1String("lpcm"))
        return QByteArrayLiteral("pcm_s16be");
    if (codec == QLatin1String("wav"))
        return QByteArrayLiteral("pcm_s16le");
    return codec.toLatin1();
}

// FFmpeg's codec name of what an encoder makes.
QString codecOf(const QByteArray &encoder)
{
    if (encoder == "libx264")
        return QStringLiteral("h264");
    if (encoder == "libmp3lame")
        return QStringLiteral("mp3");
    return QString::fromLatin1(encoder);
}

// What ffmpeg's muxers take without experimental flags. Matroska takes nearly anything.
bool muxes(const QString &word, const QString &codec)
{
    static const QStringList ts = { QStringLiteral("h264"), QStringLiteral("hevc"),
        QStringLiteral("mpeg2video"), QStringLiteral("mpeg1video"), QStringLiteral("mpeg4"),
        QStringLiteral("aac"), QStringLiteral("ac3"), QStringLiteral("eac3"), QStringLiteral("mp3"),
        QStringLiteral("mp2"), QStringLiteral("dts"), QStringLiteral("truehd") };
    static const QStringList mp4 = { QStringLiteral("h264"), QStringLiteral("hevc"),
        QStringLiteral("mpeg4"), QStringLiteral("mpeg2video"), QStringLiteral("av1"),
        QStringLiteral("vp9"), QStringLiteral("aac"), QStringLiteral("ac3"), QStringLiteral("eac3"),
        QStringLiteral("mp3"), QStringLiteral("alac"), QStringLiteral("flac"),
        QStringLiteral("opus") };
    if (word == QLatin1String("mpegts"))
        return ts.contains(codec);
    if (word == QLatin1String("mp4"))
        return mp4.contains(codec);
    if (word == QLatin1String("mkv"))
        return true;
    // An audio file's container holds the one codec it is named after.
    return codec == codecOf(encoderFor(word));
}

struct AudioTarget
{
    QByteArray encoder;
    int channels = 0;
    int sampleRate = 0;
    qint64 bitrate = 0;
};

struct VideoTarget
{
    QByteArray encoder;
    QByteArray profile;
    int level = 0;
    int width = 0;
    int height = 0;
    qint64 bitrate = 0;
};

int encoderChannels(const QByteArray &encoder)
{
    if (encoder == "libmp3lame" || encoder == "mp2" || encoder.startsWith("pcm_"))
        return 2;
    // AC-3 carries 5.1; so do the AAC most clients decode.
    return 6;
}

bool encoderTakesRate(const QByteArray &encoder, int rate)
{
    if (encoder == "ac3")
        return rate == 32000 || rate == 44100 || rate == 48000;
    if (encoder == "libmp3lame" || encoder == "mp2")
        return rate == 32000 || rate == 44100 || rate == 48000 || rate == 22050 || rate == 24000
            || rate == 16000;
    // DLNA's LPCM is 44.1 or 48 kHz.
    if (encoder == "pcm_s16be")
        return rate == 44100 || rate == 48000;
    return rate > 0 && rate <= 96000;
}

qint64 audioBitrateFor(const QByteArray &encoder, int channels, bool music)
{
    if (encoder == "ac3")
        return channels > 2 ? 448000 : 192000;
    if (encoder == "aac")
        return channels > 2 ? 384000 : 192000;
    if (encoder == "libmp3lame")
        return music ? 320000 : 192000;
    if (encoder == "mp2")
        return 224000;
    return 0;
}

qint64 smallest(qint64 a, qint64 b)
{
    if (a <= 0)
        return b;
    if (b <= 0)
        return a;
    return qMin(a, b);
}

class Decision
{
public:
    Decision(const MediaDetails &file, const QString &fileName, const ClientProfile &profile,
        const DecisionOptions &options)
        : m_file(file)
        , m_fileName(fileName)
        , m_profile(profile)
        , m_options(options)
        , m_word(containerWord(file.container, fileName))
    {
        for (const StreamDetails &stream : file.streams) {
            if (stream.kind == Kind::Video && !stream.attachedPicture && !m_video)
                m_video = &stream;
            if (stream.kind == Kind::Audio) {
                // The default stream is the one a client plays of the file as it is.
                if (stream.isDefault)
                    m_audio.prepend(&stream);
                else
                    m_audio.append(&stream);
            }
        }
    }

    ConversionPlan run();

private:
    bool still() const;
    bool videoPlays(const QString &word) const
    {
        return !m_video || m_profile.videoEntry(*m_video, word, m_file.bitrate);
    }
    bool videoCopies(const QString &word) const
    {
        return !m_video || (muxes(word, m_video->codec) && videoPlays(word));
    }
    bool playsAsItIs() const
    {
        const StreamDetails *played = m_audio.value(0);
        return m_profile.playsContainer(m_word) && videoPlays(m_word)
            && (!played || m_profile.audioEntry(*played, m_word));
    }
    // The audio stream that plays as it is in that container; nullptr when none does.
    const StreamDetails *audioCopies(const QString &word) const
    {
        for (const StreamDetails *audio : m_audio) {
            if (muxes(word, audio->codec) && m_profile.audioEntry(*audio, word))
                return audio;
        }
        return nullptr;
    }
    bool subtitleShown() const;
    std::optional<AudioTarget> audioTarget(const QString &codec, const QString &word) const;
    std::optional<VideoTarget> videoTarget(const QString &word, bool burn) const;
    QStringList targets() const;
    ConversionPlan original() const;
    ConversionPlan ladder(bool burn) const;
    ConversionPlan audioFile() const;
    ConversionPlan finish(ConversionPlan plan, const QString &word,
        const std::optional<VideoTarget> &video, const StreamDetails *copiedAudio,
        const std::optional<AudioTarget> &audio) const;

    const MediaDetails &m_file;
    const QString &m_fileName;
    const ClientProfile &m_profile;
    const DecisionOptions &m_options;
    const QString m_word;
    const StreamDetails *m_video = nullptr;
    QList<const StreamDetails *> m_audio;
};

bool Decision::still() const
{
    if (!m_video || !m_audio.isEmpty())
        return false;
    // FFmpeg's image demuxers ("jpeg_pipe", "image2"), or a picture codec without time; a
    // silent video of unknown length is still a video.
    static const QStringList pictures
        = { QStringLiteral("mjpeg"), QStringLiteral("png"), QStringLiteral("bmp"),
              QStringLiteral("gif"), QStringLiteral("webp"), QStringLiteral("tiff") };
    return m_file.container == QLatin1String("image2")
        || m_file.container.endsWith(QLatin1String("_pipe"))
        || (m_file.durationMs <= 0 && pictures.contains(m_video->codec));
}

bool Decision::subtitleShown() const
{
    if (!m_options.subtitleFile.isEmpty()) {
        const QString suffix = QFileInfo(m_options.subtitleFile).suffix().toLower();
        return m_profile.externalSubtitles.contains(suffix);
    }
    for (const StreamDetails &stream : m_file.streams) {
        if (stream.index == m_options.subtitleStream && stream.kind == Kind::Subtitle)
            return m_profile.embeddedSubtitles.contains(stream.codec)
                && m_profile.playsContainer(m_word);
    }
    // No such stream: nothing to burn.
    return true;
}

QStringList Decision::targets() const
{
    QStringList words;
    for (const QString &word : m_profile.convertContainers) {
        if (m_profile.playsContainer(word))
            words.append(word);
    }
    return words;
}

std::optional<AudioTarget> Decision::audioTarget(const QString &codec, const QString &word) const
{
    AudioTarget target;
    target.encoder = encoderFor(codec);
    if (!m_options.encoders.contains(target.encoder) || !muxes(word, codecOf(target.encoder)))
        return std::nullopt;
    const StreamDetails *source = m_audio.value(0);
    const int channels = source && source->channels > 0 ? source->channels : 2;
    const int rate = source && source->sampleRate > 0 ? source->sampleRate : 48000;
    target.channels = qMin(channels, encoderChannels(target.encoder));
    target.sampleRate = encoderTakesRate(target.encoder, rate) ? rate
        : rate % 11025 == 0                                    ? 44100
                                                               : 48000;
    // The client must play what is made: fewer channels or a lower rate where it asks.
    StreamDetails made;
    made.kind = Kind::Audio;
    made.codec = codecOf(target.encoder);
    for (const ClientProfile::Audio &entry : m_profile.audio) {
        if (entry.codec != made.codec)
            continue;
        made.channels
            = entry.maxChannels > 0 ? qMin(target.channels, entry.maxChannels) : target.channels;
        made.sampleRate = target.sampleRate;
        if (entry.maxSampleRate > 0 && made.sampleRate > entry.maxSampleRate)
            made.sampleRate = entry.maxSampleRate >= 48000 ? 48000 : entry.maxSampleRate;
        if (m_profile.audioEntry(made, word)) {
            target.channels = made.channels;
            target.sampleRate = made.sampleRate;
            target.bitrate = smallest(
                audioBitrateFor(target.encoder, target.channels, !m_video), entry.maxBitrate);
            return target;
        }
    }
    return std::nullopt;
}

std::optional<VideoTarget> Decision::videoTarget(const QString &word, bool burn) const
{
    if (!m_video || (burn && !m_options.canBurnSubtitles))
        return std::nullopt;
    for (const QString &codec : m_profile.convertVideo) {
        VideoTarget target;
        target.encoder = encoderFor(codec);
        if (!m_options.encoders.contains(target.encoder) || !muxes(word, codec))
            continue;
        for (const ClientProfile::Video &entry : m_profile.video) {
            if (entry.codec != codec
                || (!entry.containers.isEmpty() && !entry.containers.contains(word)))
                continue;
            const int maxWidth = int(smallest(entry.maxWidth, m_profile.convertMaxWidth));
            const int maxHeight = int(smallest(entry.maxHeight, m_profile.convertMaxHeight));
            target.width = m_video->width;
            target.height = m_video->height;
            if (target.width > 0 && target.height > 0
                && ((maxWidth > 0 && target.width > maxWidth)
                    || (maxHeight > 0 && target.height > maxHeight))) {
                // Fit within, keeping the shape; encoders want even sizes.
                const double scale = qMin(maxWidth > 0 ? double(maxWidth) / target.width : 1.0,
                    maxHeight > 0 ? double(maxHeight) / target.height : 1.0);
                target.width = qMax(2, int(target.width * scale) & ~1);
                target.height = qMax(2, int(target.height * scale) & ~1);
            }
            target.bitrate = smallest(entry.maxBitrate, m_profile.convertVideoBitrate);
            if (codec == QLatin1String("h264")) {
                const auto allows = [&](const char *name) {
                    return entry.profiles.isEmpty()
                        || entry.profiles.contains(QLatin1String(name), Qt::CaseInsensitive);
                };
                target.profile = allows("High") ? QByteArrayLiteral("high")
                    : allows("Main")            ? QByteArrayLiteral("main")
                                                : QByteArrayLiteral("baseline");
                // 4.1 covers 1080p at 30 frames (H.264 table A-1); larger pictures need 5.1.
                const bool large = qMax(target.width, target.height) > 1920
                    || qMin(target.width, target.height) > 1088;
                target.level = int(smallest(large ? 51 : 41, entry.maxLevel));
            }
            return target;
        }
    }
    return std::nullopt;
}

ConversionPlan Decision::original() const
{
    ConversionPlan plan;
    const DlnaProfile dlna = DlnaProfile::forMedia(m_file, m_fileName);
    plan.mimeType = m_profile.mimeTypes.value(m_word, dlna.mimeType);
    if (m_profile.wantsDlnaProfile)
        plan.dlnaProfile = dlna.name;
    plan.extension = QFileInfo(m_fileName).suffix().toLower().toUtf8();
    return plan;
}

ConversionPlan Decision::finish(ConversionPlan plan, const QString &word,
    const std::optional<VideoTarget> &video, const StreamDetails *copiedAudio,
    const std::optional<AudioTarget> &audio) const
{
    const Box *box = boxOf(word);
    plan.container = box->muxer;
    plan.extension = box->extension;

    MediaDetails made;
    made.container = QLatin1String(box->demuxer);
    made.durationMs = m_file.durationMs;
    if (m_video) {
        StreamDetails stream = *m_video;
        plan.videoStream = m_video->index;
        if (video) {
            plan.videoCodec = video->encoder;
            plan.videoProfile = video->profile;
            plan.videoLevel = video->level;
            plan.pixelFormat = QByteArrayLiteral("yuv420p");
            if (video->width != m_video->width || video->height != m_video->height) {
                plan.maxWidth = video->width;
                plan.maxHeight = video->height;
            }
            plan.videoBitrate = video->bitrate;
            stream.codec = codecOf(video->encoder);
            stream.profile = video->profile == "high" ? QStringLiteral("High")
                : video->profile == "main"            ? QStringLiteral("Main")
                : video->profile.isEmpty()            ? QStringLiteral("Main")
                                                      : QStringLiteral("Constrained Baseline");
            stream.level = video->level;
            stream.width = video->width;
            stream.height = video->height;
            stream.pixelFormat = QStringLiteral("yuv420p");
            stream.bitrate = video->bitrate;
        }
        made.streams.append(stream);
    }
    if (copiedAudio) {
        plan.audioStream = copiedAudio->index;
        made.streams.append(*copiedAudio);
    } else if (audio) {
        plan.audioStream = m_audio.first()->index;
        plan.audioCodec = audio->encoder;
        plan.audioChannels = audio->channels;
        plan.audioSampleRate = audio->sampleRate;
        plan.audioBitrate = audio->bitrate;
        StreamDetails stream;
        stream.kind = Kind::Audio;
        stream.codec = codecOf(audio->encoder);
        stream.profile = stream.codec == QLatin1String("aac") ? QStringLiteral("LC") : QString();
        stream.channels = audio->channels;
        stream.sampleRate = audio->sampleRate;
        stream.bitrate = audio->bitrate;
        made.streams.append(stream);
    }
    // A copy keeps the file's rate; a conversion's is what the encoders are asked for.
    made.bitrate = plan.kind == ConversionPlan::Kind::Remux ? m_file.bitrate : 0;

    const DlnaProfile dlna
        = DlnaProfile::forMedia(made, QLatin1String("converted.") + QLatin1String(box->extension));
    plan.mimeType = m_profile.mimeTypes.value(word, dlna.mimeType);
    if (m_profile.wantsDlnaProfile)
        plan.dlnaProfile = dlna.name;
    return plan;
}

ConversionPlan Decision::ladder(bool burn) const
{
    const QStringList words = targets();
    const bool noAudio = m_audio.isEmpty();
    ConversionPlan plan;
    if (!burn) {
        for (const QString &word : words) {
            const StreamDetails *audio = audioCopies(word);
            if (videoCopies(word) && (audio || noAudio)) {
                plan.kind = ConversionPlan::Kind::Remux;
                return finish(plan, word, std::nullopt, audio, std::nullopt);
            }
        }
        for (const QString &word : words) {
            if (!videoCopies(word))
                continue;
            for (const QString &codec : m_profile.convertAudio) {
                if (const auto audio = audioTarget(codec, word)) {
                    plan.kind = ConversionPlan::Kind::AudioOnly;
                    return finish(plan, word, std::nullopt, nullptr, audio);
                }
            }
        }
    }
    for (const QString &word : words) {
        const auto video = videoTarget(word, burn);
        const StreamDetails *audio = audioCopies(word);
        if (video && (audio || noAudio)) {
            plan.kind = ConversionPlan::Kind::VideoOnly;
            return finish(plan, word, video, audio, std::nullopt);
        }
    }
    for (const QString &word : words) {
        const auto video = videoTarget(word, burn);
        if (!video)
            continue;
        for (const QString &codec : m_profile.convertAudio) {
            if (const auto audio = audioTarget(codec, word)) {
                plan.kind = ConversionPlan::Kind::Full;
                return finish(plan, word, video, nullptr, audio);
            }
        }
    }
    return original();
}

ConversionPlan Decision::audioFile() const
{
    ConversionPlan plan;
    const StreamDetails *source = m_audio.first();
    // The codec already plays: copied into the container the client takes it in.
    for (const QString &word : m_profile.convertAudioOnly) {
        const Box *box = boxOf(word);
        if (codecOf(encoderFor(word)) == source->codec && m_profile.playsContainer(word)
            && m_profile.audioEntry(*source, word)) {
            plan.kind = ConversionPlan::Kind::Remux;
            return finish(plan, QLatin1String(box->word), std::nullopt, source, std::nullopt);
        }
    }
    for (const QString &word : m_profile.convertAudioOnly) {
        if (!m_profile.playsContainer(word))
            continue;
        if (const auto audio = audioTarget(word, word)) {
            plan.kind = ConversionPlan::Kind::AudioOnly;
            return finish(plan, word, std::nullopt, nullptr, audio);
        }
    }
    return original();
}

ConversionPlan Decision::run()
{
    if (!m_options.converter || m_profile.playsEverything || (!m_video && m_audio.isEmpty())
        || still())
        return original();
    const bool wantsBurn = m_video && m_options.burnSubtitles && m_options.canBurnSubtitles
        && (!m_options.subtitleFile.isEmpty() || m_options.subtitleStream >= 0) && !subtitleShown();
    if (!wantsBurn && playsAsItIs())
        return original();
    if (!m_video)
        return audioFile();
    if (wantsBurn) {
        ConversionPlan plan = ladder(true);
        if (plan.isConversion()) {
            plan.subtitleFile = m_options.subtitleFile;
            plan.subtitleStream = m_options.subtitleFile.isEmpty() ? m_options.subtitleStream : -1;
            return plan;
        }
        // No encoder to burn with: the file plays without them.
        if (playsAsItIs())
            return original();
    }
    return ladder(false);
}

} // namespace

ConversionPlan decide(const MediaDetails &file, const QString &fileName,
    const ClientProfile &profile, const DecisionOptions &options)
{
    return Decision(file, fileName, profile, options).run();
}
