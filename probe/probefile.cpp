#include "probe/probefile.h"

#include "probe/exif.h"
#include "probe/platform.h"
#include "probe/thumbnail.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

// How much of a file FFmpeg may read and analyse to learn its streams.
constexpr int64_t probeBytes = 5 << 20;
constexpr int64_t analyzeMicroseconds = 5 * AV_TIME_BASE;
constexpr int ioBufferSize = 64 << 10;
// A photo's EXIF block sits in its first bytes (an APP1 segment is at most 64 KiB).
constexpr int exifBytes = 128 << 10;
// Longer tags are cut: lyrics or notes have no place in a listing.
constexpr int maxTagLength = 1024;

// The file as FFmpeg reads it: our own descriptor, checked against the deadline at every read.
struct Input
{
    int fd = -1;
    Deadline deadline;
    bool timedOut = false;

    bool expired()
    {
        if (!timedOut && std::chrono::steady_clock::now() >= deadline)
            timedOut = true;
        return timedOut;
    }
};

int readPacket(void *opaque, uint8_t *buffer, int size)
{
    auto *input = static_cast<Input *>(opaque);
    if (input->expired())
        return AVERROR_EXIT;
    const int n = readFile(input->fd, buffer, size);
    if (n < 0)
        return AVERROR(EIO);
    return n == 0 ? AVERROR_EOF : n;
}

