#include "net/connectionhandler.h"

#include "library/dirtreeinterface.h"
#include "library/openedentry.h"
#include "net/answers.h"
#include "net/netlog.h"
#include "net/tcpserver.h"
#include "picture/picturecache.h"

#include <QBuffer>
#include <QFile>
#include <QTcpSocket>

#include <limits>

#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>

#include <cerrno>
#endif

using namespace RequestParser;

namespace {
const QChar separator = QLatin1Char('/');
const char zeros[ConnectionHandler::chunkSize] = {};
} // namespace

ConnectionHandler::ConnectionHandler(TCPServer *server, QTcpSocket *socket, PictureCache *pictures)
    : QObject(server)
    , server(server)
    , connection(socket)
    , pictureCache(pictures)
{
    tailTimer.setSingleShot(true);
    tailTimer.setInterval(tailWait);
    connect(&tailTimer, &QTimer::timeout, this, &ConnectionHandler::tailWaitOver);
    lastActivity.start();
    unansweredTimer.setSingleShot(true);
    unansweredTimer.setInterval(unansweredWait);
    connect(&unansweredTimer, &QTimer::timeout, this, &ConnectionHandler::unansweredWaitOver);
    if (!connection)
        return;
    connection->setParent(this);
    peer = connection->peerAddress().toString() + QLatin1Char(':')
        + QString::number(connection->peerPort());
    // Answers are small and the player waits for each one.
    connection->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // A peer that keeps sending while we stream is held back by TCP, not by our memory.
    connection->setReadBufferSize(maxTextSize);
    connect(connection, &QTcpSocket::readyRead, this, &ConnectionHandler::readData);
    connect(connection, &QTcpSocket::disconnected, this, &ConnectionHandler::close);
    connect(connection, &QTcpSocket::bytesWritten, this, &ConnectionHandler::bytesWritten);
    unansweredTimer.start();
}

ConnectionHandler::~ConnectionHandler() = default;

void ConnectionHandler::readData()
{
    processAndFlush();
}

void ConnectionHandler::processAndFlush()
{
    process();
    // A player waits for each small answer: out now, not at the event loop's next turn. A
    // transfer is fed as the socket drains instead.
    if (!connection || closing || transferRemaining > 0 || connection->bytesToWrite() == 0)
        return;
    // Flushing reports what it wrote through bytesWritten, and keeps writing while there is
    // more: answering from there would answer a whole flood in this one turn.
    flushing = true;
    connection->flush();
    flushing = false;
    if (drainedWhileFlushing) {
        drainedWhileFlushing = false;
        resumeLater();
    }
}

void ConnectionHandler::close()
{
    finishLogLine();
    const bool first = !closing;
    closing = true;
    transferRemaining = 0;
    tailTimer.stop();
    holdingTail = false;
    countHeld();
    if (first && connection) {
        // Whatever is queued (a "404") goes out before the end; the handler and its socket
        // are deleted soon after, which would otherwise drop it.
        connection->flush();
        connection->disconnectFromHost();
        connection->close();
    }
    if (currentSource)
        currentSource->close();
    // Disconnecting may call back into close(); the server is told once.
    if (first)
        emit closed(this);
}

void ConnectionHandler::unansweredWaitOver()
{
    if (answeredAny || closing)
        return;
    // A peer that connects and asks nothing holds a place other players may need.
    if (isIdle())
        close();
    else
        unansweredTimer.start();
}

// On Windows the kernel's queues are not asked, and what Qt holds is taken as all: a connection
// whose last answer still sits in the kernel may count as idle early, and be closed for room.
bool ConnectionHandler::isIdle() const
{
    if (closing || !connection || transferRemaining > 0 || waitingForPicture || holdingTail
        || requestsWaiting() || queued > 0 || connection->bytesToWrite() > 0
        || connection->bytesAvailable() > 0)
        return false;
#ifdef Q_OS_LINUX
    // What the kernel still holds either way: an answer not taken yet, a request not read.
    int unsent = 0, unread = 0;
    const int fd = int(connection->socketDescriptor());
    if (fd >= 0
        && ((::ioctl(fd, SIOCOUTQ, &unsent) == 0 && unsent > 0)
            || (::ioctl(fd, SIOCINQ, &unread) == 0 && unread > 0)))
        return false;
#endif
    return true;
}

void ConnectionHandler::bytesWritten(qint64 count)
{
    lastActivity.start();
    queued = qMax<qint64>(0, queued - count);
    if (flushing) {
        drainedWhileFlushing = true;
        return;
    }
    process();
}

