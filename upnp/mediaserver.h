#pragma once

#include "convert/decision.h"
#include "media/mediainfo.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <array>
#include <deque>
#include <memory>

class Bookmarks;
struct ClientProfile;
class ClientProfiles;
class ClientRegistry;
class Conversions;
class MusicLibrary;
class ContentDirectory;
class DirTreeInterface;
class HttpResponse;
class PictureCache;
struct ObjectId;
class HttpServer;
class HttpResponder;
struct HttpRequest;
class EventPublisher;
class SsdpServer;
class QTimer;

// The UPnP AV / DLNA front door onto the libraries: HTTP (descriptions, control, events,
// media) and SSDP. app/ makes one and starts it after the player protocol's servers.
class MediaServer : public QObject
{
    Q_OBJECT

public:
    // The libraries in the order video, audio, pictures. Pictures are converted in caches of
    // the server's own, in the sizes DLNA names, apart from the players' television format.
    // Play positions are kept in `stateFolder` (Bookmarks::defaultFolder() when empty).
    explicit MediaServer(const QList<DirTreeInterface *> &libraries,
        const QString &stateFolder = QString(), QObject *parent = nullptr);
    ~MediaServer() override;

    // What is known of media files: Browse waits a moment for the files of its page, then
    // tells durations, tags, profiles and album art. Not owned; none: file facts only.
    void setMediaInfo(MediaInfo *info);
    // The music views of the audio library and what Search finds; not owned. Offered while
    // media info is set too.
    void setMusicLibrary(MusicLibrary *library);
    // Who each client is (from its requests' headers, remembered per address) and what it
    // plays; none: every file is offered as it is. Both must outlive this.
    void setClients(const ClientProfiles *profiles, ClientRegistry *registry);
    // What the ffmpeg can do (its encoders, its subtitle filter).
    void setDecisionOptions(const DecisionOptions &options);
    // Off: every file is offered as it is, and nothing is converted.
    void setConversionEnabled(bool enabled);

    void setFriendlyName(const QString &name);
    // "uuid:..."; set before start().
    void setUdn(const QString &udn);
    // Listens on the preferred port, or the next free one up from it (a few tried), or any
    // free one; then announces.
    // Tests listen on 127.0.0.1 and stay silent on SSDP.
    bool start(quint16 preferredPort = 8200, const QHostAddress &address = QHostAddress::AnyIPv4,
        bool announce = true);
    void stop();
    quint16 port() const;

    // Open HTTP connections of DLNA clients.
    int clientCount() const;

    // The videos being converted for clients: their limit and count.
    Conversions *conversions() const { return converting; }

    quint32 systemUpdateId() const { return updateId; }

public slots:
    // A library was edited: clients learn that their listings are stale.
    void libraryChanged();

signals:
    void clientCountChanged(int count);

private:
    void handle(const HttpRequest &request, const HttpResponder &responder);
    void control(const HttpRequest &request, const HttpResponder &responder, int service);
    // GET and HEAD of /media/, /fitted/ and /thumb/.
    void serveMedia(const HttpRequest &request, const HttpResponder &responder);
    // Answers the oldest waiting ContentDirectory action.
    void answerDirectory();
    // GET and HEAD of /art/: the file's own cover or frame, else its folder's cover.
    void serveArt(const HttpRequest &request, const HttpResponder &responder);
    // GET and HEAD of /subtitle/: a subtitle file beside a video, as stored.
    void serveSubtitle(const HttpRequest &request, const HttpResponder &responder);
    // GET and HEAD of /convert/: a video converted by ffmpeg as it is sent.
    void serveConverted(const HttpRequest &request, const HttpResponder &responder);
    // "http://address:port", where the client reached this server.
    QByteArray baseUrl(const HttpRequest &request) const;

    // ContentDirectory actions wait here and are answered one per pass of the event loop, so
    // players' requests and the other sockets are served between them however many DLNA
    // clients browse at once.
    struct DirectoryAction;
    std::deque<DirectoryAction> directoryActions;
    QTimer *directoryTurn = nullptr;
    // Browses waiting for their files' details; stop() forgets them.
    quint64 directoryGeneration = 0;
    QPointer<MediaInfo> mediaInfo;
    const ClientProfiles *profiles = nullptr;
    ClientRegistry *clients = nullptr;
    bool conversionEnabled = true;
    DecisionOptions decisionOptions;
    // The profile of the client asking, as its request and its address say; nullptr without
    // clients.
    const ClientProfile *recognise(const HttpRequest &request);

    QList<DirTreeInterface *> libraries;
    // One per DLNA size, thumbnails first (PictureSize).
    std::array<std::unique_ptr<PictureCache>, 4> pictures;
    std::unique_ptr<Bookmarks> bookmarks;
    std::unique_ptr<ContentDirectory> directory;
    QString friendlyName;
    QString udn;
    quint32 updateId = 1;
    HttpServer *http = nullptr;
    EventPublisher *events = nullptr;
    SsdpServer *ssdp = nullptr;
    Conversions *converting = nullptr;
};
