#include "upnp/mediaformat.h"

#include <cstdio>

namespace {

struct Extension
{
    const char *suffix;
    const char *mimeType;
};

// The spellings TVs accept: Samsung and LG want video/x-matroska and video/avi, not
// the registered names.
const Extension extensions[] = {
    { "mkv", "video/x-matroska" },
    { "mk3d", "video/x-matroska" },
    { "webm", "video/webm" },
    { "mp4", "video/mp4" },
    { "m4v", "video/mp4" },
    { "mov", "video/quicktime" },
    { "avi", "video/avi" },
    { "divx", "video/avi" },
    { "xvid", "video/avi" },
    { "mpg", "video/mpeg" },
    { "mpeg", "video/mpeg" },
    { "mpe", "video/mpeg" },
    { "vob", "video/mpeg" },
    { "m2v", "video/mpeg" },
    { "ts", "video/mp2t" },
    { "m2ts", "video/mp2t" },
    { "mts", "video/mp2t" },
    { "tp", "video/mp2t" },
    { "wmv", "video/x-ms-wmv" },
    { "asf", "video/x-ms-asf" },
    { "flv", "video/x-flv" },
    { "3gp", "video/3gpp" },
    { "ogv", "video/ogg" },
    { "mp3", "audio/mpeg" },
    { "mp2", "audio/mpeg" },
    { "m4a", "audio/mp4" },
    { "aac", "audio/aac" },
    { "flac", "audio/flac" },
    { "wav", "audio/wav" },
    { "ogg", "audio/ogg" },
    { "oga", "audio/ogg" },
    { "opus", "audio/ogg" },
    { "wma", "audio/x-ms-wma" },
    { "ac3", "audio/ac3" },
    { "aif", "audio/aiff" },
    { "aiff", "audio/aiff" },
    { "jpg", "image/jpeg" },
    { "jpeg", "image/jpeg" },
    { "jpe", "image/jpeg" },
    { "png", "image/png" },
    { "gif", "image/gif" },
    { "bmp", "image/bmp" },
    { "webp", "image/webp" },
    { "tif", "image/tiff" },
    { "tiff", "image/tiff" },
};

// DLNA.ORG_FLAGS: sender paced off, byte ranges, connection stall allowed, DLNA 1.5, plus the
// transfer mode (streaming for AV, interactive for pictures) and background transfer.
const QByteArray streamingFlags = QByteArrayLiteral("01700000000000000000000000000000");
const QByteArray interactiveFlags = QByteArrayLiteral("00f00000000000000000000000000000");

} // namespace

MediaFormat MediaFormat::forFile(const QString &fileName, int mediaType)
{
    MediaFormat format;
    // Asked for every item of a listing: the name is only looked at, not taken apart.
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QStringView suffix = dot < 0 ? QStringView() : QStringView(fileName).sliced(dot + 1);
    for (const Extension &extension : extensions) {
        if (suffix.compare(QLatin1String(extension.suffix), Qt::CaseInsensitive) == 0) {
            format.mimeType = extension.mimeType;
            break;
        }
    }
    if (format.mimeType.isEmpty())
        format.mimeType = QByteArrayLiteral("application/octet-stream");
    const bool picture = mediaType == 3;
    format.transferMode
        = picture ? QByteArrayLiteral("Interactive") : QByteArrayLiteral("Streaming");
    static const QByteArray streamed
        = "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=" + streamingFlags;
    static const QByteArray shown
        = "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=" + interactiveFlags;
    format.features = picture ? shown : streamed;
    return format;
}

MediaFormat MediaFormat::convertedPicture(const char *profile)
{
    MediaFormat format;
    format.mimeType = QByteArrayLiteral("image/jpeg");
    format.transferMode = QByteArrayLiteral("Interactive");
    format.features = "DLNA.ORG_OP=01;DLNA.ORG_CI=1;DLNA.ORG_FLAGS=" + interactiveFlags;
    return format.named(profile);
}

MediaFormat MediaFormat::named(const char *profile) const
{
    MediaFormat format = *this;
    format.features = "DLNA.ORG_PN=" + QByteArray(profile) + ';' + features;
    return format;
}

ByteRange ByteRange::parse(const QByteArray &header, qint64 size)
{
    ByteRange range;
    range.length = size;
    const QByteArray unit = header.trimmed();
    if (!unit.startsWith("bytes="))
        return range;
    const QByteArray value = unit.mid(6).trimmed();
    const int dash = value.indexOf('-');
    if (dash < 0 || value.contains(','))
        return range;
    const QByteArray firstText = value.left(dash).trimmed();
    const QByteArray lastText = value.mid(dash + 1).trimmed();
    const auto number = [](const QByteArray &text, qint64 *out) {
        if (text.isEmpty() || text.size() > 18)
            return false;
        for (const char c : text) {
            if (c < '0' || c > '9')
                return false;
        }
        *out = text.toLongLong();
        return true;
    };
    qint64 first = 0;
    qint64 last = 0;
    if (firstText.isEmpty()) {
        // The last n bytes.
        if (!number(lastText, &last))
            return range;
        if (last == 0 || size == 0) {
            range.kind = Unsatisfiable;
            return range;
        }
        range.kind = Partial;
        range.first = size - qMin(last, size);
        range.length = size - range.first;
        return range;
    }
    if (!number(firstText, &first))
        return range;
    if (lastText.isEmpty()) {
        last = size - 1;
    } else if (!number(lastText, &last) || last < first) {
        return range;
    }
    if (first >= size) {
        range.kind = Unsatisfiable;
        return range;
    }
    range.kind = Partial;
    range.first = first;
    range.length = qMin(last, size - 1) - first + 1;
    return range;
}

QByteArray durationText(qint64 ms)
{
    char text[40];
    const int length = std::snprintf(text, sizeof text, "%lld:%02d:%02d.%03d",
        static_cast<long long>(ms / 3600000), int(ms / 60000 % 60), int(ms / 1000 % 60),
        int(ms % 1000));
    return QByteArray(text, qMax(0, length));
}