void ConnectionHandler::process()
{
    // Socket signals do not nest here, but a handler may close the connection meanwhile.
    if (processing)
        return;
    processing = true;
    int answered = 0;
    while (!closing) {
        if (transferRemaining > 0) {
            feedTransfer();
            if (transferRemaining > 0)
                break; // bytesWritten resumes it
            continue;
        }
        if (waitingForPicture)
            break; // the picture's answer resumes it
        finishLogLine();
        // Answers wait while the player is not reading; requests stay on the socket.
        if (queued >= maxQueuedBytes)
            break;
        if (textPos < text.size() && !holdingTail) {
            if (answered == requestsPerTurn) {
                // A text full of requests must not keep the other players waiting.
                resumeLater();
                break;
            }
            dispatchOne();
            ++answered;
            continue;
        }
        if (!holdingTail && textPos >= text.size() && !text.isNull()) {
            // Answered: an idle connection keeps no text.
            text = QString();
            textPos = 0;
        }
        if (readText())
            continue;
        if (holdingTail && answerTail) {
            // Nothing more came: the held request is answered as it stands.
            holdingTail = false;
            continue;
        }
        if (holdingTail && !tailTimer.isActive())
            tailTimer.start();
        break;
    }
    processing = false;
    countHeld();
}

void ConnectionHandler::countHeld()
{
    const qsizetype now = heldText();
    if (now == heldCounted || !server)
        return;
    const qsizetype delta = now - heldCounted;
    heldCounted = now;
    server->heldTextChanged(delta);
}

void ConnectionHandler::answerHeldNow()
{
    if (!holdingTail || answerTail)
        return;
    answerTail = true;
    resumeLater();
}

void ConnectionHandler::beginLogLine(QStringView request)
{
    // What a peer sent may hold anything: control characters do not reach the log.
    QString shown = request.left(200).trimmed().toString();
    for (QChar &c : shown) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('.');
    }
    logRequest = shown;
    logStartBytes = answeredBytes;
    logTimer.start();
}

void ConnectionHandler::finishLogLine()
{
    if (logRequest.isNull())
        return;
    qCInfo(lcNet).noquote() << peer << logRequest << "->" << (answeredBytes - logStartBytes)
                            << "bytes in" << logTimer.elapsed() << "ms";
    logRequest = QString();
}

void ConnectionHandler::tailWaitOver()
{
    if (!holdingTail)
        return;
    answerTail = true;
    processAndFlush();
}

void ConnectionHandler::resumeLater()
{
    if (resumePosted)
        return;
    resumePosted = true;
    // Queued behind what the event loop already holds; dropped if the handler goes first.
    QMetaObject::invokeMethod(
        this,
        [this] {
            resumePosted = false;
            processAndFlush();
        },
        Qt::QueuedConnection);
}

bool ConnectionHandler::readText()
{
    if (!connection || connection->bytesAvailable() <= 0)
        return false;
    // Everything waiting is one text, read through the small request buffer in rounds, so
    // neither long paths nor pipelined requests are cut at the buffer's size.
    // A request held for the rest of its bytes starts the new text.
    const qint64 room = maxTextSize - heldText();
    char buffer[1024];
    QByteArray bytes;
    while (bytes.size() < room) {
        const qint64 want = qMin<qint64>(sizeof(buffer) - 1, room - bytes.size());
        const qint64 got = connection->read(buffer, want);
        if (got <= 0)
            break;
        buffer[got] = '\0';
        bytes.append(buffer, got);
    }
    if (bytes.isEmpty())
        return false;
    received += bytes.size();
    lastActivity.start();
    // A NUL ends the text.
    const qsizetype nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    if (!holdingTail) {
        text = QString::fromLatin1(bytes);
        textPos = 0;
    } else {
        // The held request is the whole text (textPos is 0). Only the new bytes are looked
        // at: until they bring the bars it lacks, it is not parsed again.
        const qsizetype from = text.size();
        text.append(QLatin1String(bytes.constData(), bytes.size()));
        heldBars += QStringView(text).sliced(from).count(QLatin1Char('|'));
        if (heldBarsNeeded > 0 && heldBars < heldBarsNeeded && text.size() < maxTextSize) {
            answerTail = false;
            tailTimer.stop();
            return true;
        }
    }
    holdingTail = false;
    answerTail = false;
    tailTimer.stop();
    return true;
}

