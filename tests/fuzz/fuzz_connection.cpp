// One player connection per input, fed arbitrary bytes in arbitrary pieces over loopback, to
// the real server and the real library views (files, a virtual folder, a live folder with
// hidden entries, links and odd names, pictures). The first input byte chooses the pieces
// (low 7 bits; 0 sends everything at once) and whether a request left cut short at the end
// is waited for (high bit); the rest is what the player sends.
//
// Checked: the connection is still answering afterwards, or was closed right after a "404";
// nothing outside what listings show is served; no more than the bounded amount is queued for
// it; its handler is gone once the peer is.
// Requests that mean the same however TCP cuts them get the same answer bytes cut as sent
// as when sent whole.
//
// The same bytes, cut the same way, then go to the DLNA clients' HTTP server on the same
// views, and as a SOAP body straight to ContentDirectory. Checked there: the connection ends
// once the peer has stopped sending, nothing outside what listings show is served, no disk
// path appears in an answer, and the server keeps answering.
#include "app/productstrings.h"
#include "app/startup.h"
#include "library/treewidget.h"
#include "library/userprompts.h"
#include "net/connectionhandler.h"
#include "net/requestparser.h"
#include "net/tcpserver.h"
#include "picture/picturecache.h"
#include "settings/settings.h"
#include "upnp/contentdirectory.h"
#include "upnp/mediaserver.h"
#include "upnp/objectid.h"
#include "upnp/soap.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPointer>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace RequestParser;

namespace {

const QByteArray probe = QByteArrayLiteral("LIST VIDEO |Films|\r\n\r\n");
const QByteArray probeAnswer = QByteArrayLiteral("holiday.avi| /VIDEO/Films/holiday.avi|0|\nEOL\n");
// A peer reads this much of the answers at most, then resets the connection.
constexpr qsizetype answerCap = 2 << 20;
// Milliseconds for anything the server should do at once, generous for a loaded machine.
constexpr int patience = 15000;

struct World
{
    QTemporaryDir dir;
    QList<TreeWidget *> libraries;
    std::unique_ptr<Settings> settings;
    std::unique_ptr<PictureCache> pictures;
    std::unique_ptr<TCPServer> server;
    std::unique_ptr<MediaServer> media;
    std::unique_ptr<ContentDirectory> directory;
    QByteArray mediaPath; // the media folder on disk, which no answer may name
};
World *world = nullptr;

void require(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_connection: %s\n", what);
    std::abort();
}

void writeFile(const QString &path, const QByteArray &bytes, qint64 size = -1)
{
    QFile file(path);
    require(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
            && (size < 0 || file.resize(size)),
        "cannot write the media");
}

void makeWorld()
{
    world = new World;
    // The views and the server live as long as the process; only the files are cleaned up.
    std::atexit([] { world->dir.remove(); });
    const QString media = world->dir.filePath(QStringLiteral("media"));
    QDir().mkpath(media + QStringLiteral("/films"));
    QDir().mkpath(media + QStringLiteral("/music/albums"));
    writeFile(media + QStringLiteral("/clip.avi"), QByteArray(3000, 'c'));
    writeFile(media + QStringLiteral("/films/holiday.avi"), QByteArray(500, 'h'));
    writeFile(media + QStringLiteral("/secret.mp3"), "outside every library");
    for (const char *name : { "a.mp3", ".hidden.mp3", "notes.txt", "odd|name.mp3", "line\nfeed.mp3",
             "\xc3\xa9t\xc3\xa9.mp3" })
        writeFile(media + QStringLiteral("/music/") + QString::fromUtf8(name), name);
    writeFile(media + QStringLiteral("/music/albums/long.mp3"), {}, 4 << 20);
    QFile::link(media + QStringLiteral("/secret.mp3"), media + QStringLiteral("/music/link.mp3"));
    QFile::link(media, media + QStringLiteral("/music/up"));
    QImage photo(64, 48, QImage::Format_RGB32);
    photo.fill(Qt::red);
    photo.save(media + QStringLiteral("/photo.jpg"), "JPEG");
    writeFile(media + QStringLiteral("/notapicture.jpg"), "plain text");

    const QString config = QStringLiteral(
        "<hearth><video_tree><file path='%1/clip.avi'/><dir name='Films'>"
        "<file path='%1/films/holiday.avi'/></dir></video_tree>"
        "<audio_tree><livedir path='%1/music'/></audio_tree>"
        "<pictures_tree><file path='%1/photo.jpg'/><file path='%1/notapicture.jpg'/>"
        "</pictures_tree></hearth>")
                               .arg(media.toHtmlEscaped());
    const QString configPath = world->dir.filePath(QStringLiteral("hearth.xml"));
    writeFile(configPath, config.toUtf8());

    static QtUserPrompts prompts;
    world->settings = std::make_unique<Settings>(defaultServerName());
    loadConfiguration(world->libraries, *world->settings, configPath, prompts);
    world->pictures = std::make_unique<PictureCache>(world->settings->pictureFormat());
    world->server = std::make_unique<TCPServer>(
        QList<DirTreeInterface *>(world->libraries.cbegin(), world->libraries.cend()),
        world->pictures.get(), 0);
    require(world->server->listen(QHostAddress::LocalHost), "cannot listen");

    const QList<DirTreeInterface *> views(world->libraries.cbegin(), world->libraries.cend());
    world->media
        = std::make_unique<MediaServer>(views, world->dir.filePath(QStringLiteral("state")));
    require(world->media->start(0, QHostAddress::LocalHost, false), "cannot listen for HTTP");
    world->directory = std::make_unique<ContentDirectory>(views);
    world->mediaPath = media.toUtf8();
}

// The player's end: a plain socket, so the pieces reach the kernel exactly as cut.
struct Peer
{
    int fd = -1;
    QByteArray answers;
    bool capped = false;
    bool ended = false; // the server closed its end
    QPointer<ConnectionHandler> handler;

