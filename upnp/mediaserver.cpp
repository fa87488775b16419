#include "upnp/mediaserver.h"

#include "convert/clientregistry.h"
#include "convert/conversion.h"
#include "convert/conversions.h"
#include "convert/ffmpegcommand.h"
#include "library/dirtreeinterface.h"
#include "library/openedentry.h"
#include "media/mediainfo.h"
#include "media/sidecars.h"
#include "picture/picturecache.h"
#include "upnp/bookmarks.h"
#include "upnp/clientdescriptions.h"
#include "upnp/connectionmanager.h"
#include "upnp/contentdirectory.h"
#include "upnp/convertedresource.h"
#include "upnp/description.h"
#include "upnp/eventing.h"
#include "upnp/httpserver.h"
#include "upnp/mediaformat.h"
#include "upnp/objectid.h"
#include "upnp/pictureprofiles.h"
#include "upnp/registrar.h"
#include "upnp/ssdp.h"
#include "upnp/subtitles.h"
#include "upnp/upnplog.h"
#include "upnp/upnppaths.h"

#include <QHostAddress>
#include <QTimer>

#include <algorithm>
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

// Pictures kept per size: a TV's grid shows a few dozen thumbnails at a time, a slide show one
// picture and the next. Large ones are megabytes each, so only a few are kept.
constexpr int pictureRecords[] = { 200, 40, 20, 4 };

// How long a Browse waits for the details of its page's files.
constexpr int browseWaitMs = 300;

// Ports tried from the preferred one up before any free port is taken.
constexpr int nearbyPorts = 20;

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

// A conversion's output as it is made; the conversion ends with the answer.
class ConversionBody : public HttpBodySource
{
public:
    explicit ConversionBody(Conversion *conversion)
        : conversion(conversion)
    { }
    ~ConversionBody() override
    {
        if (!conversion)
            return;
        // Its count among the conversions stays connected (stop() ends it).
        QObject::disconnect(conversion, &Conversion::readyRead, nullptr, nullptr);
        QObject::disconnect(conversion, &Conversion::failed, nullptr, nullptr);
        conversion->stop();
        // Not inside one of its own signals.
        conversion->deleteLater();
    }
    // Failed before it made anything.
    bool failedAtOnce() const
    {
        return conversion->state() == Conversion::State::Failed && conversion->bytesMade() == 0;
    }
    qint64 read(char *buffer, qint64 max) override
    {
        if (!conversion)
            return -1;
        if (conversion->bytesAvailable() > 0)
            return conversion->read(buffer, max);
        switch (conversion->state()) {
        case Conversion::State::Finished:
            return -1;
        case Conversion::State::Failed:
            return -2;
        default:
            return 0;
        }
    }

private:
    Conversion *conversion;
};

HttpResponse withHeaders(const EventPublisher::Reply &reply)
{
    HttpResponse response = HttpResponse::empty(reply.status);
    for (const auto &[name, value] : reply.headers)
        response.addHeader(name, value);
    return response;
}

} // namespace

