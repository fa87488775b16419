#include "media/detailsrecord.h"

#include <QDataStream>
#include <QIODevice>

// A field added to the shared structs must be stored here too, or the cache would lose it:
// the sizes below change with any field added, and stop the build until this file follows
// (then raise MediaCache's format version, so records without the field are read anew).
static_assert(sizeof(void *) != 8 || sizeof(StreamDetails) == 184,
    "StreamDetails changed: store the new field in DetailsRecord");
static_assert(sizeof(void *) != 8 || sizeof(MediaDetails) == 296,
    "MediaDetails changed: store the new field in DetailsRecord");

namespace {

void putText(QDataStream &out, const QString &text)
{
    out << text.toUtf8();
}

QString takeText(QDataStream &in)
{
    QByteArray bytes;
    in >> bytes;
    return QString::fromUtf8(bytes);
}

} // namespace

namespace DetailsRecord {

QByteArray encode(const MediaDetails &details)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    putText(out, details.container);
    out << details.durationMs << details.bitrate << quint32(details.streams.size());
    for (const StreamDetails &stream : details.streams) {
        out << quint8(stream.kind) << qint32(stream.index);
        putText(out, stream.codec);
        putText(out, stream.profile);
        out << qint32(stream.level) << qint32(stream.width) << qint32(stream.height)
            << stream.frameRate;
        putText(out, stream.pixelFormat);
        out << qint32(stream.channels) << qint32(stream.sampleRate) << qint32(stream.bitsPerSample)
            << stream.bitrate;
        putText(out, stream.language);
        putText(out, stream.title);
        out << quint8((stream.isDefault ? 1 : 0) | (stream.attachedPicture ? 2 : 0));
    }
    for (const QString *text : { &details.title, &details.artist, &details.albumArtist,
             &details.album, &details.genre, &details.composer, &details.date }) {
        putText(out, *text);
    }
    out << qint32(details.track) << qint32(details.disc);
    putText(out, details.taken);
    out << qint32(details.orientation);
    return bytes;
}

bool decode(const QByteArray &bytes, MediaDetails *details)
{
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_0);
    MediaDetails read;
    read.container = takeText(in);
    quint32 streams = 0;
    in >> read.durationMs >> read.bitrate >> streams;
    // Each stream takes more than 60 bytes, so a larger count is damage, not a file.
    if (in.status() != QDataStream::Ok || streams > quint32(bytes.size() / 60))
        return false;
    read.streams.reserve(int(streams));
    for (quint32 i = 0; i < streams; ++i) {
        StreamDetails stream;
        quint8 kind = 0;
        qint32 index = 0, level = 0, width = 0, height = 0, channels = 0, sampleRate = 0,
               bitsPerSample = 0;
        in >> kind >> index;
        stream.kind = kind <= quint8(StreamDetails::Kind::Other) ? StreamDetails::Kind(kind)
                                                                 : StreamDetails::Kind::Other;
        stream.index = index;
        stream.codec = takeText(in);
        stream.profile = takeText(in);
        in >> level >> width >> height >> stream.frameRate;
        stream.level = level;
        stream.width = width;
        stream.height = height;
        stream.pixelFormat = takeText(in);
        in >> channels >> sampleRate >> bitsPerSample >> stream.bitrate;
        stream.channels = channels;
        stream.sampleRate = sampleRate;
        stream.bitsPerSample = bitsPerSample;
        stream.language = takeText(in);
        stream.title = takeText(in);
        quint8 flags = 0;
        in >> flags;
        stream.isDefault = flags & 1;
        stream.attachedPicture = flags & 2;
        read.streams.append(stream);
    }
    for (QString *text : { &read.title, &read.artist, &read.albumArtist, &read.album, &read.genre,
             &read.composer, &read.date }) {
        *text = takeText(in);
    }
    qint32 track = 0, disc = 0, orientation = 0;
    in >> track >> disc;
    read.taken = takeText(in);
    in >> orientation;
    read.track = track;
    read.disc = disc;
    read.orientation = orientation;
    if (in.status() != QDataStream::Ok || !in.atEnd())
        return false;
    *details = std::move(read);
    return true;
}

} // namespace DetailsRecord