int64_t seekInput(void *opaque, int64_t offset, int whence)
{
    auto *input = static_cast<Input *>(opaque);
    if (whence & AVSEEK_SIZE)
        return fileSize(input->fd);
    const int64_t at = seekFile(input->fd, offset, whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(EIO) : at;
}

int interrupted(void *opaque)
{
    return static_cast<Input *>(opaque)->expired() ? 1 : 0;
}

// A playlist or a film that points at other files is not followed: the worker reads only the
// file it was asked about.
int refuseNestedOpen(AVFormatContext *, AVIOContext **, const char *, int, AVDictionary **)
{
    return AVERROR(EPERM);
}

struct Opened
{
    Input input;
    AVIOContext *io = nullptr;
    AVFormatContext *format = nullptr;

    ~Opened()
    {
        avformat_close_input(&format);
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
        if (input.fd >= 0)
            closeFile(input.fd);
    }
};

QString tag(
    const std::vector<AVDictionary *> &dictionaries, std::initializer_list<const char *> keys)
{
    // av_dict_get ignores case: "TITLE", "Title" and "title" are one tag.
    for (AVDictionary *dictionary : dictionaries) {
        for (const char *key : keys) {
            const AVDictionaryEntry *entry = av_dict_get(dictionary, key, nullptr, 0);
            if (!entry || !entry->value)
                continue;
            const QString value = QString::fromUtf8(entry->value).left(maxTagLength).trimmed();
            if (!value.isEmpty())
                return value;
        }
    }
    return {};
}

// "3", "3/12", " 03 of 12" -> 3; anything else -> 0.
int leadingNumber(const QString &text)
{
    int n = 0;
    int digits = 0;
    for (const QChar c : text) {
        if (c.isSpace() && digits == 0)
            continue;
        if (c < QLatin1Char('0') || c > QLatin1Char('9') || digits == 6)
            break;
        n = n * 10 + (c.unicode() - '0');
        ++digits;
    }
    return n;
}

StreamDetails::Kind kindOf(AVMediaType type)
{
    switch (type) {
    case AVMEDIA_TYPE_VIDEO:
        return StreamDetails::Kind::Video;
    case AVMEDIA_TYPE_AUDIO:
        return StreamDetails::Kind::Audio;
    case AVMEDIA_TYPE_SUBTITLE:
        return StreamDetails::Kind::Subtitle;
    default:
        return StreamDetails::Kind::Other;
    }
}

StreamDetails streamDetails(const AVStream *stream)
{
    const AVCodecParameters *p = stream->codecpar;
    StreamDetails s;
    s.kind = kindOf(p->codec_type);
    s.index = stream->index;
    s.codec = QString::fromLatin1(avcodec_get_name(p->codec_id));
    if (const char *profile = avcodec_profile_name(p->codec_id, p->profile))
        s.profile = QString::fromLatin1(profile);
    s.level = p->level >= 0 ? p->level : -1;
    s.attachedPicture = (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
    s.isDefault = (stream->disposition & AV_DISPOSITION_DEFAULT) != 0;
    if (s.kind == StreamDetails::Kind::Video) {
        s.width = std::max(0, p->width);
        s.height = std::max(0, p->height);
        AVRational rate = stream->avg_frame_rate;
        if (rate.num <= 0 || rate.den <= 0)
            rate = stream->r_frame_rate;
        if (!s.attachedPicture && rate.num > 0 && rate.den > 0)
            s.frameRate = av_q2d(rate);
        if (const char *name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(p->format)))
            s.pixelFormat = QString::fromLatin1(name);
    } else if (s.kind == StreamDetails::Kind::Audio) {
        s.channels = std::max(0, p->ch_layout.nb_channels);
        s.sampleRate = std::max(0, p->sample_rate);
        // Sample depth means something only for a lossless codec (a lossy decoder's own output
        // format is no property of the file).
        const AVCodecDescriptor *descriptor = avcodec_descriptor_get(p->codec_id);
        if (descriptor && (descriptor->props & AV_CODEC_PROP_LOSSLESS)
            && !(descriptor->props & AV_CODEC_PROP_LOSSY)) {
            s.bitsPerSample = p->bits_per_raw_sample > 0 ? p->bits_per_raw_sample
                                                         : std::max(0, p->bits_per_coded_sample);
        }
    }
    s.bitrate = std::max<int64_t>(0, p->bit_rate);
    const std::vector<AVDictionary *> own { stream->metadata };
    s.language = tag(own, { "language" });
    if (s.language == QLatin1String("und"))
        s.language.clear();
    s.title = tag(own, { "title" });
    return s;
}

// Demuxers that take any text for pictures (ANSI art, by the name's extension): a .txt file is
// no video.
bool isTextArt(const AVInputFormat *format)
{
    for (const char *name : { "tty", "bin", "xbin", "adf", "idf" }) {
        if (std::strcmp(format->name, name) == 0)
            return true;
    }
    return false;
}

bool isStillPicture(const AVInputFormat *format)
{
    const char *name = format->name;
    const size_t length = std::strlen(name);
    return std::strcmp(name, "image2") == 0
        || (length > 5 && std::strcmp(name + length - 5, "_pipe") == 0);
}

// Fills `buffer` from `offset` as far as the file goes; the bytes read.
int readAt(int fd, int64_t offset, uint8_t *buffer, int size)
{
    if (seekFile(fd, offset, SEEK_SET) != offset)
        return 0;
    int have = 0;
    while (have < size) {
        const int n = readFile(fd, buffer + have, size - have);
        if (n <= 0)
            break;
        have += n;
    }
    return have;
}

// The format of a file that begins with an ID3v2 tag (an MP3's tags and cover), found from the
// bytes after the tag; null when they do not say, and FFmpeg probes as usual. FFmpeg skips such
// a tag only once its probe reads hold it whole: for a tag with a cover it probes ever larger
// reads with every demuxer it has, which costs more than all the rest of reading the file.
const AVInputFormat *formatAfterId3(Input &input, const char *name)
{
    uint8_t header[10];
    const int have = readAt(input.fd, 0, header, sizeof header);
    // FFmpeg reads from where the descriptor stands.
    seekFile(input.fd, 0, SEEK_SET);
    if (have != int(sizeof header) || std::memcmp(header, "ID3", 3) != 0 || header[3] == 0xff
        || header[4] == 0xff || ((header[6] | header[7] | header[8] | header[9]) & 0x80) != 0) {
        return nullptr;
    }
    // A synchsafe size after the 10 header bytes, and 10 more for a footer.
    const int64_t tagLength = 10 + ((int64_t(header[6]) << 21) | (header[7] << 14)
                                  | (header[8] << 7) | header[9])
        + ((header[5] & 0x10) ? 10 : 0);
    const AVInputFormat *found = nullptr;
    // As FFmpeg grows its reads, from a page up to its own first reads' end.
    std::vector<uint8_t> buffer;
    for (int size = 4096; size <= 64 << 10 && !found && !input.expired(); size *= 4) {
        buffer.assign(size_t(size) + AVPROBE_PADDING_SIZE, 0);
        AVProbeData probe {};
        probe.filename = name;
        probe.buf = buffer.data();
        probe.buf_size = readAt(input.fd, tagLength, buffer.data(), size);
        int score = 0;
        const AVInputFormat *format = av_probe_input_format3(&probe, 1, &score);
        if (format && score > AVPROBE_SCORE_RETRY)
            found = format;
        if (probe.buf_size < size)
            break;
    }
    seekFile(input.fd, 0, SEEK_SET);
    return found;
}

void readPictureFacts(Input &input, MediaDetails &details)
{
    std::vector<uint8_t> head(exifBytes);
    const int have = readAt(input.fd, 0, head.data(), exifBytes);
    const ExifFacts facts = readExif(head.data(), size_t(have));
    details.taken = QString::fromLatin1(facts.taken.c_str());
    details.orientation = facts.orientation;
}

} // namespace