MediaServer::MediaServer(
    const QList<DirTreeInterface *> &libraries, const QString &stateFolder, QObject *parent)
    : QObject(parent)
    , libraries(libraries)
    , bookmarks(std::make_unique<Bookmarks>(
          stateFolder.isEmpty() ? Bookmarks::defaultFolder() : stateFolder))
    , directory(std::make_unique<ContentDirectory>(libraries))
{
    directory->setBookmarks(bookmarks.get());
    // One conversion at a time per size beside the players' conversions: bounded memory, and
    // a slow large picture does not hold up the thumbnails of a grid.
    for (const PictureSize size :
        { PictureSize::Thumbnail, PictureSize::Small, PictureSize::Medium, PictureSize::Large }) {
        pictures[size_t(size)]
            = std::make_unique<PictureCache>(pictureFormat(size), pictureRecords[int(size)], 1);
    }
    http = new HttpServer([this](const HttpRequest &request,
                              const HttpResponder &responder) { handle(request, responder); },
        this);
    connect(http, &HttpServer::connectionCountChanged, this, &MediaServer::clientCountChanged);
    http->setServerHeader(serverWord());
    events = new EventPublisher(this);
    // A subscriber's first event names what this server sends, as GetProtocolInfo does.
    events->setVariable(UpnpService::ConnectionManager, "SourceProtocolInfo", sourceProtocolInfo());
    ssdp = new SsdpServer(this);
    // A client's own description may tell its kind where its requests do not.
    auto *descriptions = new ClientDescriptions(this);
    connect(ssdp, &SsdpServer::deviceAnnounced, this,
        [this, descriptions](const QHostAddress &peer, const QUrl &location) {
            if (clients)
                descriptions->announced(peer, location);
        });
    connect(descriptions, &ClientDescriptions::described, this,
        [this](const QHostAddress &peer, const ClientHints &hints) {
            if (clients)
                clients->recognise(peer.toString(), hints);
        });
    converting = new Conversions(this);
    // A zero timer fires once per pass of the event loop, after the sockets that are ready.
    directoryTurn = new QTimer(this);
    directoryTurn->setInterval(0);
    connect(directoryTurn, &QTimer::timeout, this, &MediaServer::answerDirectory);
}

MediaServer::~MediaServer()
{
    stop();
}

void MediaServer::setMediaInfo(MediaInfo *info)
{
    mediaInfo = info;
    directory->setMediaInfo(info);
}

void MediaServer::setClients(const ClientProfiles *known, ClientRegistry *registry)
{
    profiles = known;
    clients = registry;
}

void MediaServer::setDecisionOptions(const DecisionOptions &options)
{
    decisionOptions = options;
    directory->setConversion(conversionEnabled, decisionOptions);
}

void MediaServer::setConversionEnabled(bool enabled)
{
    conversionEnabled = enabled;
    directory->setConversion(conversionEnabled, decisionOptions);
}

const ClientProfile *MediaServer::recognise(const HttpRequest &request)
{
    if (!clients)
        return nullptr;
    ClientHints hints;
    hints.userAgent = request.header("User-Agent");
    hints.clientInfo = request.header("X-AV-Client-Info");
    hints.friendlyName = request.header("FriendlyName.DLNA.ORG");
    QHostAddress peer = request.peer;
    // An IPv4 client reached over a dual-stack socket is the same client.
    bool mapped = false;
    const QHostAddress v4(peer.toIPv4Address(&mapped));
    if (mapped)
        peer = v4;
    return &clients->recognise(peer.toString(), hints);
}

void MediaServer::setMusicLibrary(MusicLibrary *library)
{
    directory->setMusicLibrary(library);
    if (library)
        connect(library, &MusicLibrary::changed, this, &MediaServer::libraryChanged);
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
    // A TV keeps the address it found the server at: when the port is taken, the next free one
    // up is the same at every start while the same ports are taken. Any port is the last resort.
    bool listening = false;
    for (int port = preferredPort; !listening && preferredPort != 0
         && port < std::min(int(preferredPort) + nearbyPorts, 65536);
         ++port) {
        listening = http->listen(address, quint16(port));
    }
    if (!listening && !http->listen(address, 0))
        return false;
    if (http->serverPort() != preferredPort && preferredPort != 0)
        qCInfo(lcUpnp, "DLNA clients are served on port %u", unsigned(http->serverPort()));
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
    directoryActions.clear();
    ++directoryGeneration;
    directoryTurn->stop();
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
    // Any request may tell who the client is (many send their User-Agent with some only);
    // control and conversions ask for themselves.
    if (read)
        recognise(request);
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
    if (read && path.startsWith(UpnpPaths::artPrefix)) {
        serveArt(request, responder);
        return;
    }
    if (read && path.startsWith(UpnpPaths::subtitlePrefix)) {
        serveSubtitle(request, responder);
        return;
    }
    if (read && path.startsWith(UpnpPaths::convertPrefix)) {
        serveConverted(request, responder);
        return;
    }
    responder.send(HttpResponse::empty(404));
}

