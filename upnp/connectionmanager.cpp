#include "upnp/connectionmanager.h"

#include "media/sidecars.h"
#include "upnp/mediaformat.h"
#include "upnp/pictureprofiles.h"

#include <QStringList>

namespace {

QString sourceProtocols()
{
    // Every type this server may send: one representative name per MIME type.
    const char *const names[]
        = { "a.mkv", "a.webm", "a.mp4", "a.mov", "a.avi", "a.mpg", "a.ts", "a.wmv", "a.asf",
              "a.flv", "a.3gp", "a.ogv", "a.mp3", "a.m4a", "a.aac", "a.flac", "a.wav", "a.ogg",
              "a.wma", "a.ac3", "a.aiff", "a.jpg", "a.png", "a.gif", "a.bmp", "a.webp", "a.tif" };
    QStringList protocols;
    for (const char *name : names) {
        const MediaFormat format = MediaFormat::forFile(QLatin1String(name), 0);
        protocols.append(QStringLiteral("http-get:*:") + QString::fromLatin1(format.mimeType)
            + QStringLiteral(":*"));
    }
    for (const char *name : { "a.srt", "a.ass", "a.ssa", "a.smi", "a.vtt", "a.sub" }) {
        protocols.append(QStringLiteral("http-get:*:")
            + Sidecars::subtitleMimeType(QLatin1String(name)) + QStringLiteral(":*"));
    }
    for (const PictureSize size :
        { PictureSize::Large, PictureSize::Medium, PictureSize::Small, PictureSize::Thumbnail }) {
        protocols.append(QString::fromLatin1(
            MediaFormat::convertedPicture(pictureProfile(size).name).protocolInfo()));
    }
    protocols.removeDuplicates();
    return protocols.join(QLatin1Char(','));
}

} // namespace

QByteArray sourceProtocolInfo()
{
    return sourceProtocols().toUtf8();
}

SoapReply connectionManagerControl(const SoapAction &action)
{
    const QString &name = action.name;
    if (name == u"GetProtocolInfo") {
        return SoapReply::response(action,
            { { QByteArrayLiteral("Source"), sourceProtocolInfo() },
                { QByteArrayLiteral("Sink"), QByteArray() } });
    }
    if (name == u"GetCurrentConnectionIDs")
        return SoapReply::response(
            action, { { QByteArrayLiteral("ConnectionIDs"), QByteArrayLiteral("0") } });
    if (name == u"GetCurrentConnectionInfo") {
        if (action.argument(QStringLiteral("ConnectionID")).trimmed() != u"0")
            return SoapReply::fault(706, QStringLiteral("Invalid connection reference"));
        return SoapReply::response(action,
            { { QByteArrayLiteral("RcsID"), QByteArrayLiteral("-1") },
                { QByteArrayLiteral("AVTransportID"), QByteArrayLiteral("-1") },
                { QByteArrayLiteral("ProtocolInfo"), QByteArray() },
                { QByteArrayLiteral("PeerConnectionManager"), QByteArray() },
                { QByteArrayLiteral("PeerConnectionID"), QByteArrayLiteral("-1") },
                { QByteArrayLiteral("Direction"), QByteArrayLiteral("Output") },
                { QByteArrayLiteral("Status"), QByteArrayLiteral("OK") } });
    }
    return SoapReply::fault(401, QStringLiteral("Invalid Action"));
}
