// GET throughput over loopback and the server's memory while streaming, with `cat` reading
// the same file to /dev/null as the reference. Run by hand:
//   bench_net_get [file [size_in_MiB]]
// Without a file, a 1 GiB file is made in the temporary directory (and removed afterwards).

#include "library/dirtreeinterface.h"
#include "net/connectionhandler.h"
#include "net/tcpserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

// One file at the top of the video library.
class OneFile : public DirTreeInterface
{
public:
    explicit OneFile(const QString &path)
        : path(path)
    { }
    EntryInfo findEntry(const QString &p, QChar) const override
    {
        return p == QFileInfo(path).fileName() ? EntryInfo(QFileInfo(path), QString())
                                               : EntryInfo();
    }
    QList<EntryInfo> listEntries(const QString &, QChar) const override
    {
        return { EntryInfo(QFileInfo(path), QString()) };
    }
    int mediaType() const override { return 1; }

private:
    QString path;
};

long peakRssKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long currentRssKiB()
{
    QFile status(QStringLiteral("/proc/self/statm"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = status.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

// Reads the whole answer on its own thread, as a player would.
qint64 fetch(quint16 port, const QByteArray &request, qint64 expected)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return -1;
    ::send(fd, request.constData(), size_t(request.size()), 0);
    std::vector<char> buffer(1 << 20);
    qint64 got = 0;
    while (got < expected) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        got += n;
    }
    ::close(fd);
    return got;
}

double mibPerSecond(qint64 bytes, qint64 nanoseconds)
{
    return double(bytes) / (1024.0 * 1024.0) / (double(nanoseconds) / 1e9);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTemporaryDir dir;
    QString path = args.size() > 1 ? args.at(1) : dir.filePath(QStringLiteral("bench.bin"));
    const qint64 size = (args.size() > 2 ? args.at(2).toLongLong() : 1024) * 1024 * 1024;

    if (!QFileInfo::exists(path)) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (int i = 0; i < block.size(); ++i)
            block[i] = char(i * 131 + i / 977);
        for (qint64 written = 0; written < size; written += block.size())
            file.write(block.constData(), qMin<qint64>(block.size(), size - written));
    }
    const qint64 fileSize = QFileInfo(path).size();
    std::printf("file: %s, %lld bytes\n", qPrintable(path), fileSize);

    // Warm the page cache so both measurements read from memory.
    QProcess::execute(QStringLiteral("sh"),
        { QStringLiteral("-c"), QStringLiteral("cat \"$0\" > /dev/null"), path });
    QElapsedTimer timer;
    timer.start();
    QProcess::execute(QStringLiteral("sh"),
        { QStringLiteral("-c"), QStringLiteral("cat \"$0\" > /dev/null"), path });
    const qint64 catNs = timer.nsecsElapsed();
    std::printf("cat file > /dev/null: %8.1f MiB/s (%.3f s)\n", mibPerSecond(fileSize, catNs),
        double(catNs) / 1e9);

    OneFile library(path);
    TCPServer server({ &library }, nullptr, 0);
    if (!server.listen(QHostAddress::LocalHost))
        return 1;
    const QByteArray request
        = "GET /VIDEO/" + QFileInfo(path).fileName().toLatin1() + "| 0 0 |\r\n\r\n";

    for (const bool sendfile : { false, true }) {
        server.setSendfileEnabled(sendfile);
        std::printf("%s:\n", sendfile ? "with sendfile (Linux)" : "through the socket's buffer");
        const long rssBefore = currentRssKiB();
        long rssPeakDuring = rssBefore;
        qint64 maxQueued = 0;
        for (int round = 1; round <= 3; ++round) {
            QEventLoop loop;
            std::atomic<qint64> received { 0 };
            std::atomic<bool> done { false };
            timer.restart();
            std::thread player([&] {
                received = fetch(server.serverPort(), request, fileSize);
                done = true;
                QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
            });
            while (server.connections().isEmpty() && !done)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            // Sample memory and the handler's queue as the answer drains.
            QMetaObject::Connection sampler;
            for (ConnectionHandler *h : server.connections()) {
                sampler = QObject::connect(h->socket(), &QIODevice::bytesWritten, &loop, [&, h] {
                    static int calls = 0;
                    maxQueued = qMax(maxQueued, h->queuedBytes());
                    if (++calls % 64 == 0)
                        rssPeakDuring = qMax(rssPeakDuring, currentRssKiB());
                });
            }
            if (!done)
                loop.exec();
            player.join();
            const qint64 ns = timer.nsecsElapsed();
            QObject::disconnect(sampler);
            std::printf("  GET round %d:       %8.1f MiB/s (%.3f s, %lld bytes)\n", round,
                mibPerSecond(received, ns), double(ns) / 1e9, qint64(received));
            if (received != fileSize)
                std::printf("  short answer!\n");
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        std::printf("  server memory: resident %ld KiB before, %ld KiB at most while streaming "
                    "(+%ld KiB); peak of the process %ld KiB; handler queue at most %lld KiB\n",
            rssBefore, rssPeakDuring, rssPeakDuring - rssBefore, peakRssKiB(), maxQueued / 1024);
    }
    if (args.size() <= 1)
        QFile::remove(path);
    return 0;
}
