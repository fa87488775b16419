#include "upnp/convertedresource.h"

#include "convert/decision.h"
#include "upnp/contentdirectory.h"
#include "upnp/didlwriter.h"
#include "upnp/mediaformat.h"
#include "upnp/objectid.h"
#include "upnp/upnppaths.h"

#include <QList>

namespace {

// DLNA.ORG_FLAGS: streaming transfer, background transfer, DLNA 1.5. Neither limited-range
// flag: OP's time seek offers the whole, and the guidelines keep the two apart.
const QByteArray convertedFlags = QByteArrayLiteral("01500000000000000000000000000000");

QByteArray secondsText(double seconds)
{
    return QByteArray::number(seconds, 'f', 3);
}

// "10", "10.5", "1:02:03", "1:02:03.250"; -1 for anything else.
double nptTime(QByteArrayView text)
{
    text = text.trimmed();
    if (text.isEmpty() || text.size() > 32)
        return -1;
    const QList<QByteArray> parts = text.toByteArray().split(':');
    if (parts.size() != 1 && parts.size() != 3)
        return -1;
    double total = 0;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QByteArray &part = parts.at(i);
        const bool last = i == parts.size() - 1;
        // Digits, and a fraction only on the seconds.
        const qsizetype dot = part.indexOf('.');
        if (part.isEmpty() || (dot >= 0 && !last) || part.startsWith('.'))
            return -1;
        for (qsizetype k = 0; k < part.size(); ++k) {
            if (k != dot && (part.at(k) < '0' || part.at(k) > '9'))
                return -1;
        }
        bool ok = false;
        const double value = part.toDouble(&ok);
        if (!ok || (parts.size() == 3 && i > 0 && value >= 60))
            return -1;
        total = total * 60 + value;
    }
    return total;
}

} // namespace

namespace ConvertedResource {

ConversionPlan planFor(const MediaDetails &details, const QString &fileName,
    const ClientProfile &profile, const DecisionOptions &options, const QString &subtitle)
{
    const ConversionPlan plan = decide(details, fileName, profile, options);
    // Burning costs nothing more once the picture is made anew; a film that would only change
    // its container is not converted for its subtitles.
    if (subtitle.isEmpty() || !options.canBurnSubtitles || !plan.isConversion()
        || plan.videoCodec == "copy")
        return plan;
    DecisionOptions burning = options;
    burning.subtitleFile = subtitle;
    burning.burnSubtitles = true;
    const ConversionPlan burnt = decide(details, fileName, profile, burning);
    return burnt.isConversion() && burnt.videoCodec != "copy" ? burnt : plan;
}

QByteArray path(const QByteArray &id, const ClientProfile &profile, const ConversionPlan &plan)
{
    return UpnpPaths::convertPrefix + profile.id.toUtf8() + '/' + id + '.' + plan.extension;
}

bool fromPath(QByteArrayView rest, QByteArray *profileId, ObjectId *id)
{
    const qsizetype slash = rest.indexOf('/');
    if (slash <= 0)
        return false;
    *profileId = rest.first(slash).toByteArray();
    return ContentDirectory::idFromPath(rest.sliced(slash + 1), id);
}

QByteArray features(const ConversionPlan &plan)
{
    QByteArray text;
    if (!plan.dlnaProfile.isEmpty())
        text = "DLNA.ORG_PN=" + plan.dlnaProfile + ';';
    return text + "DLNA.ORG_OP=10;DLNA.ORG_CI=1;DLNA.ORG_FLAGS=" + convertedFlags;
}

void write(DidlWriter &xml, const QByteArray &baseUrl, const QByteArray &id,
    const MediaDetails &details, const ClientProfile &profile, const ConversionPlan &plan)
{
    xml.writeStartElement("res");
    xml.writeAttribute("protocolInfo", "http-get:*:" + plan.mimeType + ':' + features(plan));
    if (details.durationMs > 0)
        xml.writeAttribute("duration", durationText(details.durationMs));
    const StreamDetails *video = details.firstStream(StreamDetails::Kind::Video);
    if (video && video->width > 0 && video->height > 0 && plan.maxWidth == 0
        && plan.maxHeight == 0) {
        xml.writeAttribute("resolution",
            QByteArray::number(video->width) + 'x' + QByteArray::number(video->height));
    }
    xml.writeCharacters(baseUrl + path(id, profile, plan));
    xml.writeEndElement();
}

TimeSeek TimeSeek::parse(const QByteArray &header)
{
    TimeSeek seek;
    if (header.isNull())
        return seek;
    seek.asked = true;
    seek.valid = false;
    const QByteArray text = header.trimmed();
    if (!text.startsWith("npt="))
        return seek;
    const QByteArrayView range = QByteArrayView(text).sliced(4);
    const qsizetype dash = range.indexOf('-');
    if (dash < 0)
        return seek;
    seek.start = nptTime(range.first(dash));
    const QByteArrayView end = range.sliced(dash + 1).trimmed();
    seek.end = end.isEmpty() ? -1 : nptTime(end);
    seek.valid = seek.start >= 0 && (end.isEmpty() || seek.end > seek.start);
    return seek;
}

QByteArray TimeSeek::answer(qint64 durationMs) const
{
    const double duration = durationMs > 0 ? durationMs / 1000.0 : -1;
    const double last = end >= 0 ? end : duration;
    return "npt=" + secondsText(start) + '-' + (last >= 0 ? secondsText(last) : QByteArray()) + '/'
        + (duration >= 0 ? secondsText(duration) : QByteArrayLiteral("*"));
}

} // namespace ConvertedResource