    bool open() const { return handler && world->server->connections().contains(handler); }

    bool drain()
    {
        const qsizetype before = answers.size();
        char buffer[65536];
        while (!capped && !ended) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0)
                answers.append(buffer, got);
            else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                ended = true;
            else
                break;
            capped = answers.size() > answerCap;
        }
        return answers.size() != before;
    }

    // Runs the server's events once and reads what has arrived.
    bool pumpOnce()
    {
        const bool events
            = QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents);
        if (open())
            require(handler->queuedBytes()
                    <= ConnectionHandler::maxQueuedBytes + ConnectionHandler::chunkSize,
                "more queued than the bound");
        return drain() || events;
    }

    // Pumps until done() or the patience is spent.
    template<class Done> bool pumpUntil(Done done, int ms = patience)
    {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > ms)
                return false;
            if (!pumpOnce()) {
                pollfd wait { fd, POLLIN, 0 };
                ::poll(&wait, 1, 1);
            }
        }
        return true;
    }

    void send(const char *data, qsizetype size)
    {
        while (size > 0 && open()) {
            const ssize_t sent = ::send(fd, data, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent < 0 && errno != EAGAIN && errno != EINTR)
                return;
            if (sent > 0) {
                data += sent;
                size -= sent;
            }
            pumpOnce();
        }
    }

    // Not closed, and cut short: the server waits for the rest of a request.
    bool holding() const { return open() && handler->holdsPartialRequest(); }
    // The server has answered what it can and waits for the peer.
    bool idle() const
    {
        return !open() || capped
            || (!handler->transferActive() && handler->queuedBytes() == 0
                && (!handler->requestsWaiting() || handler->holdsPartialRequest()));
    }
};

struct Run
{
    QByteArray answers; // before the probe
    bool capped = false;
    qint64 elapsed = 0;
};

