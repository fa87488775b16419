#include "convert/clientprofile.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>

namespace {

// Reads the fields of one JSON object, remembering the first fault with where it was, and
// refusing fields it does not know: a misspelt limit must not pass silently as "no limit".
class Reader
{
public:
    Reader(const QJsonObject &object, QString where, QString &error)
        : m_object(object)
        , m_where(std::move(where))
        , m_error(error)
    { }

    bool fail(const QString &what)
    {
        if (m_error.isEmpty())
            m_error = m_where + QLatin1String(": ") + what;
        return false;
    }

    QString text(const char *key)
    {
        const QJsonValue value = take(key);
        if (value.isUndefined())
            return {};
        if (!value.isString())
            fail(QLatin1String(key) + QLatin1String(" is not text"));
        return value.toString();
    }

    bool flag(const char *key, bool absent)
    {
        const QJsonValue value = take(key);
        if (value.isUndefined())
            return absent;
        if (!value.isBool())
            fail(QLatin1String(key) + QLatin1String(" is not true or false"));
        return value.toBool(absent);
    }

    // A whole number from 0 up to `maximum`.
    qint64 number(const char *key, qint64 maximum)
    {
        const QJsonValue value = take(key);
        if (value.isUndefined())
            return 0;
        const double d = value.toDouble(-1);
        if (!value.isDouble() || d < 0 || d > double(maximum) || d != std::floor(d)) {
            fail(QLatin1String(key) + QLatin1String(" is not a whole number from 0 to ")
                + QString::number(maximum));
            return 0;
        }
        return qint64(d);
    }

    double decimal(const char *key, double maximum)
    {
        const QJsonValue value = take(key);
        if (value.isUndefined())
            return 0;
        const double d = value.toDouble(-1);
        if (!value.isDouble() || !(d >= 0 && d <= maximum)) {
            fail(QLatin1String(key) + QLatin1String(" is not a number from 0 to ")
                + QString::number(maximum));
            return 0;
        }
        return d;
    }

    QStringList texts(const char *key)
    {
        const QJsonValue value = take(key);
        QStringList list;
        if (value.isUndefined())
            return list;
        if (!value.isArray()) {
            fail(QLatin1String(key) + QLatin1String(" is not a list"));
            return list;
        }
        for (const QJsonValue &item : value.toArray()) {
            if (!item.isString() || item.toString().isEmpty())
                fail(QLatin1String(key) + QLatin1String(" holds something not text"));
            list.append(item.toString());
        }
        return list;
    }

    QList<int> numbers(const char *key, int maximum)
    {
        const QJsonValue value = take(key);
        QList<int> list;
        if (value.isUndefined())
            return list;
        if (!value.isArray())
            fail(QLatin1String(key) + QLatin1String(" is not a list"));
        for (const QJsonValue &item : value.toArray()) {
            const double d = item.toDouble(-1);
            if (!(d > 0 && d <= maximum) || d != std::floor(d))
                fail(QLatin1String(key) + QLatin1String(" holds something not a whole number"));
            list.append(int(d));
        }
        return list;
    }

    QList<QRegularExpression> patterns(const char *key)
    {
        QList<QRegularExpression> list;
        for (const QString &text : texts(key))
            list.append(pattern(key, text));
        return list;
    }

    QRegularExpression pattern(const char *key, const QString &text)
    {
        QRegularExpression expression(text, QRegularExpression::CaseInsensitiveOption);
        if (!expression.isValid())
            fail(QLatin1String(key) + QLatin1String(": \"") + text + QLatin1String("\": ")
                + expression.errorString());
        return expression;
    }

    QJsonObject object(const char *key)
    {
        const QJsonValue value = take(key);
        if (!value.isUndefined() && !value.isObject())
            fail(QLatin1String(key) + QLatin1String(" is not an object"));
        return value.toObject();
    }

