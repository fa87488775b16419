#include "upnp/mediaserver.h"

#include "library/dirtreeinterface.h"
#include "library/openedentry.h"
#include "picture/picturecache.h"
#include "upnp/connectionmanager.h"
#include "upnp/contentdirectory.h"
#include "upnp/description.h"
#include "upnp/eventing.h"
#include "upnp/httpserver.h"
#include "upnp/mediaformat.h"
#include "upnp/objectid.h"
#include "upnp/registrar.h"
#include "upnp/ssdp.h"
#include "upnp/upnplog.h"
#include "upnp/upnppaths.h"

#include <QHostAddress>

#include <memory>

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
    { UpnpService::ContentDirectory, UpnpPaths::contentDirectoryScpd,
        UpnpPaths::contentDirectoryControl, UpnpPaths::contentDirectoryEvent },
    { UpnpService::ConnectionManager, UpnpPaths::connectionManagerScpd,
        UpnpPaths::connectionManagerControl, UpnpPaths::connectionManagerEvent },
    { UpnpService::MediaReceiverRegistrar, UpnpPaths::registrarScpd, UpnpPaths::registrarControl,
        UpnpPaths::registrarEvent },
};

// How many thumbnails are kept: a TV's grid of pictures shows a few dozen at a time.
constexpr int thumbnailRecords = 200;

void describe(HttpResponse &response, const MediaFormat &format)
{
    response.addHeader(QByteArrayLiteral("Content-Type"), format.mimeType);
    response.addHeader(QByteArrayLiteral("Accept-Ranges"), QByteArrayLiteral("bytes"));
    response.addHeader(QByteArrayLiteral("contentFeatures.dlna.org"), format.features);
    response.addHeader(QByteArrayLiteral("transferMode.dlna.org"), format.transferMode);
}

HttpResponse unsatisfiable(qint64 size)
{
    HttpResponse response = HttpResponse::empty(416);
    response.addHeader(QByteArrayLiteral("Content-Range"), "bytes */" + QByteArray::number(size));
    return response;
}

void markPartial(HttpResponse &response, const ByteRange &range, qint64 size)
{
    if (range.kind != ByteRange::Partial)
        return;
    response.addHeader(QByteArrayLiteral("Content-Range"),
        "bytes " + QByteArray::number(range.first) + '-'
            + QByteArray::number(range.first + range.length - 1) + '/' + QByteArray::number(size));
}

// The file's bytes straight from the descriptor it was opened with (sendfile where the
// platform has it); what is not a regular file is not found.
HttpResponse fileResponse(
    OpenedEntry &file, const QByteArray &rangeHeader, const MediaFormat &format)
{
    if (!file.isFile())
        return HttpResponse::empty(404);
    const qint64 size = file.size();
    const ByteRange range = ByteRange::parse(rangeHeader, size);
    if (range.kind == ByteRange::Unsatisfiable)
        return unsatisfiable(size);
    HttpResponse response = HttpResponse::file(
        range.kind == ByteRange::Partial ? 206 : 200, file.release(), range.first, range.length);
    describe(response, format);
    markPartial(response, range, size);
    return response;
}

HttpResponse bytesResponse(
    const QByteArray &bytes, const QByteArray &rangeHeader, const MediaFormat &format)
{
    const ByteRange range = ByteRange::parse(rangeHeader, bytes.size());
    if (range.kind == ByteRange::Unsatisfiable)
        return unsatisfiable(bytes.size());
    HttpResponse response = HttpResponse::bytes(range.kind == ByteRange::Partial ? 206 : 200,
        bytes.mid(range.first, range.length), QByteArray());
    describe(response, format);
    markPartial(response, range, bytes.size());
    return response;
}

HttpResponse withHeaders(const EventPublisher::Reply &reply)
{
    HttpResponse response = HttpResponse::empty(reply.status);
    for (const auto &[name, value] : reply.headers)
        response.addHeader(name, value);
    return response;
}

} // namespace

MediaServer::MediaServer(
    const QList<DirTreeInterface *> &libraries, PictureCache &pictures, QObject *parent)
    : QObject(parent)
    , libraries(libraries)
    , pictures(pictures)
    // One thumbnail at a time beside the players' conversions: small, quick, bounded.
    , thumbnails(std::make_unique<PictureCache>(thumbnailFormat(), thumbnailRecords, 1))
    , directory(std::make_unique<ContentDirectory>(libraries))
{
    http = new HttpServer([this](const HttpRequest &request,
                              const HttpResponder &responder) { handle(request, responder); },
        this);
    connect(http, &HttpServer::connectionCountChanged, this, &MediaServer::clientCountChanged);
    http->setServerHeader(serverWord());
    events = new EventPublisher(this);
    // A subscriber's first event names what this server sends, as GetProtocolInfo does.
    events->setVariable(UpnpService::ConnectionManager, "SourceProtocolInfo", sourceProtocolInfo());
    ssdp = new SsdpServer(this);
}

MediaServer::~MediaServer()
{
    stop();
}

PictureFormat MediaServer::thumbnailFormat()
{
    PictureFormat format;
    format.width = thumbnailSide;
    format.height = thumbnailSide;
    format.screenRatio = 1.0;
    format.squarePixels = true;
    format.compress = false;
    return format;
}