ProbeResult probeFile(const std::string &utf8Path, Deadline deadline)
{
    ProbeResult result;
    Opened file;
    file.input.deadline = deadline;
    file.input.fd = openRegularFile(utf8Path);
    if (file.input.fd < 0)
        return result;

    auto *buffer = static_cast<uint8_t *>(av_malloc(ioBufferSize));
    if (!buffer)
        return result;
    file.io
        = avio_alloc_context(buffer, ioBufferSize, 0, &file.input, readPacket, nullptr, seekInput);
    file.format = avformat_alloc_context();
    if (!file.io || !file.format) {
        if (!file.io)
            av_free(buffer);
        return result;
    }
    AVFormatContext *format = file.format;
    format->pb = file.io;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    format->interrupt_callback.callback = interrupted;
    format->interrupt_callback.opaque = &file.input;
    format->probesize = probeBytes;
    format->max_analyze_duration = analyzeMicroseconds;
    format->io_open = refuseNestedOpen;
    // The name only hints at the format (by its extension); the bytes come from our descriptor.
    const AVInputFormat *known = formatAfterId3(file.input, utf8Path.c_str());
    if (avformat_open_input(&file.format, utf8Path.c_str(), known, nullptr) < 0) {
        if (file.input.timedOut)
            result.outcome = ProbeResult::Outcome::GaveUp;
        return result;
    }
    format = file.format;

    std::vector<AVDictionary *> options(format->nb_streams, nullptr);
    for (AVDictionary *&o : options)
        av_dict_set(&o, "threads", "1", 0);
    const int found = avformat_find_stream_info(format, options.data());
    for (AVDictionary *&o : options)
        av_dict_free(&o);
    if (file.input.timedOut) {
        result.outcome = ProbeResult::Outcome::GaveUp;
        return result;
    }
    if (found < 0 || format->nb_streams == 0 || isTextArt(format->iformat))
        return result;

    MediaDetails &d = result.details;
    d.container = QString::fromLatin1(format->iformat->name);
    const bool picture = isStillPicture(format->iformat);
    if (!picture && format->duration > 0 && format->duration != AV_NOPTS_VALUE)
        d.durationMs = format->duration / 1000;
    if (!picture)
        d.bitrate = std::max<int64_t>(0, format->bit_rate);

    const AVStream *cover = nullptr;
    const AVStream *video = nullptr;
    const AVStream *audio = nullptr;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream *stream = format->streams[i];
        d.streams.append(streamDetails(stream));
        if (picture)
            d.streams.last().frameRate = 0;
        const StreamDetails &s = d.streams.constLast();
        if (s.attachedPicture && !cover)
            cover = stream;
        else if (s.kind == StreamDetails::Kind::Video && !video)
            video = stream;
        else if (s.kind == StreamDetails::Kind::Audio && !audio)
            audio = stream;
    }

    // Containers keep tags for the whole file; Ogg keeps them on its audio stream.
    std::vector<AVDictionary *> tags { format->metadata };
    if (audio)
        tags.push_back(audio->metadata);
    d.title = tag(tags, { "title" });
    d.artist = tag(tags, { "artist", "author" });
    d.albumArtist = tag(tags, { "album_artist", "albumartist", "album artist" });
    d.album = tag(tags, { "album" });
    d.genre = tag(tags, { "genre" });
    d.composer = tag(tags, { "composer" });
    d.date = tag(tags, { "date", "year", "originaldate" });
    d.track = leadingNumber(tag(tags, { "track", "tracknumber" }));
    d.disc = leadingNumber(tag(tags, { "disc", "discnumber", "disk" }));

    if (picture) {
        readPictureFacts(file.input, d);
    } else if (cover) {
        d.thumbnail = coverThumbnail(cover);
    } else if (video) {
        d.thumbnail = videoThumbnail(format, video, [&file] { return file.input.expired(); });
    }
    if (file.input.timedOut) {
        result.outcome = ProbeResult::Outcome::GaveUp;
        result.details = MediaDetails();
        return result;
    }
    result.outcome = ProbeResult::Outcome::Read;
    return result;
}