    QJsonArray objects(const char *key)
    {
        const QJsonValue value = take(key);
        if (value.isUndefined())
            return {};
        if (!value.isArray())
            fail(QLatin1String(key) + QLatin1String(" is not a list"));
        const QJsonArray array = value.toArray();
        for (const QJsonValue &item : array) {
            if (!item.isObject())
                fail(QLatin1String(key) + QLatin1String(" holds something not an object"));
        }
        return array;
    }

    // Every claim names its source, one of the file's "sources".
    void source(const QSet<QString> &known)
    {
        const QJsonValue value = take("source");
        const QStringList names = value.isArray() ? QJsonValue(value).toVariant().toStringList()
                                                  : QStringList { value.toString() };
        if (names.isEmpty() || names.contains(QString()))
            fail(QLatin1String("a claim without its source"));
        for (const QString &name : names) {
            if (!name.isEmpty() && !known.contains(name))
                fail(QLatin1String("source \"") + name + QLatin1String("\" is not in sources"));
        }
    }

    // Called last: what is left was not understood.
    bool finish()
    {
        for (auto it = m_object.constBegin(); it != m_object.constEnd(); ++it) {
            if (!m_taken.contains(it.key()))
                fail(QLatin1String("unknown field \"") + it.key() + QLatin1Char('"'));
        }
        return m_error.isEmpty();
    }

private:
    QJsonValue take(const char *key)
    {
        const QString name = QLatin1String(key);
        m_taken.insert(name);
        return m_object.value(name);
    }

    QJsonObject m_object;
    QString m_where;
    QString &m_error;
    QSet<QString> m_taken;
};

const QStringList knownContainers = { QStringLiteral("mp4"), QStringLiteral("mov"),
    QStringLiteral("mkv"), QStringLiteral("webm"), QStringLiteral("mpegts"), QStringLiteral("m2ts"),
    QStringLiteral("mpegps"), QStringLiteral("avi"), QStringLiteral("asf"), QStringLiteral("flv"),
    QStringLiteral("3gp"), QStringLiteral("ogg"), QStringLiteral("mp3"), QStringLiteral("aac"),
    QStringLiteral("m4a"), QStringLiteral("flac"), QStringLiteral("wav"), QStringLiteral("aiff"),
    QStringLiteral("ac3"), QStringLiteral("dts"), QStringLiteral("wma"), QStringLiteral("mka"),
    QStringLiteral("opus"), QStringLiteral("ape"), QStringLiteral("wv"), QStringLiteral("dsf"),
    QStringLiteral("lpcm") };

void checkContainers(Reader &reader, const QStringList &words, const char *field)
{
    for (const QString &word : words) {
        if (!knownContainers.contains(word))
            reader.fail(QLatin1String(field) + QLatin1String(": unknown container \"") + word
                + QLatin1Char('"'));
    }
}

void checkChoices(
    Reader &reader, const QStringList &words, const QStringList &allowed, const char *field)
{
    for (const QString &word : words) {
        if (!allowed.contains(word))
            reader.fail(QLatin1String(field) + QLatin1String(": cannot convert into \"") + word
                + QLatin1Char('"'));
    }
}

int bitDepth(const QString &pixelFormat)
{
    // FFmpeg spells the depth into the name: "yuv420p10le", "p010le", "yuv444p12be".
    for (int depth : { 16, 14, 12, 10, 9 }) {
        const QString digits = QString::number(depth);
        if (pixelFormat.contains(QLatin1String("p") + digits)
            || pixelFormat.startsWith(QLatin1String("p0") + digits))
            return depth;
    }
    return 8;
}

bool inList(const QStringList &list, const QString &value)
{
    return list.isEmpty() || list.contains(value, Qt::CaseInsensitive);
}

bool atMost(qint64 value, qint64 bound)
{
    // Unknown values pass: the probe does not always tell, and a refusal would convert a file
    // the client may well play.
    return bound <= 0 || value <= 0 || value <= bound;
}

} // namespace

