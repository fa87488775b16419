#include "upnp/clientdescriptions.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QXmlStreamReader>

#include <algorithm>

ClientDescriptions::ClientDescriptions(QObject *parent)
    : QObject(parent)
    , network(new QNetworkAccessManager(this))
{ }

ClientHints ClientDescriptions::hintsOf(const QByteArray &description)
{
    // The root device's own fields: the first of each, before any embedded device's.
    ClientHints hints;
    QXmlStreamReader xml(description);
    int depth = 0;
    int deviceDepth = -1;
    while (!xml.atEnd() && !xml.hasError()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            const QStringView name = xml.name();
            if (name == u"device" && deviceDepth < 0) {
                deviceDepth = depth;
            } else if (deviceDepth > 0 && depth == deviceDepth + 1) {
                QString *field = name == u"manufacturer" ? &hints.manufacturer
                    : name == u"modelName"               ? &hints.model
                                                         : nullptr;
                if (name == u"friendlyName" && hints.friendlyName.isEmpty())
                    hints.friendlyName = xml.readElementText().trimmed().left(256).toUtf8();
                else if (field && field->isEmpty())
                    *field = xml.readElementText().trimmed().left(256);
                if (xml.tokenType() == QXmlStreamReader::EndElement)
                    --depth;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (depth == deviceDepth)
                break;
            --depth;
        }
    }
    return hints;
}

void ClientDescriptions::announced(const QHostAddress &peer, const QUrl &location)
{
    const QString key = peer.toString();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto last = asked.constFind(key);
    if (last != asked.constEnd() && last->secsTo(now) < againAfterSeconds)
        return;
    if (last == asked.constEnd() && asked.size() >= maxAddresses) {
        // The one asked longest ago makes room.
        const auto oldest = std::min_element(asked.begin(), asked.end());
        asked.erase(oldest);
    }
    asked.insert(key, now);

    QNetworkRequest request(location);
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(timeoutMs);
    QNetworkReply *reply = network->get(request);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > maxBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, peer] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError
            || reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
            return;
        const ClientHints hints = hintsOf(reply->read(maxBytes));
        if (!hints.isEmpty())
            emit described(peer, hints);
    });
}