void MediaServer::setFriendlyName(const QString &name)
{
    friendlyName = name;
}

void MediaServer::setUdn(const QString &value)
{
    udn = value;
}

bool MediaServer::start(quint16 preferredPort, const QHostAddress &address, bool announce)
{
    stop();
    if (!http->listen(address, preferredPort)
        && (preferredPort == 0 || !http->listen(address, 0))) {
        return false;
    }
    events->setSystemUpdateId(updateId);
    if (!announce)
        return true;
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
        responder.send(
            icon.isEmpty() ? HttpResponse::empty(404) : HttpResponse::bytes(200, icon, mimeType));
        return;
    }
    for (const ServicePaths &service : services) {
        if (read && path == service.scpd) {
            responder.send(HttpResponse::bytes(200, serviceDescription(service.service), xmlType));
            return;
        }
        if (path == service.event) {
            if (request.method == "SUBSCRIBE") {
                responder.send(withHeaders(
                    events->subscribe(service.service, request.peer, request.header("CALLBACK"),
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
            if (request.method == "POST")
                control(request, responder, int(service.service));
            else
                responder.send(HttpResponse::empty(405));
            return;
        }
    }
    if (read
        && (path.startsWith(UpnpPaths::mediaPrefix) || path.startsWith(UpnpPaths::fittedPrefix)
            || path.startsWith(UpnpPaths::thumbnailPrefix))) {
        serveMedia(request, responder);
        return;
    }
    responder.send(HttpResponse::empty(404));
}

void MediaServer::control(const HttpRequest &request, const HttpResponder &responder, int service)
{
    SoapAction action;
    SoapReply reply;
    const bool parsed = parseSoapAction(request.body, &action);
    if (parsed && action.serviceType.isEmpty()) {
        // An action without its namespace is answered in the service's own.
        static const QString types[]
            = { QStringLiteral("urn:schemas-upnp-org:service:ContentDirectory:1"),
                  QStringLiteral("urn:schemas-upnp-org:service:ConnectionManager:1"),
                  QStringLiteral("urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1") };
        action.serviceType = types[service];
    }
    if (!parsed) {
        reply = SoapReply::fault(401, QStringLiteral("Invalid Action"));
    } else if (service == int(UpnpService::ContentDirectory)) {
        // Resources are named on the address the client reached us on.
        QByteArray host = request.localAddress.protocol() == QAbstractSocket::IPv4Protocol
            ? request.localAddress.toString().toLatin1() + ':' + QByteArray::number(port())
            : request.header("Host");
        // A fitted picture fills the TV's frame exactly (black bars around it).
        const PictureFormat &format = pictures.format();
        directory->setFittedSize(format.scale ? format.canvasSize() : QSize());
        reply = directory->control(action, "http://" + host, updateId);
    } else if (service == int(UpnpService::ConnectionManager)) {
        reply = connectionManagerControl(action);
    } else {
        reply = registrarControl(action);
    }
    responder.send(HttpResponse::bytes(reply.status, reply.body, xmlType));
}

void MediaServer::serveMedia(const HttpRequest &request, const HttpResponder &responder)
{
    const QByteArray &path = request.path;
    const bool fitted = path.startsWith(UpnpPaths::fittedPrefix);
    const bool thumbnail = path.startsWith(UpnpPaths::thumbnailPrefix);
    const qsizetype prefix = fitted ? UpnpPaths::fittedPrefix.size()
        : thumbnail                 ? UpnpPaths::thumbnailPrefix.size()
                                    : UpnpPaths::mediaPrefix.size();
    ObjectId id;
    EntryInfo entry;
    if (ContentDirectory::idFromPath(QByteArrayView(path).sliced(prefix), &id))
        entry = directory->entryFor(id);
    const int mediaType = directory->mediaTypeOf(id);
    // Only files the library lists now; pictures alone are converted.
    if (entry.name().isEmpty() || entry.isDir() || entry.isVirtual()
        || ((fitted || thumbnail) && mediaType != 3)) {
        responder.send(HttpResponse::empty(404));
        return;
    }
    const QByteArray range = request.header("Range");
    const MediaFormat original = MediaFormat::forFile(entry.fileName(), mediaType);
    // Opened once, right after the lookup: what is sent comes from this handle, never from
    // the path again, which may name something else by now.
    auto file = std::make_shared<OpenedEntry>(OpenedEntry::open(entry));
    if (!fitted && !thumbnail) {
        responder.send(fileResponse(*file, range, original));
        return;
    }
    if (!file->isFile()) {
        responder.send(HttpResponse::empty(404));
        return;
    }
    PictureCache &cache = thumbnail ? *thumbnails : pictures;
    cache.requestPicture(entry.filePath(), file->descriptor(), this,
        [responder, range, file, original, thumbnail](const QByteArray &jpeg) {
            if (!jpeg.isEmpty()) {
                responder.send(
                    bytesResponse(jpeg, range, MediaFormat::convertedPicture(thumbnail)));
            } else if (thumbnail) {
                responder.send(HttpResponse::empty(404));
            } else {
                // What cannot be converted is sent as stored, as to players.
                responder.send(fileResponse(*file, range, original));
            }
        });
}
