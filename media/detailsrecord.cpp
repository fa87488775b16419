#include "media/detailsrecord.h"

#include <climits>
#include <cstring>

// A field added to the shared structs must be stored here too, or the cache would lose it:
// the sizes below change with any field added, and stop the build until this file follows
// (then raise MediaCache's format version, so records without the field are read anew).
static_assert(sizeof(void *) != 8 || sizeof(StreamDetails) == 184,
    "StreamDetails changed: store the new field in DetailsRecord");
static_assert(sizeof(void *) != 8 || sizeof(MediaDetails) == 296,
    "MediaDetails changed: store the new field in DetailsRecord");

namespace {

// Numbers as variable-length integers (7 bits a byte, sign folded into the lowest bit), text as
// its length and UTF-8 bytes: most fields are small or empty, so most take one byte.
class Writer
{
public:
    void number(qint64 value)
    {
        quint64 folded = (quint64(value) << 1) ^ quint64(value >> 63);
        while (folded >= 0x80) {
            bytes += char(folded | 0x80);
            folded >>= 7;
        }
        bytes += char(folded);
    }
    void text(const QString &value)
    {
        const QByteArray utf8 = value.toUtf8();
        number(utf8.size());
        bytes += utf8;
    }
    void real(double value)
    {
        // Most streams have none: one byte then.
        bytes += char(value != 0 ? 1 : 0);
        if (value != 0) {
            char raw[sizeof value];
            std::memcpy(raw, &value, sizeof value);
            bytes.append(raw, sizeof value);
        }
    }
    QByteArray bytes;
};

class Reader
{
public:
    explicit Reader(const QByteArray &bytes)
        : at(bytes.constData())
        , end(bytes.constData() + bytes.size())
    { }
    qint64 number()
    {
        quint64 folded = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at == end) {
                ok = false;
                return 0;
            }
            const quint8 byte = quint8(*at++);
            folded |= quint64(byte & 0x7F) << shift;
            if (!(byte & 0x80))
                return qint64(folded >> 1) ^ -qint64(folded & 1);
        }
        ok = false;
        return 0;
    }
    int integer()
    {
        const qint64 value = number();
        return value >= INT_MIN && value <= INT_MAX ? int(value) : 0;
    }
    QString text()
    {
        const qint64 size = number();
        if (size < 0 || size > end - at) {
            ok = false;
            return {};
        }
        const QString value = QString::fromUtf8(at, size);
        at += size;
        return value;
    }
    double real()
    {
        if (at == end) {
            ok = false;
            return 0;
        }
        if (*at++ == 0)
            return 0;
        double value = 0;
        if (end - at < qint64(sizeof value)) {
            ok = false;
            return 0;
        }
        std::memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }
    bool atEnd() const { return at == end; }
    bool ok = true;

private:
    const char *at;
    const char *end;
};

} // namespace

namespace DetailsRecord {

QByteArray encode(const MediaDetails &details)
{
    Writer out;
    out.text(details.container);
    out.number(details.durationMs);
    out.number(details.bitrate);
    out.number(details.streams.size());
    for (const StreamDetails &stream : details.streams) {
        out.number(int(stream.kind));
        out.number(stream.index);
        out.text(stream.codec);
        out.text(stream.profile);
        out.number(stream.level);
        out.number(stream.width);
        out.number(stream.height);
        out.real(stream.frameRate);
        out.text(stream.pixelFormat);
        out.number(stream.channels);
        out.number(stream.sampleRate);
        out.number(stream.bitsPerSample);
        out.number(stream.bitrate);
        out.text(stream.language);
        out.text(stream.title);
        out.number((stream.isDefault ? 1 : 0) | (stream.attachedPicture ? 2 : 0));
    }
    for (const QString *text : { &details.title, &details.artist, &details.albumArtist,
             &details.album, &details.genre, &details.composer, &details.date }) {
        out.text(*text);
    }
    out.number(details.track);
    out.number(details.disc);
    out.text(details.taken);
    out.number(details.orientation);
    out.bytes.squeeze();
    return out.bytes;
}

bool decode(const QByteArray &bytes, MediaDetails *details)
{
    Reader in(bytes);
    MediaDetails read;
    read.container = in.text();
    read.durationMs = in.number();
    read.bitrate = in.number();
    const qint64 streams = in.number();
    // Each stream takes at least 16 bytes, so a larger count is damage, not a file.
    if (!in.ok || streams < 0 || streams > bytes.size() / 16)
        return false;
    read.streams.reserve(int(streams));
    for (qint64 i = 0; i < streams && in.ok; ++i) {
        StreamDetails stream;
        const qint64 kind = in.number();
        stream.kind = kind >= 0 && kind <= qint64(StreamDetails::Kind::Other)
            ? StreamDetails::Kind(kind)
            : StreamDetails::Kind::Other;
        stream.index = in.integer();
        stream.codec = in.text();
        stream.profile = in.text();
        stream.level = in.integer();
        stream.width = in.integer();
        stream.height = in.integer();
        stream.frameRate = in.real();
        stream.pixelFormat = in.text();
        stream.channels = in.integer();
        stream.sampleRate = in.integer();
        stream.bitsPerSample = in.integer();
        stream.bitrate = in.number();
        stream.language = in.text();
        stream.title = in.text();
        const qint64 flags = in.number();
        stream.isDefault = flags & 1;
        stream.attachedPicture = flags & 2;
        read.streams.append(stream);
    }
    for (QString *text : { &read.title, &read.artist, &read.albumArtist, &read.album, &read.genre,
             &read.composer, &read.date }) {
        *text = in.text();
    }
    read.track = in.integer();
    read.disc = in.integer();
    read.taken = in.text();
    read.orientation = in.integer();
    if (!in.ok || !in.atEnd())
        return false;
    *details = std::move(read);
    return true;
}

} // namespace DetailsRecord
