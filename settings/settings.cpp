#include "settings/settings.h"

#include "convert/conversions.h"
#include "net/servername.h"

#include <QDomDocument>
#include <QDomElement>
#include <QUuid>

#include <algorithm>

namespace {

const char *const tvSystemWords[] = { "PAL", "NTSC", "HDTV_720", "HDTV_1080" };
const char *const tvFormatWords[] = { "NORMAL", "WIDESCREEN" };

QString boolWord(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

bool isTrue(const QDomElement &element, const QString &attribute)
{
    return element.attribute(attribute) == QLatin1String("true");
}

template<std::size_t N> uint codeOfWord(const char *const (&words)[N], const QString &word)
{
    for (std::size_t i = 0; i < N; ++i) {
        if (word == QLatin1String(words[i]))
            return uint(i);
    }
    return 0;
}

// A plain unsigned decimal number; anything else (sign, blanks, overflow) gives the fallback.
uint readUnsigned(const QDomElement &element, const QString &attribute, uint fallback)
{
    const QString text = element.attribute(attribute);
    if (text.isEmpty())
        return fallback;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return fallback;
    }
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    return ok ? value : fallback;
}

// The dialog edits filters in multi-line boxes; a filter is one line of patterns.
QString oneLine(QString text)
{
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.remove(QLatin1Char('\r'));
    return text;
}

// "uuid:" and a UUID in its usual 36-character form, as this program makes it: devices that
// shared a made-up or malformed identity would be taken for one another by control points.
bool isUdn(const QString &udn)
{
    const QStringView uuid = QStringView(udn).mid(5);
    return udn.startsWith(QLatin1String("uuid:")) && uuid.size() == 36
        && !QUuid::fromString(uuid).isNull();
}

// The file is the user's to edit; a runaway list in it must not grow without end. As many as
// the client registry keeps.
constexpr int maximumClientOverrides = 1024;

// "true" or "1" in any case is on, any other word off; a missing attribute keeps the default.
bool readSwitch(const QDomElement &element, const QString &attribute, bool fallback)
{
    if (!element.hasAttribute(attribute))
        return fallback;
    const QString word = element.attribute(attribute).trimmed();
    return word.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0
        || word == QLatin1String("1");
}

QList<ClientOverride> normalisedOverrides(const QList<ClientOverride> &given)
{
    QList<ClientOverride> kept;
    for (const ClientOverride &entry : given) {
        if (entry.client.isEmpty() || entry.profile.isEmpty())
            continue;
        const auto same = [&](const ClientOverride &k) { return k.client == entry.client; };
        kept.erase(std::remove_if(kept.begin(), kept.end(), same), kept.end());
        if (kept.size() < maximumClientOverrides)
            kept.append(entry);
    }
    return kept;
}

} // namespace

Settings::Settings(const QString &defaultServerName)
    : defaultName(defaultServerName)
    // A server without a file gets its identity now; saving keeps it.
    , upnpUdnValue(QStringLiteral("uuid:") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    setScaling(PAL, WIDESCREEN, true, false, true);
    setServerName(defaultName);
    const QStringList filters = defaultExtensions();
    setExtensions(filters.at(0), filters.at(1), filters.at(2));
}

// What phones, cameras and rippers write today. Players are shown the names and play what they
// can; pictures reach them converted to JPEG whatever their format.
QStringList Settings::defaultExtensions()
{
    return { QStringLiteral("*.avi *.m4v *.mkv *.mov *.mp4 *.mpg *.mpeg *.ts *.vob *.webm *.wmv"),
        QStringLiteral("*.aac *.flac *.m3u *.m4a *.mp3 *.ogg *.opus *.tta *.wav *.wma"),
        QStringLiteral("*.jpg *.jpeg *.png") };
}

QStringList Settings::extensions() const
{
    return { videoExtensionsValue, audioExtensionsValue, pictureExtensionsValue };
}

uint Settings::width() const
{
    static const uint widths[] = { 720, 720, 1280, 1920 };
    return widths[tvSystemValue];
}

uint Settings::height() const
{
    static const uint heights[] = { 576, 480, 720, 1080 };
    return heights[tvSystemValue];
}

double Settings::screenRatio() const
{
    return tvFormatValue == WIDESCREEN ? 16.0 / 9.0 : 4.0 / 3.0;
}

QString Settings::tvSystemWord(uint code)
{
    return QLatin1String(tvSystemWords[code <= HDTV_1080 ? code : PAL]);
}

QString Settings::tvFormatWord(uint code)
{
    return QLatin1String(tvFormatWords[code <= WIDESCREEN ? code : NORMAL]);
}