void ConnectionHandler::dispatchOne()
{
    const QStringView rest = QStringView(text).sliced(textPos);
    const ParseResult parsed = parseRequest(rest);
    if (parsed.incomplete && !answerTail && rest.size() < maxTextSize) {
        // TCP may have cut the request anywhere: wait briefly for the rest of it, in a text
        // of its own that the next bytes are added to.
        holdingTail = true;
        heldBarsNeeded = parsed.barsNeeded; // 0 when cut in its keyword: parsed again
        heldBars = int(rest.count(QLatin1Char('|')));
        if (textPos > 0) {
            text = rest.toString();
            textPos = 0;
        }
        return;
    }
    answerTail = false;
    const Request &request = parsed.request;
    if (request.kind != Kind::None) {
        answeredAny = true;
        unansweredTimer.stop();
    }
    if (request.kind != Kind::None && lcNet().isInfoEnabled())
        beginLogLine(rest.first(parsed.consumed));
    switch (request.kind) {
    case Kind::None:
        // Not a request (or separators alone): the rest of this text is dropped, the
        // connection stays.
        textPos = text.size();
        return;
    case Kind::List:
        handleList(request);
        break;
    case Kind::Action:
        handleAction(request);
        break;
    case Kind::Size:
        handleSize(request);
        break;
    case Kind::Get:
        handleGet(request);
        break;
    }
    textPos += parsed.consumed;
}

bool ConnectionHandler::write(const char *data, qint64 size)
{
    if (closing || !connection || connection->state() != QAbstractSocket::ConnectedState)
        return false;
    // The pointer form copies; handing over a QByteArray would let the socket keep a
    // reference to the reused read buffer.
    const qint64 written = connection->write(data, size);
    if (written > 0) {
        queued += written;
        answeredBytes += written;
    }
    return written == size;
}

bool ConnectionHandler::write(const QByteArray &bytes)
{
    return write(bytes.constData(), bytes.size());
}

DirTreeInterface *ConnectionHandler::libraryFor(const QString &mediaWord) const
{
    const MediaType code = mediaTypeFor(mediaWord);
    if (code == NoMedia || !server)
        return nullptr;
    for (DirTreeInterface *library : server->libraries()) {
        if (library && library->mediaType() == code)
            return library;
    }
    return nullptr;
}

EntryInfo ConnectionHandler::resolvePath(const RequestPath &path) const
{
    DirTreeInterface *library = libraryFor(path.mediaWord);
    if (!library)
        return EntryInfo();
    return library->findEntry(path.libraryPath, separator);
}

void ConnectionHandler::handleList(const Request &request)
{
    QList<EntryInfo> entries;
    if (DirTreeInterface *library = libraryFor(request.path.mediaWord))
        entries = library->listEntries(request.path.libraryPath, separator);
    write(Answers::listing(entries, request.path));
}

void ConnectionHandler::handleAction(const Request &request)
{
    if (resolvePath(request.path).isUsable()) {
        write(QByteArrayLiteral("200"));
    } else {
        write(QByteArrayLiteral("404"));
        close();
    }
}

void ConnectionHandler::handleSize(const Request &request)
{
    const EntryInfo entry = resolvePath(request.path);
    if (!entry.isUsable()) {
        write(Answers::size(0));
        return;
    }
    makeSource(request.path, entry, [this] {
        write(Answers::size(currentSourceSize));
        // The next GET opens what it names itself.
        currentSource->close();
    });
}

bool ConnectionHandler::isStreaming() const
{
    // A film is read in ranges with pauses between them; seconds without one mean it stopped.
    constexpr qint64 pauseMs = 3000;
    return transferRemaining > 0 || (lastGet.isValid() && lastGet.elapsed() < pauseMs);
}

void ConnectionHandler::handleGet(const Request &request)
{
    lastGet.start();
    const Range range = request.range;
    if (currentSource && currentSource->isOpen()) {
        startTransfer(range);
        return;
    }
    makeSource(request.path, resolvePath(request.path), [this, range] {
        // A file is open already; a converted picture opens here. A folder or a file that
        // did not open keeps the size SIZE reports for it: the rest of it then comes as NULs,
        // as many bytes as the player expects.
        if (!qobject_cast<QFile *>(currentSource.get()))
            currentSource->open(QIODevice::ReadOnly);
        startTransfer(range);
    });
}

void ConnectionHandler::startTransfer(const Range &range)
{
    transferRemaining = Answers::byteCount(range, currentSourceSize);
    transferPadding = true;
    if (currentSource->isOpen() && range.offset <= quint64(currentSource->size())
        && currentSource->seek(qint64(range.offset)))
        transferPadding = false;
    if (transferRemaining > 0 && chunk.isEmpty())
        chunk.resize(chunkSize);
    // process() feeds the transfer as the socket drains.
}