struct MediaServer::DirectoryAction
{
    SoapAction action;
    QByteArray baseUrl;
    QString client;
    const ClientProfile *profile = nullptr;
    HttpResponder responder;
    // Its files' details were waited for (or need not be).
    bool waited = false;
};

void MediaServer::answerDirectory()
{
    if (directoryActions.empty())
        return;
    DirectoryAction waiting = std::move(directoryActions.front());
    directoryActions.pop_front();
    const QStringList paths
        = waiting.waited ? QStringList() : directory->mediaPathsOfBrowse(waiting.action);
    if (mediaInfo && !paths.isEmpty()) {
        // The page's files are read first, for a moment at most; the answer then tells what is
        // known, and the rest is read for the next look. Other actions go on meanwhile.
        waiting.waited = true;
        auto held = std::make_shared<DirectoryAction>(std::move(waiting));
        mediaInfo->whenKnown(
            paths, browseWaitMs, this, [this, held, generation = directoryGeneration] {
                if (generation != directoryGeneration)
                    return;
                directoryActions.push_front(std::move(*held));
                if (!directoryTurn->isActive())
                    directoryTurn->start();
            });
        if (directoryActions.empty())
            directoryTurn->stop();
        return;
    }
    directory->setClient(waiting.client, waiting.profile);
    SoapReply reply = directory->control(waiting.action, waiting.baseUrl, updateId);
    // Moved: a listing is megabytes.
    waiting.responder.send(HttpResponse::bytes(reply.status, std::move(reply.body), xmlType));
    if (directoryActions.empty())
        directoryTurn->stop();
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
        directoryActions.push_back({ std::move(action), baseUrl(request), request.peer.toString(),
            recognise(request), responder });
        if (!directoryTurn->isActive())
            directoryTurn->start();
        return;
    } else if (service == int(UpnpService::ConnectionManager)) {
        reply = connectionManagerControl(action);
    } else {
        reply = registrarControl(action);
    }
    responder.send(HttpResponse::bytes(reply.status, std::move(reply.body), xmlType));
}

QByteArray MediaServer::baseUrl(const HttpRequest &request) const
{
    // Resources are named on the address the client reached us on.
    const QByteArray host = request.localAddress.protocol() == QAbstractSocket::IPv4Protocol
        ? request.localAddress.toString().toLatin1() + ':' + QByteArray::number(port())
        : request.header("Host");
    return "http://" + host;
}

