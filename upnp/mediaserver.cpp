#include "upnp/mediaserver.h"

#include "upnp/description.h"
#include "upnp/eventing.h"
#include "upnp/httpserver.h"
#include "upnp/ssdp.h"
#include "upnp/upnplog.h"
#include "upnp/upnppaths.h"

#include <QHostAddress>

namespace {

const QByteArray xmlType = QByteArrayLiteral("text/xml; charset=\"utf-8\"");

struct ServicePaths
{
    UpnpService service;
    const QByteArray &scpd;
    const QByteArray &control;
    const QByteArray &event;
};

const ServicePaths services[] = {
    {UpnpService::ContentDirectory, UpnpPaths::contentDirectoryScpd,
     UpnpPaths::contentDirectoryControl, UpnpPaths::contentDirectoryEvent},
    {UpnpService::ConnectionManager, UpnpPaths::connectionManagerScpd,
     UpnpPaths::connectionManagerControl, UpnpPaths::connectionManagerEvent},
    {UpnpService::MediaReceiverRegistrar, UpnpPaths::registrarScpd, UpnpPaths::registrarControl,
     UpnpPaths::registrarEvent},
};

HttpResponse withHeaders(const EventPublisher::Reply &reply)
{
    HttpResponse response = HttpResponse::empty(reply.status);
    for (const auto &[name, value] : reply.headers)
        response.addHeader(name, value);
    return response;
}

} // namespace

MediaServer::MediaServer(const QList<DirTreeInterface *> &libraries, PictureCache &pictures,
                         QObject *parent)
    : QObject(parent), libraries(libraries), pictures(pictures)
{
    http = new HttpServer(
        [this](const HttpRequest &request, const HttpResponder &responder) {
            handle(request, responder);
        },
        this);
    connect(http, &HttpServer::connectionCountChanged, this, &MediaServer::clientCountChanged);
    events = new EventPublisher(this);
    ssdp = new SsdpServer(this);
}

MediaServer::~MediaServer()
{
    stop();
}

void MediaServer::setFriendlyName(const QString &name)
{
    friendlyName = name;
}

void MediaServer::setUdn(const QString &value)
{
    udn = value;
}

bool MediaServer::start(quint16 preferredPort)
{
    stop();
    if (!http->listen(QHostAddress::AnyIPv4, preferredPort)
        && (preferredPort == 0 || !http->listen(QHostAddress::AnyIPv4, 0))) {
        return false;
    }
    events->setSystemUpdateId(updateId);
    ssdp->setDevice(udn, http->serverPort());
    if (!ssdp->start())
        qCWarning(lcUpnp, "DLNA clients will not find this server: SSDP did not start");
    return true;
}

void MediaServer::stop()
{
    ssdp->stop();
    http->close();
}

quint16 MediaServer::port() const
{
    return http->serverPort();
}

int MediaServer::clientCount() const
{
    return http->connectionCount();
}

void MediaServer::libraryChanged()
{
    ++updateId;
    events->setSystemUpdateId(updateId);
}

void MediaServer::handle(const HttpRequest &request, const HttpResponder &responder)
{
    const QByteArray &path = request.path;
    const bool read = request.method == "GET" || request.method == "HEAD";
    if (read && path == UpnpPaths::description) {
        responder.send(HttpResponse::bytes(200, deviceDescription(friendlyName, udn), xmlType));
        return;
    }
    if (read && path.startsWith(UpnpPaths::iconsPrefix)) {
        QByteArray mimeType;
        const QByteArray icon = iconData(path, &mimeType);
        responder.send(icon.isEmpty() ? HttpResponse::empty(404)
                                      : HttpResponse::bytes(200, icon, mimeType));
        return;
    }
    for (const ServicePaths &service : services) {
        if (read && path == service.scpd) {
            responder.send(
                HttpResponse::bytes(200, serviceDescription(service.service), xmlType));
            return;
        }
        if (path == service.event) {
            if (request.method == "SUBSCRIBE") {
                responder.send(withHeaders(events->subscribe(
                    service.service, request.peer, request.header("CALLBACK"),
                    request.header("NT"), request.header("SID"), request.header("TIMEOUT"))));
            } else if (request.method == "UNSUBSCRIBE") {
                responder.send(
                    withHeaders(events->unsubscribe(service.service, request.header("SID"))));
            } else {
                responder.send(HttpResponse::empty(405));
            }
            return;
        }
        if (path == service.control) {
            responder.send(HttpResponse::empty(request.method == "POST" ? 501 : 405));
            return;
        }
    }
    responder.send(HttpResponse::empty(404));
}