#ifdef Q_OS_LINUX
bool ConnectionHandler::sendfileApplies() const
{
    return sendfileEnabled && !transferPadding && connection
        && qobject_cast<QFile *>(currentSource.get()) && connection->socketDescriptor() >= 0;
}

bool ConnectionHandler::sendFileDirectly()
{
    auto *file = static_cast<QFile *>(currentSource.get());
    const int socketFd = int(connection->socketDescriptor());
    off_t offset = off_t(file->pos());
    // A fast player never fills the connection; the budget lets other players have a turn.
    // Alone, a connection takes longer turns: each turn costs a little.
    qint64 budget = server && server->connectionCount() > 1 ? turnBytes : 16 * turnBytes;
    bool full = false;
    while (transferRemaining > 0 && budget > 0) {
        const size_t want = size_t(qMin<quint64>(transferRemaining, quint64(budget)));
        const ssize_t sent = ::sendfile(socketFd, file->handle(), &offset, want);
        if (sent > 0) {
            answeredBytes += sent;
            transferRemaining -= quint64(sent);
            budget -= sent;
            continue;
        }
        if (sent == 0)
            transferPadding = true; // the file ended early
        else if (errno == EAGAIN)
            full = true;
        else if (errno != EINTR)
            sendfileEnabled = false; // not a file the kernel sends this way
        break;
    }
    file->seek(qint64(offset));
    return full;
}
#endif

void ConnectionHandler::feedTransfer()
{
#ifdef Q_OS_LINUX
    if (sendfileApplies()) {
        // Only with nothing queued in the socket, so the bytes stay in order; the kernel
        // then copies from the file to the connection without a trip through our buffers.
        if (connection->bytesToWrite() > 0)
            return;
        const bool full = sendFileDirectly();
        if (transferRemaining == 0 || closing)
            return;
        if (sendfileApplies()) {
            if (full) {
                // One chunk through the socket's own buffer, whose draining resumes the
                // transfer.
                feedChunk();
            } else {
                // The turn's budget is spent: every other connection is served before this
                // one goes on.
                resumeLater();
            }
            return;
        }
    }
#endif
    // Through the socket's buffer: its draining resumes the transfer.
    qint64 fed = 0;
    while (transferRemaining > 0 && !closing && fed < turnBytes) {
        const qint64 want = qint64(qMin<quint64>(transferRemaining, quint64(chunkSize)));
        if (queued + want > maxQueuedBytes)
            return;
        if (!feedChunk())
            return;
        fed += want;
    }
}

bool ConnectionHandler::feedChunk()
{
    const qint64 want = qint64(qMin<quint64>(transferRemaining, quint64(chunkSize)));
    qint64 got = 0;
    if (!transferPadding) {
        got = currentSource->read(chunk.data(), want);
        if (got <= 0)
            transferPadding = true; // end of data or a failed read
    }
    const char *data = transferPadding ? zeros : chunk.constData();
    if (transferPadding)
        got = want;
    if (!write(data, got)) {
        // The socket refused it: this answer is abandoned.
        transferRemaining = 0;
        return false;
    }
    transferRemaining -= quint64(got);
    return true;
}

void ConnectionHandler::replaceSource(std::unique_ptr<QIODevice> device, qint64 size)
{
    currentSource = std::move(device);
    currentSourceSize = size;
}

void ConnectionHandler::makeSource(
    const RequestPath &path, const EntryInfo &entry, std::function<void()> then)
{
    // Opened once, right after the lookup: the answer comes from this handle, never from the
    // path again, which may name something else by now.
    auto opened = std::make_shared<OpenedEntry>(OpenedEntry::open(entry));
    if (!path.convertPicture || !pictureCache || !opened->isFile()) {
        const qint64 size = opened->size();
        replaceSource(opened->takeFile(), size);
        then();
        return;
    }
    // The picture converts on a worker thread. This connection waits for it, its later
    // requests behind it; every other connection is served meanwhile.
    waitingForPicture = true;
    pictureCache->requestPicture(
        entry.filePath(), opened->descriptor(), this, [this, opened, then](const QByteArray &jpeg) {
            waitingForPicture = false;
            if (jpeg.isEmpty()) {
                // Not a picture that converts: its own bytes are sent.
                const qint64 size = opened->size();
                replaceSource(opened->takeFile(), size);
            } else {
                // The buffer shares the bytes, so the cache may drop the picture meanwhile.
                auto buffer = std::make_unique<QBuffer>();
                buffer->setData(jpeg);
                replaceSource(std::move(buffer), jpeg.size());
            }
            if (closing)
                return;
            then();
            process();
        });
}