void MediaServer::serveMedia(const HttpRequest &request, const HttpResponder &responder)
{
    const QByteArray &path = request.path;
    const bool fitted = path.startsWith(UpnpPaths::fittedPrefix);
    const bool thumbnail = path.startsWith(UpnpPaths::thumbnailPrefix);
    QByteArrayView rest = QByteArrayView(path).sliced(fitted ? UpnpPaths::fittedPrefix.size()
            : thumbnail                                      ? UpnpPaths::thumbnailPrefix.size()
                                                             : UpnpPaths::mediaPrefix.size());
    // "/fitted/<size>/<id>": the size's word first.
    PictureSize size = PictureSize::Thumbnail;
    if (fitted) {
        const qsizetype slash = rest.indexOf('/');
        if (slash < 0 || !pictureSizeOfWord(rest.first(slash), &size)) {
            responder.send(HttpResponse::empty(404));
            return;
        }
        rest = rest.sliced(slash + 1);
    }
    ObjectId id;
    EntryInfo entry;
    if (ContentDirectory::idFromPath(rest, &id))
        entry = directory->entryFor(id);
    const int mediaType = directory->mediaTypeOf(id);
    // Only files the library lists now; pictures alone are converted, and an empty file has
    // no picture to convert or send.
    if (entry.name().isEmpty() || entry.isDir() || entry.isVirtual()
        || ((fitted || thumbnail) && (mediaType != 3 || entry.size() == 0))) {
        responder.send(HttpResponse::empty(404));
        return;
    }
    const QByteArray range = request.header("Range");
    const MediaFormat original = fitted || thumbnail
        ? MediaFormat::forFile(entry.fileName(), mediaType)
        : directory->mediaFormat(entry, mediaType);
    // Opened once, right after the lookup: what is sent comes from this handle, never from
    // the path again, which may name something else by now.
    auto file = std::make_shared<OpenedEntry>(OpenedEntry::open(entry));
    if (!fitted && !thumbnail) {
        HttpResponse response = fileResponse(*file, range, original);
        // Samsung's sets ask with the video where its subtitle is.
        if (mediaType == 1 && response.status < 300
            && request.header("getCaptionInfo.sec").trimmed() == "1") {
            const QList<Sidecars::Subtitle> subtitles = Subtitles::of(entry);
            const int chosen = Subtitles::chosen(subtitles);
            if (chosen >= 0) {
                response.addHeader(QByteArrayLiteral("CaptionInfo.sec"),
                    baseUrl(request)
                        + Subtitles::path(id.toByteArray(), chosen, subtitles.at(chosen)));
            }
        }
        responder.send(std::move(response));
        return;
    }
    if (!file->isFile()) {
        responder.send(HttpResponse::empty(404));
        return;
    }
    pictures[size_t(size)]->requestPicture(entry.filePath(), file->descriptor(), this,
        [responder, range, file, original, thumbnail, size](const QByteArray &jpeg) {
            if (!jpeg.isEmpty()) {
                responder.send(bytesResponse(
                    jpeg, range, MediaFormat::convertedPicture(pictureProfile(size).name)));
            } else if (thumbnail) {
                responder.send(HttpResponse::empty(404));
            } else {
                // What cannot be converted is sent as stored, as to players.
                responder.send(fileResponse(*file, range, original));
            }
        });
}

void MediaServer::serveArt(const HttpRequest &request, const HttpResponder &responder)
{
    ObjectId id;
    EntryInfo entry;
    if (ContentDirectory::idFromPath(
            QByteArrayView(request.path).sliced(UpnpPaths::artPrefix.size()), &id)) {
        entry = directory->entryFor(id);
    }
    const int mediaType = directory->mediaTypeOf(id);
    if (!mediaInfo || entry.name().isEmpty() || entry.isDir() || entry.isVirtual()
        || (mediaType != 1 && mediaType != 2)) {
        responder.send(HttpResponse::empty(404));
        return;
    }
    const QByteArray range = request.header("Range");
    const MediaFormat format
        = MediaFormat::convertedPicture(pictureProfile(PictureSize::Thumbnail).name);
    // The probe's JPEG was made by FFmpeg's encoder from what it decoded: sent as it is.
    const QByteArray own = directory->ownArt(entry, mediaType);
    if (!own.isEmpty()) {
        responder.send(bytesResponse(own, range, format));
        return;
    }
    // The folder's cover is a stranger's picture: found with the listing's rules, opened once
    // without following links, and converted like any picture's thumbnail.
    QString root;
    QString relative;
    const EntryInfo cover = Sidecars::folderOf(entry, &root, &relative)
        ? Sidecars::coverArt(root, relative)
        : EntryInfo();
    auto file = std::make_shared<OpenedEntry>(
        cover.name().isEmpty() ? OpenedEntry() : OpenedEntry::open(cover));
    if (!file->isFile() || file->size() == 0) {
        responder.send(HttpResponse::empty(404));
        return;
    }
    pictures[size_t(PictureSize::Thumbnail)]->requestPicture(cover.filePath(), file->descriptor(),
        this, [responder, range, file, format](const QByteArray &jpeg) {
            responder.send(
                jpeg.isEmpty() ? HttpResponse::empty(404) : bytesResponse(jpeg, range, format));
        });
}