// Sends payload cut before each of cuts' positions on a new connection and checks it.
Run run(const QByteArray &payload, const std::vector<qsizetype> &cuts, bool waitForTail)
{
    Peer peer;
    peer.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(world->server->serverPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(peer.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // The fuzzer's timer signal may interrupt the handshake; the server's accept ends it.
    require(::connect(peer.fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
            || errno == EINPROGRESS || errno == EINTR,
        "cannot connect");
    require(peer.pumpUntil([] { return world->server->connections().size() == 1; }),
        "connection not accepted");
    peer.handler = world->server->connections().constFirst();

    QElapsedTimer timer;
    timer.start();
    qsizetype from = 0;
    for (const qsizetype to : cuts) {
        peer.send(payload.constData() + from, to - from);
        from = to;
        require(peer.pumpUntil([&] {
            return !peer.open() || peer.capped || peer.handler->bytesReceived() >= from;
        }),
            "sent bytes not read");
    }
    require(peer.pumpUntil([&] { return peer.idle(); }), "connection never idle");
    if (waitForTail)
        require(peer.pumpUntil([&] { return peer.idle() && !peer.holding(); }),
            "request cut short never answered");
    Run result;
    result.elapsed = timer.elapsed();

    if (!peer.capped && peer.open() && !peer.holding()) {
        // The server answers in order: what comes before the probe's answer is the input's.
        peer.send(probe.constData(), probe.size());
        require(peer.pumpUntil([&] {
            return peer.capped || peer.answers.endsWith(probeAnswer) || !peer.open();
        }),
            "connection no longer answers");
        require(peer.capped || peer.open(), "connection closed without a 404");
        result.answers = peer.answers.chopped(probeAnswer.size());
    } else if (!peer.capped && !peer.open()) {
        require(peer.pumpUntil([&] { return peer.ended || peer.capped; }), "close not seen");
        require(peer.capped || peer.answers.endsWith("404"), "connection closed without a 404");
        result.answers = peer.answers;
    }
    result.capped = peer.capped;
    // Below the live folder only what its listing shows is served (the music files hold
    // their own names): no hidden or filtered file, nothing a link leads to.
    for (const char *unlisted : { "outside every library", ".hidden.mp3", "notes.txt" })
        require(!peer.answers.contains(unlisted), "served what no listing shows");

    if (peer.capped) {
        // A player leaving mid-answer: reset, as a crashed or switched-off one does.
        const linger abort { 1, 0 };
        ::setsockopt(peer.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(peer.fd);
    require(peer.pumpUntil([&] { return !peer.open(); }), "connection outlives its peer");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    require(!peer.handler, "handler not deleted");
    return result;
}

// Positions where the pieces end, from the control byte.
std::vector<qsizetype> cutsFor(unsigned seed, qsizetype size)
{
    std::vector<qsizetype> cuts;
    quint32 state = seed * 2654435761u;
    const unsigned longest = 1 + (seed & 0x1F);
    for (qsizetype at = 0; seed != 0 && at < size && cuts.size() < 63;) {
        state = state * 1103515245u + 12345u;
        at = qMin(size, at + 1 + qsizetype((state >> 16) % longest));
        cuts.push_back(at);
    }
    if (cuts.empty() || cuts.back() != size)
        cuts.push_back(size);
    return cuts;
}

bool sameRequest(const Request &a, const Request &b)
{
    return a.kind == b.kind && a.variant == b.variant && a.path == b.path && a.range == b.range;
}

// Whether every request of the text is complete and means the same on its own and at every
// cut: only then must the pieces not change the answers. (A request answered at once when its
// bars are there, or text that is no request, may mean something else once cut.)
bool meansTheSameCut(const QByteArray &payload, const std::vector<qsizetype> &cuts)
{
    if (payload.contains('\0'))
        return false;
    const QString text = QString::fromLatin1(payload);
    const QStringView all(text);
    for (qsizetype start = 0; start < text.size();) {
        const ParseResult whole = parseRequest(all.sliced(start));
        if (whole.request.kind == Kind::None || whole.incomplete)
            return false;
        const qsizetype end = start + whole.consumed;
        std::vector<qsizetype> ends { end };
        for (const qsizetype cut : cuts) {
            if (cut > start && cut < end)
                ends.push_back(cut);
        }
        for (const qsizetype cut : ends) {
            const ParseResult part = parseRequest(all.sliced(start, cut - start));
            if (part.incomplete && cut < end)
                continue;
            if (part.incomplete || !sameRequest(part.request, whole.request))
                return false;
            // Answered at once: the rest of the request must be blanks and line ends, which
            // the next text skips.
            const QStringView after = all.sliced(cut, end - cut);
            if (separatorsAt(after) != after.size())
                return false;
        }
        start = end;
    }
    return true;
}

// Runs the server's events once; true when something happened.
bool pumpEvents()
{
    return QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents);
}

void requireUnleaked(const QByteArray &answers)
{
    for (const char *unlisted : { "outside every library", ".hidden.mp3", "notes.txt" })
        require(!answers.contains(unlisted), "HTTP served what no listing shows");
    require(!answers.contains(world->mediaPath), "a disk path in an answer");
}

// The payload cut as given on one HTTP connection; the peer then stops sending and reads.
void runHttp(const QByteArray &payload, const std::vector<qsizetype> &cuts)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(world->media->port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    require(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
            || errno == EINPROGRESS || errno == EINTR,
        "cannot connect over HTTP");
    QByteArray answers;
    bool ended = false;
    const auto drain = [&] {
        char buffer[65536];
        bool got = false;
        while (!ended && answers.size() <= answerCap) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                answers.append(buffer, n);
                got = true;
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                ended = true;
            } else {
                break;
            }
        }
        return got;
    };
    const auto pump = [&] {
        if (!pumpEvents() && !drain()) {
            pollfd wait { fd, POLLIN, 0 };
            ::poll(&wait, 1, 1);
        }
        drain();
    };
    qsizetype from = 0;
    for (const qsizetype to : cuts) {
        const char *data = payload.constData() + from;
        qsizetype size = to - from;
        QElapsedTimer timer;
        timer.start();
        while (size > 0 && !ended && timer.elapsed() < patience) {
            const ssize_t sent = ::send(fd, data, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent < 0 && errno != EAGAIN && errno != EINTR && errno != ENOTCONN)
                break;
            if (sent > 0) {
                data += sent;
                size -= sent;
            }
            pump();
        }
        from = to;
        pump();
    }
    // With nothing more to come the server answers what it holds and closes.
    ::shutdown(fd, SHUT_WR);
    QElapsedTimer timer;
    timer.start();
    while (!ended && answers.size() <= answerCap && timer.elapsed() < patience)
        pump();
    require(ended || answers.size() > answerCap, "HTTP connection never ended");
    requireUnleaked(answers);
    const linger abort { 1, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
    timer.restart();
    while (world->media->clientCount() != 0 && timer.elapsed() < patience)
        pumpEvents();
    require(world->media->clientCount() == 0, "HTTP connection outlives its peer");
}

// The payload as a control request body, without HTTP around it.
void runSoap(const QByteArray &payload)
{
    SoapAction action;
    if (!parseSoapAction(payload, &action))
        return;
    const SoapReply reply = world->directory->control(action, "http://127.0.0.1:1", 1);
    require(reply.status == 200 || reply.status == 500, "SOAP answer neither result nor fault");
    requireUnleaked(reply.body);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    // The toolkit would take its own options out of the fuzzer's.
    static int qtArgc = 1;
    static char name[] = "fuzz_connection";
    static char *qtArgv[] = { name, nullptr };
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(qtArgc, qtArgv);
    makeWorld();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray payload(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    const std::vector<qsizetype> cuts = cutsFor(data[0] & 0x7F, payload.size());
    const bool waitForTail = (data[0] & 0x80) != 0;
    runSoap(payload);
    runHttp(payload, cuts);
    if (cuts.size() == 1 || !meansTheSameCut(payload, cuts)) {
        run(payload, cuts, waitForTail);
        return 0;
    }
    const Run whole = run(payload, { payload.size() }, false);
    const Run pieces = run(payload, cuts, false);
    // A request held longer than the wait is answered as it stands: compare only runs quicker.
    if (!whole.capped && !pieces.capped && pieces.elapsed < 80)
        require(pieces.answers == whole.answers, "the pieces changed the answers");
    return 0;
}