const ClientProfile::Video *ClientProfile::videoEntry(
    const StreamDetails &stream, const QString &container, qint64 fileBitrate) const
{
    for (const Video &entry : video) {
        if (entry.codec != stream.codec || !inList(entry.containers, container))
            continue;
        if (!entry.profiles.isEmpty() && !stream.profile.isEmpty()
            && !entry.profiles.contains(stream.profile, Qt::CaseInsensitive))
            continue;
        const qint64 bitrate = stream.bitrate > 0 ? stream.bitrate : fileBitrate;
        if (!atMost(stream.level, entry.maxLevel) || !atMost(stream.width, entry.maxWidth)
            || !atMost(stream.height, entry.maxHeight) || !atMost(bitrate, entry.maxBitrate))
            continue;
        if (entry.maxFrameRate > 0 && stream.frameRate > entry.maxFrameRate + 0.01)
            continue;
        if (!stream.pixelFormat.isEmpty()
            && ((entry.maxBitDepth > 0 && bitDepth(stream.pixelFormat) > entry.maxBitDepth)
                || !inList(entry.pixelFormats, stream.pixelFormat)))
            continue;
        return &entry;
    }
    return nullptr;
}

const ClientProfile::Audio *ClientProfile::audioEntry(
    const StreamDetails &stream, const QString &container) const
{
    for (const Audio &entry : audio) {
        if (entry.codec != stream.codec || !inList(entry.containers, container))
            continue;
        if (!entry.profiles.isEmpty() && !stream.profile.isEmpty()
            && !entry.profiles.contains(stream.profile, Qt::CaseInsensitive))
            continue;
        if (!atMost(stream.channels, entry.maxChannels)
            || !atMost(stream.sampleRate, entry.maxSampleRate)
            || !atMost(stream.bitrate, entry.maxBitrate))
            continue;
        if (!entry.sampleRates.isEmpty() && stream.sampleRate > 0
            && !entry.sampleRates.contains(stream.sampleRate))
            continue;
        return &entry;
    }
    return nullptr;
}