void MediaServer::serveSubtitle(const HttpRequest &request, const HttpResponder &responder)
{
    ObjectId id;
    int index = -1;
    EntryInfo video;
    if (Subtitles::fromPath(
            QByteArrayView(request.path).sliced(UpnpPaths::subtitlePrefix.size()), &id, &index)) {
        video = directory->entryFor(id);
    }
    // Found again as Browse found it: only a video the library lists now, only the files its
    // folder holds beside it.
    if (video.name().isEmpty() || video.isDir() || video.isVirtual()
        || directory->mediaTypeOf(id) != 1) {
        responder.send(HttpResponse::empty(404));
        return;
    }
    const QList<Sidecars::Subtitle> subtitles = Subtitles::of(video);
    if (index >= subtitles.size()) {
        responder.send(HttpResponse::empty(404));
        return;
    }
    const Sidecars::Subtitle &subtitle = subtitles.at(index);
    // Opened from its live folder down without following links, like a video.
    OpenedEntry file = OpenedEntry::open(subtitle.file);
    if (!file.isFile() || file.size() > Subtitles::maxSize) {
        responder.send(HttpResponse::empty(404));
        return;
    }
    MediaFormat format;
    format.mimeType = subtitle.mimeType.toLatin1();
    format.transferMode = QByteArrayLiteral("Interactive");
    format.features = QByteArrayLiteral("*");
    responder.send(fileResponse(file, request.header("Range"), format));
}