void Settings::setScaling(
    uint tvSystem, uint tvFormat, bool scale, bool squarePixels, bool compress)
{
    tvSystemValue = tvSystem <= HDTV_1080 ? TvSystem(tvSystem) : PAL;
    tvFormatValue = tvFormat <= WIDESCREEN ? TvFormat(tvFormat) : NORMAL;
    scaleValue = scale;
    squarePixelsValue = squarePixels;
    compressValue = compress;
    emitScaling();
}

void Settings::setServerName(const QString &name)
{
    // The cut comes before the trim, so leading blanks count towards the 30.
    const QString cut = cutServerName(name).trimmed();
    if (cut == serverNameValue)
        return;
    serverNameValue = cut.isEmpty() ? defaultName : cut;
    emit serverNameChanged(serverNameValue);
}

void Settings::setExtensions(const QString &video, const QString &audio, const QString &pictures)
{
    struct Filter
    {
        const QString &given;
        QString &stored;
        void (Settings::*changed)(const QString &);
    };
    const Filter filters[] = {
        { video, videoExtensionsValue, &Settings::videoExtensionsChanged },
        { audio, audioExtensionsValue, &Settings::audioExtensionsChanged },
        { pictures, pictureExtensionsValue, &Settings::pictureExtensionsChanged },
    };
    for (const Filter &f : filters) {
        const QString text = oneLine(f.given);
        if (text == f.stored)
            continue;
        f.stored = text.trimmed().isEmpty() ? QStringLiteral("*") : text;
        emit(this->*f.changed)(f.stored);
    }
}

void Settings::loadXml(const QDomDocument &document)
{
    const QDomElement settings
        = document.documentElement().firstChildElement(QStringLiteral("settings"));
    if (settings.isNull())
        return;

    const QDomElement scaling = settings.firstChildElement(QStringLiteral("scaling"));
    if (!scaling.isNull()) {
        scaleValue = isTrue(scaling, QStringLiteral("enabled"));
        squarePixelsValue = isTrue(scaling, QStringLiteral("square_pixels"));
        tvSystemValue
            = TvSystem(codeOfWord(tvSystemWords, scaling.attribute(QStringLiteral("tv_system"))));
        tvFormatValue
            = TvFormat(codeOfWord(tvFormatWords, scaling.attribute(QStringLiteral("tv_format"))));
    }

    const QDomElement compression = settings.firstChildElement(QStringLiteral("compression"));
    if (!compression.isNull()) {
        compressValue = isTrue(compression, QStringLiteral("enabled"));
        compressMinValue = readUnsigned(compression, QStringLiteral("min"), 16);
        compressMaxValue = readUnsigned(compression, QStringLiteral("max"), 235);
    }

    const QDomElement server = settings.firstChildElement(QStringLiteral("server"));
    if (!server.isNull()) {
        const QString name = cutServerName(server.attribute(QStringLiteral("name")));
        serverNameValue = name.isEmpty() ? defaultName : name;
    }

    // Older builds skip this element; files without it keep the defaults.
    const QDomElement upnp = settings.firstChildElement(QStringLiteral("upnp"));
    if (!upnp.isNull()) {
        // "false", "0", anything but a yes turns it off; an element that does not say keeps the
        // server on. A hand-edited "TRUE" or "1" means on.
        serveUpnpValue = readSwitch(upnp, QStringLiteral("enabled"), serveUpnpValue);
        const QString udn = upnp.attribute(QStringLiteral("udn"));
        if (isUdn(udn))
            upnpUdnValue = udn;
        // Where the limit was first kept; the conversion element, read after, goes first.
        const uint limit = readUnsigned(upnp, QStringLiteral("conversions"), 0);
        if (limit > 0)
            conversionLimitValue = int(std::min(limit, uint(maximumConversionLimit)));
    }

    // Each value on its own: a broken limit keeps its default and loses none of the choices.
    const QDomElement conversion = settings.firstChildElement(QStringLiteral("conversion"));
    if (!conversion.isNull()) {
        conversionEnabledValue
            = readSwitch(conversion, QStringLiteral("enabled"), conversionEnabledValue);
        const uint limit
            = readUnsigned(conversion, QStringLiteral("limit"), uint(conversionLimitValue));
        conversionLimitValue = int(std::clamp(limit, 1u, uint(maximumConversionLimit)));
        QList<ClientOverride> overrides;
        for (QDomElement e = conversion.firstChildElement(QStringLiteral("override")); !e.isNull();
             e = e.nextSiblingElement(QStringLiteral("override"))) {
            overrides.append(
                { e.attribute(QStringLiteral("client")), e.attribute(QStringLiteral("profile")) });
        }
        clientOverridesValue = normalisedOverrides(overrides);
    }

    const QDomElement extensions = settings.firstChildElement(QStringLiteral("extensions"));
    if (!extensions.isNull()) {
        const std::pair<const char *, QString *> filters[] = {
            { "video", &videoExtensionsValue },
            { "audio", &audioExtensionsValue },
            { "pictures", &pictureExtensionsValue },
        };
        for (const auto &[tag, stored] : filters) {
            const QDomElement element = extensions.firstChildElement(QLatin1String(tag));
            if (!element.isNull())
                *stored = element.text();
        }
    }

    emitScaling();
    emit serverNameChanged(serverNameValue);
}