bool ClientProfile::parse(
    const QByteArray &text, const QString &fileId, ClientProfile &profile, QString &error)
{
    error.clear();
    // Whole-line comments carry the notes on sources; a JSON string never spans lines, so a
    // line that begins with "//" is never inside one.
    QByteArray json;
    json.reserve(text.size());
    for (const QByteArray &line : text.split('\n')) {
        if (!line.trimmed().startsWith("//"))
            json += line;
        json += '\n';
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject()) {
        if (parseError.error != QJsonParseError::NoError)
            error = QLatin1String("not JSON: ") + parseError.errorString() + QLatin1String(" at ")
                + QString::number(parseError.offset);
        else
            error = QStringLiteral("not a JSON object");
        return false;
    }

    profile = ClientProfile();
    profile.id = fileId;
    Reader top(document.object(), QStringLiteral("profile"), error);
    if (top.number("format", 1000) != 1)
        top.fail(QStringLiteral("format must be 1"));
    profile.name = top.text("name");
    if (profile.name.isEmpty())
        top.fail(QStringLiteral("no name"));
    profile.playsEverything = top.flag("playsEverything", false);

    QSet<QString> sources;
    const QJsonObject sourceObject = top.object("sources");
    for (auto it = sourceObject.constBegin(); it != sourceObject.constEnd(); ++it) {
        if (!it.value().isString() || it.value().toString().trimmed().isEmpty())
            top.fail(QLatin1String("sources: \"") + it.key() + QLatin1String("\" is not text"));
        sources.insert(it.key());
    }

    {
        Reader recognise(top.object("recognise"), QStringLiteral("recognise"), error);
        profile.userAgent = recognise.patterns("userAgent");
        profile.clientInfo = recognise.patterns("clientInfo");
        profile.friendlyName = recognise.patterns("friendlyName");
        const QJsonArray devices = recognise.objects("devices");
        for (const QJsonValue &value : devices) {
            Reader device(value.toObject(), QStringLiteral("recognise.devices"), error);
            const QString manufacturer = device.text("manufacturer");
            const QString model = device.text("model");
            if (manufacturer.isEmpty())
                device.fail(QStringLiteral("no manufacturer"));
            profile.devices.append(
                { device.pattern("manufacturer", manufacturer), device.pattern("model", model) });
            device.finish();
        }
        const bool any = !profile.userAgent.isEmpty() || !profile.clientInfo.isEmpty()
            || !profile.friendlyName.isEmpty() || !profile.devices.isEmpty();
        if (any)
            recognise.source(sources);
        recognise.finish();
    }

    const QJsonObject containers = top.object("containers");
    for (auto it = containers.constBegin(); it != containers.constEnd(); ++it) {
        Reader claim(QJsonObject { { QStringLiteral("source"), it.value() } },
            QLatin1String("containers.") + it.key(), error);
        claim.source(sources);
        profile.containers.append(it.key());
    }
    checkContainers(top, profile.containers, "containers");

    for (const QJsonValue &value : top.objects("video")) {
        Reader entry(value.toObject(), QStringLiteral("video"), error);
        Video video;
        video.codec = entry.text("codec");
        if (video.codec.isEmpty())
            entry.fail(QStringLiteral("no codec"));
        video.profiles = entry.texts("profiles");
        video.maxLevel = int(entry.number("maxLevel", 1000));
        video.maxWidth = int(entry.number("maxWidth", 65536));
        video.maxHeight = int(entry.number("maxHeight", 65536));
        video.maxFrameRate = entry.decimal("maxFrameRate", 1000);
        video.maxBitrate = entry.number("maxBitrate", 10000000000LL);
        video.maxBitDepth = int(entry.number("maxBitDepth", 16));
        video.pixelFormats = entry.texts("pixelFormats");
        video.containers = entry.texts("containers");
        checkContainers(entry, video.containers, "containers");
        entry.source(sources);
        entry.finish();
        profile.video.append(video);
    }
    for (const QJsonValue &value : top.objects("audio")) {
        Reader entry(value.toObject(), QStringLiteral("audio"), error);
        Audio audio;
        audio.codec = entry.text("codec");
        if (audio.codec.isEmpty())
            entry.fail(QStringLiteral("no codec"));
        audio.profiles = entry.texts("profiles");
        audio.maxChannels = int(entry.number("maxChannels", 64));
        audio.maxSampleRate = int(entry.number("maxSampleRate", 1000000));
        audio.sampleRates = entry.numbers("sampleRates", 1000000);
        audio.maxBitrate = entry.number("maxBitrate", 100000000);
        audio.containers = entry.texts("containers");
        checkContainers(entry, audio.containers, "containers");
        entry.source(sources);
        entry.finish();
        profile.audio.append(audio);
    }

    {
        const QJsonObject object = top.object("subtitles");
        Reader subtitles(object, QStringLiteral("subtitles"), error);
        profile.externalSubtitles = subtitles.texts("external");
        profile.embeddedSubtitles = subtitles.texts("embedded");
        if (!object.isEmpty())
            subtitles.source(sources);
        subtitles.finish();
    }
    {
        const QJsonObject object = top.object("quirks");
        Reader quirks(object, QStringLiteral("quirks"), error);
        const QJsonObject mime = quirks.object("mime");
        for (auto it = mime.constBegin(); it != mime.constEnd(); ++it) {
            const QString type = it.value().toString();
            // Goes into a header: one token/token, nothing that could end the line.
            static const QRegularExpression valid(
                QStringLiteral("^[A-Za-z0-9.+-]+/[A-Za-z0-9.+-]+$"));
            if (!valid.match(type).hasMatch())
                quirks.fail(
                    QLatin1String("mime: \"") + it.key() + QLatin1String("\" is not a MIME type"));
            profile.mimeTypes.insert(it.key(), type.toLatin1());
        }
        checkContainers(quirks, profile.mimeTypes.keys(), "mime");
        const QString seek = quirks.text("seek");
        if (seek == QLatin1String("bytes"))
            profile.seek = Seek::Bytes;
        else if (seek == QLatin1String("time"))
            profile.seek = Seek::Time;
        else if (!seek.isEmpty() && seek != QLatin1String("both"))
            quirks.fail(QStringLiteral("seek is not bytes, time or both"));
        profile.wantsDlnaProfile = quirks.flag("dlnaProfile", true);
        if (!object.isEmpty())
            quirks.source(sources);
        quirks.finish();
    }
    {
        Reader convert(top.object("convert"), QStringLiteral("convert"), error);
        profile.convertContainers = convert.texts("containers");
        profile.convertVideo = convert.texts("video");
        profile.convertAudio = convert.texts("audio");
        profile.convertAudioOnly = convert.texts("audioOnly");
        profile.convertMaxWidth = int(convert.number("maxWidth", 65536));
        profile.convertMaxHeight = int(convert.number("maxHeight", 65536));
        profile.convertVideoBitrate = convert.number("videoBitrate", 1000000000);
        // Why these were chosen: for the reader, not the program.
        convert.text("note");
        checkChoices(convert, profile.convertContainers,
            { QStringLiteral("mpegts"), QStringLiteral("mp4"), QStringLiteral("mkv") },
            "containers");
        checkChoices(convert, profile.convertVideo,
            { QStringLiteral("h264"), QStringLiteral("mpeg2video") }, "video");
        checkChoices(convert, profile.convertAudio,
            { QStringLiteral("ac3"), QStringLiteral("aac"), QStringLiteral("mp3"),
                QStringLiteral("mp2") },
            "audio");
        checkChoices(convert, profile.convertAudioOnly,
            { QStringLiteral("mp3"), QStringLiteral("aac"), QStringLiteral("lpcm"),
                QStringLiteral("flac"), QStringLiteral("wav") },
            "audioOnly");
        convert.finish();
    }
    top.finish();
    return error.isEmpty();
}