void MediaServer::serveConverted(const HttpRequest &request, const HttpResponder &responder)
{
    QByteArray profileId;
    ObjectId id;
    EntryInfo video;
    if (ConvertedResource::fromPath(
            QByteArrayView(request.path).sliced(UpnpPaths::convertPrefix.size()), &profileId,
            &id)) {
        video = directory->entryFor(id);
    }
    recognise(request);
    const ClientProfile *profile
        = profiles ? profiles->find(QString::fromUtf8(profileId)) : nullptr;
    // Found again as Browse found it: only a video or song the library lists now.
    const int mediaType = directory->mediaTypeOf(id);
    if (!mediaInfo || !profile || !conversionEnabled || video.name().isEmpty() || video.isDir()
        || video.isVirtual() || (mediaType != 1 && mediaType != 2)) {
        responder.send(HttpResponse::empty(404));
        return;
    }
    const MediaInfo::Answer known = mediaInfo->details(video.filePath());
    const QList<Sidecars::Subtitle> subtitles
        = mediaType == 1 ? Subtitles::of(video) : QList<Sidecars::Subtitle>();
    const int chosen = Subtitles::chosen(subtitles);
    const ConversionPlan plan = known.status == MediaInfo::Status::Known
        ? ConvertedResource::planFor(known.details, video.fileName(), *profile, decisionOptions,
            chosen >= 0 ? subtitles.at(chosen).file.filePath() : QString())
        : ConversionPlan();
    // The plan is made again from what the file is now: a file that plays as it is for that
    // profile, or that is not known, is not converted.
    if (!plan.isConversion()) {
        responder.send(HttpResponse::empty(404));
        return;
    }
    // The bytes do not exist before they are made: no byte seek (OP=10). A Range from the
    // start asks for nothing but the whole and is served as such; any other gets 406, as the
    // DLNA guidelines answer byte seeks on a resource that does not offer them.
    const QByteArray range = request.header("Range").trimmed();
    if (!range.isNull() && range != "bytes=0-") {
        responder.send(HttpResponse::empty(406));
        return;
    }
    const ConvertedResource::TimeSeek seek
        = ConvertedResource::TimeSeek::parse(request.header("TimeSeekRange.dlna.org"));
    const qint64 durationMs = known.details.durationMs;
    if (!seek.valid) {
        responder.send(HttpResponse::empty(400));
        return;
    }
    if (seek.asked && durationMs > 0 && seek.start * 1000 >= durationMs) {
        responder.send(HttpResponse::empty(416));
        return;
    }
    HttpResponse answer;
    answer.addHeader(QByteArrayLiteral("Content-Type"), plan.mimeType);
    answer.addHeader(QByteArrayLiteral("transferMode.dlna.org"), QByteArrayLiteral("Streaming"));
    answer.addHeader(
        QByteArrayLiteral("contentFeatures.dlna.org"), ConvertedResource::features(plan));
    if (seek.asked)
        answer.addHeader(QByteArrayLiteral("TimeSeekRange.dlna.org"), seek.answer(durationMs));
    if (request.method == "HEAD") {
        // Headers only: nothing is converted.
        struct Nothing : HttpBodySource
        {
            qint64 read(char *, qint64) override { return -1; }
        };
        answer.status = 200;
        answer.stream = std::make_shared<Nothing>();
        responder.send(std::move(answer));
        return;
    }
    Conversion *conversion = converting->create();
    if (!conversion) {
        HttpResponse busy = HttpResponse::empty(503);
        busy.addHeader(QByteArrayLiteral("Retry-After"), QByteArrayLiteral("10"));
        responder.send(std::move(busy));
        return;
    }
    // ffmpeg reads the file this request opened, never its path again (which may name
    // something else by now): on Linux the descriptor is handed over and read through
    // /proc/self/fd, seekable as MP4 and Matroska need. Windows has no such hand-over; the
    // path is given once the opened handle has been checked to be the listed file.
    OpenedEntry file = OpenedEntry::open(video);
    if (!file.isFile()) {
        delete conversion;
        responder.send(HttpResponse::empty(404));
        return;
    }
    // A subtitle burnt in is one of those listed beside the video, opened the same way.
    ConversionPlan carried = plan;
    OpenedEntry subtitle;
    if (!plan.subtitleFile.isEmpty()) {
        const auto listed = std::find_if(
            subtitles.cbegin(), subtitles.cend(), [&](const Sidecars::Subtitle &one) {
                return one.file.filePath() == plan.subtitleFile;
            });
        if (listed != subtitles.cend())
            subtitle = OpenedEntry::open(listed->file);
        if (!subtitle.isFile())
            carried.subtitleFile.clear();
    }
#ifdef Q_OS_WIN
    const QString input = video.filePath();
    const QList<int> descriptors;
#else
    const QString input = QStringLiteral("/proc/self/fd/3");
    QList<int> descriptors { file.release() };
    if (subtitle.isFile()) {
        carried.subtitleFile = QStringLiteral("/proc/self/fd/4");
        descriptors.append(subtitle.release());
    }
#endif
    const QStringList arguments
        = FfmpegCommand::arguments(carried, input, { seek.start, seek.end });
    auto body = std::make_shared<ConversionBody>(conversion);
    // Held until the first bytes or the failure: an error is answered as such rather than
    // with a stream that stalls.
    auto pending = std::make_shared<std::pair<std::shared_ptr<ConversionBody>, HttpResponse>>(
        body, std::move(answer));
    const auto settle = [pending, responder, raw = body.get()] {
        if (!pending->first) {
            raw->wake();
            return;
        }
        std::shared_ptr<ConversionBody> held = std::move(pending->first);
        HttpResponse response = std::move(pending->second);
        if (held->failedAtOnce()) {
            responder.send(HttpResponse::empty(500));
            return;
        }
        response.status = 200;
        response.stream = std::move(held);
        responder.send(std::move(response));
    };
    connect(conversion, &Conversion::readyRead, conversion, settle);
    connect(conversion, &Conversion::failed, conversion, settle);
    body.reset();
    conversion->start(converting->program(), arguments, descriptors);
}