void Settings::saveXml(QDomDocument &document) const
{
    QDomElement settings = document.createElement(QStringLiteral("settings"));
    document.documentElement().appendChild(settings);

    QDomElement scaling = document.createElement(QStringLiteral("scaling"));
    scaling.setAttribute(QStringLiteral("enabled"), boolWord(scaleValue));
    scaling.setAttribute(QStringLiteral("square_pixels"), boolWord(squarePixelsValue));
    scaling.setAttribute(QStringLiteral("tv_system"), tvSystemWord(tvSystemValue));
    scaling.setAttribute(QStringLiteral("tv_format"), tvFormatWord(tvFormatValue));
    settings.appendChild(scaling);

    QDomElement compression = document.createElement(QStringLiteral("compression"));
    compression.setAttribute(QStringLiteral("enabled"), boolWord(compressValue));
    compression.setAttribute(QStringLiteral("min"), QString::number(compressMinValue));
    compression.setAttribute(QStringLiteral("max"), QString::number(compressMaxValue));
    settings.appendChild(compression);

    QDomElement server = document.createElement(QStringLiteral("server"));
    server.setAttribute(QStringLiteral("name"), serverNameValue);
    settings.appendChild(server);

    QDomElement extensions = document.createElement(QStringLiteral("extensions"));
    const std::pair<const char *, const QString *> filters[] = {
        { "video", &videoExtensionsValue },
        { "audio", &audioExtensionsValue },
        { "pictures", &pictureExtensionsValue },
    };
    for (const auto &[tag, stored] : filters) {
        QDomElement element = document.createElement(QLatin1String(tag));
        element.appendChild(document.createTextNode(*stored));
        extensions.appendChild(element);
    }
    settings.appendChild(extensions);

    // Last, so the elements before it stay where older builds wrote them.
    QDomElement upnp = document.createElement(QStringLiteral("upnp"));
    upnp.setAttribute(QStringLiteral("enabled"), boolWord(serveUpnpValue));
    upnp.setAttribute(QStringLiteral("udn"), upnpUdnValue);
    settings.appendChild(upnp);

    QDomElement conversion = document.createElement(QStringLiteral("conversion"));
    conversion.setAttribute(QStringLiteral("enabled"), boolWord(conversionEnabledValue));
    conversion.setAttribute(QStringLiteral("limit"), QString::number(conversionLimitValue));
    for (const ClientOverride &entry : clientOverridesValue) {
        QDomElement element = document.createElement(QStringLiteral("override"));
        element.setAttribute(QStringLiteral("client"), entry.client);
        element.setAttribute(QStringLiteral("profile"), entry.profile);
        conversion.appendChild(element);
    }
    settings.appendChild(conversion);
}

void Settings::setServeUpnp(bool serve)
{
    if (serve == serveUpnpValue)
        return;
    serveUpnpValue = serve;
    emit serveUpnpChanged(serve);
}

int Settings::defaultConversionLimit()
{
    return Conversions::defaultLimit();
}

void Settings::setConversionEnabled(bool enabled)
{
    if (enabled == conversionEnabledValue)
        return;
    conversionEnabledValue = enabled;
    emit conversionEnabledChanged(enabled);
}

void Settings::setConversionLimit(int limit)
{
    const int bounded = std::clamp(limit, 1, maximumConversionLimit);
    if (bounded == conversionLimitValue)
        return;
    conversionLimitValue = bounded;
    emit conversionLimitChanged(bounded);
}

void Settings::setClientOverrides(const QList<ClientOverride> &overrides)
{
    const QList<ClientOverride> kept = normalisedOverrides(overrides);
    if (kept == clientOverridesValue)
        return;
    clientOverridesValue = kept;
    emit clientOverridesChanged(kept);
}

PictureFormat Settings::pictureFormat() const
{
    return { width(), height(), screenRatio(), scaleValue, squarePixelsValue, compressValue,
        compressMinValue, compressMaxValue };
}

void Settings::emitScaling()
{
    emit scalingSettingsChanged(pictureFormat());
}