QString containerWord(const QString &demuxer, const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (demuxer.startsWith(QLatin1String("mov,mp4"))) {
        if (suffix == QLatin1String("mov") || suffix == QLatin1String("qt"))
            return QStringLiteral("mov");
        if (suffix == QLatin1String("3gp") || suffix == QLatin1String("3g2"))
            return QStringLiteral("3gp");
        if (suffix == QLatin1String("m4a") || suffix == QLatin1String("m4b"))
            return QStringLiteral("m4a");
        return QStringLiteral("mp4");
    }
    if (demuxer == QLatin1String("matroska,webm")) {
        if (suffix == QLatin1String("webm"))
            return QStringLiteral("webm");
        if (suffix == QLatin1String("mka"))
            return QStringLiteral("mka");
        return QStringLiteral("mkv");
    }
    if (demuxer == QLatin1String("mpegts")) {
        const bool timestamped = suffix == QLatin1String("m2ts") || suffix == QLatin1String("mts")
            || suffix == QLatin1String("m2t");
        return timestamped ? QStringLiteral("m2ts") : QStringLiteral("mpegts");
    }
    if (demuxer == QLatin1String("mpeg") || demuxer == QLatin1String("mpegvideo"))
        return QStringLiteral("mpegps");
    if (demuxer == QLatin1String("asf"))
        return suffix == QLatin1String("wma") ? QStringLiteral("wma") : QStringLiteral("asf");
    if (demuxer == QLatin1String("ogg"))
        return suffix == QLatin1String("opus") ? QStringLiteral("opus") : QStringLiteral("ogg");
    if (demuxer == QLatin1String("s16be"))
        return QStringLiteral("lpcm");
    if (demuxer == QLatin1String("dsf") || demuxer == QLatin1String("ape")
        || demuxer == QLatin1String("wv") || demuxer == QLatin1String("aiff")
        || demuxer == QLatin1String("flac") || demuxer == QLatin1String("wav")
        || demuxer == QLatin1String("mp3") || demuxer == QLatin1String("aac")
        || demuxer == QLatin1String("ac3") || demuxer == QLatin1String("dts")
        || demuxer == QLatin1String("avi") || demuxer == QLatin1String("flv"))
        return demuxer;
    return {};
}
