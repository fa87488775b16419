#include "media/mediadetails.h"

#include <QJsonArray>

// Compact JSON: a field at its default value is left out, so an answer for a plain MP3 stays a
// short line; fromJson gives absent fields their defaults.

namespace {

const char *kindName(StreamDetails::Kind kind)
{
    switch (kind) {
    case StreamDetails::Kind::Video:
        return "video";
    case StreamDetails::Kind::Audio:
        return "audio";
    case StreamDetails::Kind::Subtitle:
        return "subtitle";
    case StreamDetails::Kind::Other:
        break;
    }
    return "other";
}

StreamDetails::Kind kindFromName(const QString &name)
{
    if (name == QLatin1String("video"))
        return StreamDetails::Kind::Video;
    if (name == QLatin1String("audio"))
        return StreamDetails::Kind::Audio;
    if (name == QLatin1String("subtitle"))
        return StreamDetails::Kind::Subtitle;
    return StreamDetails::Kind::Other;
}

void putText(QJsonObject &object, const char *key, const QString &value)
{
    if (!value.isEmpty())
        object.insert(QLatin1String(key), value);
}

void putNumber(QJsonObject &object, const char *key, qint64 value, qint64 absent = 0)
{
    if (value != absent)
        object.insert(QLatin1String(key), static_cast<double>(value));
}

QString text(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toString();
}

// Whole numbers only, within the field's range: a hostile or garbled line gives the default.
qint64 number(const QJsonObject &object, const char *key, qint64 absent = 0)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isDouble())
        return absent;
    const double d = value.toDouble();
    if (!(d >= -9.0e15 && d <= 9.0e15))
        return absent;
    return static_cast<qint64>(d);
}

int smallNumber(const QJsonObject &object, const char *key, int absent = 0)
{
    const qint64 n = number(object, key, absent);
    return n >= -1 && n <= 0x7fffffff ? static_cast<int>(n) : absent;
}

} // namespace

QJsonObject StreamDetails::toJson() const
{
    QJsonObject object;
    object.insert(QLatin1String("kind"), QLatin1String(kindName(kind)));
    putNumber(object, "index", index, -1);
    putText(object, "codec", codec);
    putText(object, "profile", profile);
    putNumber(object, "level", level, -1);
    putNumber(object, "width", width);
    putNumber(object, "height", height);
    if (frameRate > 0)
        object.insert(QLatin1String("frameRate"), frameRate);
    putText(object, "pixelFormat", pixelFormat);
    putNumber(object, "channels", channels);
    putNumber(object, "sampleRate", sampleRate);
    putNumber(object, "bitsPerSample", bitsPerSample);
    putNumber(object, "bitrate", bitrate);
    putText(object, "language", language);
    putText(object, "title", title);
    if (isDefault)
        object.insert(QLatin1String("default"), true);
    if (attachedPicture)
        object.insert(QLatin1String("attachedPicture"), true);
    return object;
}

StreamDetails StreamDetails::fromJson(const QJsonObject &object)
{
    StreamDetails s;
    s.kind = kindFromName(text(object, "kind"));
    s.index = smallNumber(object, "index", -1);
    s.codec = text(object, "codec");
    s.profile = text(object, "profile");
    s.level = smallNumber(object, "level", -1);
    s.width = smallNumber(object, "width");
    s.height = smallNumber(object, "height");
    const double rate = object.value(QLatin1String("frameRate")).toDouble();
    s.frameRate = rate > 0 && rate < 1.0e6 ? rate : 0;
    s.pixelFormat = text(object, "pixelFormat");
    s.channels = smallNumber(object, "channels");
    s.sampleRate = smallNumber(object, "sampleRate");
    s.bitsPerSample = smallNumber(object, "bitsPerSample");
    s.bitrate = number(object, "bitrate");
    s.language = text(object, "language");
    s.title = text(object, "title");
    s.isDefault = object.value(QLatin1String("default")).toBool();
    s.attachedPicture = object.value(QLatin1String("attachedPicture")).toBool();
    return s;
}

bool StreamDetails::operator==(const StreamDetails &other) const
{
    return kind == other.kind && index == other.index && codec == other.codec
        && profile == other.profile && level == other.level && width == other.width
        && height == other.height && frameRate == other.frameRate
        && pixelFormat == other.pixelFormat && channels == other.channels
        && sampleRate == other.sampleRate && bitsPerSample == other.bitsPerSample
        && bitrate == other.bitrate && language == other.language && title == other.title
        && isDefault == other.isDefault && attachedPicture == other.attachedPicture;
}

const StreamDetails *MediaDetails::firstStream(StreamDetails::Kind kind) const
{
    for (const StreamDetails &s : streams) {
        if (s.kind == kind && !(kind == StreamDetails::Kind::Video && s.attachedPicture))
            return &s;
    }
    return nullptr;
}

QJsonObject MediaDetails::toJson() const
{
    QJsonObject object;
    putText(object, "container", container);
    putNumber(object, "durationMs", durationMs, -1);
    putNumber(object, "bitrate", bitrate);
    if (!streams.isEmpty()) {
        QJsonArray list;
        for (const StreamDetails &s : streams)
            list.append(s.toJson());
        object.insert(QLatin1String("streams"), list);
    }
    putText(object, "title", title);
    putText(object, "artist", artist);
    putText(object, "albumArtist", albumArtist);
    putText(object, "album", album);
    putText(object, "genre", genre);
    putText(object, "composer", composer);
    putText(object, "date", date);
    putNumber(object, "track", track);
    putNumber(object, "disc", disc);
    putText(object, "taken", taken);
    putNumber(object, "orientation", orientation);
    if (!thumbnail.isEmpty())
        object.insert(QLatin1String("thumbnail"), QString::fromLatin1(thumbnail.toBase64()));
    return object;
}

MediaDetails MediaDetails::fromJson(const QJsonObject &object)
{
    MediaDetails d;
    d.container = text(object, "container");
    d.durationMs = number(object, "durationMs", -1);
    d.bitrate = number(object, "bitrate");
    const QJsonArray list = object.value(QLatin1String("streams")).toArray();
    d.streams.reserve(list.size());
    for (const QJsonValue &s : list) {
        if (s.isObject())
            d.streams.append(StreamDetails::fromJson(s.toObject()));
    }
    d.title = text(object, "title");
    d.artist = text(object, "artist");
    d.albumArtist = text(object, "albumArtist");
    d.album = text(object, "album");
    d.genre = text(object, "genre");
    d.composer = text(object, "composer");
    d.date = text(object, "date");
    d.track = smallNumber(object, "track");
    d.disc = smallNumber(object, "disc");
    d.taken = text(object, "taken");
    const int orientation = smallNumber(object, "orientation");
    d.orientation = orientation >= 1 && orientation <= 8 ? orientation : 0;
    d.thumbnail = QByteArray::fromBase64(text(object, "thumbnail").toLatin1());
    return d;
}

bool MediaDetails::operator==(const MediaDetails &other) const
{
    return container == other.container && durationMs == other.durationMs
        && bitrate == other.bitrate && streams == other.streams && title == other.title
        && artist == other.artist && albumArtist == other.albumArtist && album == other.album
        && genre == other.genre && composer == other.composer && date == other.date
        && track == other.track && disc == other.disc && taken == other.taken
        && orientation == other.orientation && thumbnail == other.thumbnail;
}
