// What a request held for the rest of its bytes costs the server per byte that dribbles in:
// one connection holds a LIST cut short (12 bytes, then 60 KB), then sends 2,000 more bytes
// one at a time. Prints the server thread's processor time per dribbled byte. Run by hand:
//   bench_net_held

#include "net/connectionhandler.h"
#include "net/tcpserver.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace {

double threadCpuUs()
{
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

qint64 received(const TCPServer &server)
{
    qint64 sum = 0;
    for (const ConnectionHandler *h : server.connections())
        sum += h->bytesReceived();
    return sum;
}

// Runs the event loop until ready() holds, looking every millisecond.
template<typename Ready>
void runUntil(Ready ready)
{
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (ready())
            loop.quit();
    });
    look.start(1);
    loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TCPServer server({}, nullptr, 0);
    if (!server.listen(QHostAddress::LocalHost))
        return 1;
    const int port = server.serverPort();
    constexpr int dribbled = 2000;

    for (const int held : { 12, 60000 }) {
        std::atomic<bool> connected { false }, go { false }, done { false };
        std::thread client([&] {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_port = htons(uint16_t(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            const std::string start = "LIST VIDEO |" + std::string(size_t(held - 12), 'a');
            ::send(fd, start.data(), start.size(), 0);
            connected = true;
            while (!go)
                ::usleep(1000);
            for (int i = 0; i < dribbled; ++i) {
                ::send(fd, "a", 1, 0);
                ::usleep(200); // each byte its own segment, well inside the 100 ms wait
            }
            done = true;
            while (done)
                ::usleep(1000);
            ::close(fd);
        });
        runUntil([&] { return connected && received(server) >= held; });
        go = true;
        const double before = threadCpuUs();
        runUntil([&] { return done && received(server) >= held + dribbled; });
        const double spent = threadCpuUs() - before;
        std::printf("held %5d bytes: %.1f us of the server's processor per dribbled byte\n", held,
            spent / dribbled);
        done = false;
        client.join();
        runUntil([&] { return server.connections().isEmpty(); });
    }
    return 0;
}
