// The measuring side of bench/run: a player of Hearth's protocol and a minimal HTTP/1.1
// client, both reading answers through the same 64 KiB buffer, plus the timing of reference
// commands. Plain POSIX, loopback only. Every command prints one result line of
// "key=value" words for the driver; "error=..." when something went wrong.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr size_t bufferSize = 64 * 1024;

double nowMs()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

[[noreturn]] void fail(const std::string &what)
{
    std::printf("error=%s\n", what.c_str());
    std::exit(1);
}

// One connection to 127.0.0.1 with a read buffer that keeps what arrived beyond the current
// answer for the next one, so neither side can lose or gain bytes between answers.
class Connection
{
public:
    explicit Connection(int port)
        : buffer(bufferSize)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            fail("connect to port " + std::to_string(port) + ": " + std::strerror(errno));
        // Both servers set it on their side; requests are single small writes either way.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Connection() { ::close(fd); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    void send(const std::string &text)
    {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                fail("send");
            done += size_t(n);
        }
    }

    // Bytes waiting in the buffer; reads once from the socket when there are none.
    // False at the end of the connection.
    bool fill()
    {
        if (begin == end)
            begin = end = 0;
        if (begin != end)
            return true;
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            return false;
        end = size_t(n);
        return true;
    }

    size_t available() const { return end - begin; }
    const char *data() const { return buffer.data() + begin; }
    void consume(size_t n) { begin += n; }

    // Reads until `marker` is in the buffer (it must fit in it); returns the text up to and
    // including it, consumed. Used for HTTP headers only.
    std::string readThrough(const char *marker)
    {
        const size_t length = std::strlen(marker);
        for (;;) {
            const char *at = static_cast<const char *>(memmem(data(), available(), marker, length));
            if (at) {
                const size_t n = size_t(at - data()) + length;
                std::string text(data(), n);
                consume(n);
                return text;
            }
            // Keep what we have and read more behind it.
            if (begin > 0) {
                std::memmove(buffer.data(), data(), available());
                end -= begin;
                begin = 0;
            }
            if (end == buffer.size())
                fail("header larger than the buffer");
            const ssize_t n = ::recv(fd, buffer.data() + end, buffer.size() - end, 0);
            if (n <= 0)
                fail("connection ended inside a header");
            end += size_t(n);
        }
    }

    // Reads exactly `count` bytes; `sink` sees each piece (may be null).
    template<typename Sink> bool readBody(uint64_t count, Sink sink)
    {
        while (count > 0) {
            if (!fill())
                return false;
            const size_t n = size_t(std::min<uint64_t>(count, available()));
            sink(data(), n);
            consume(n);
            count -= n;
        }
        return true;
    }

private:
    int fd = -1;
    std::vector<char> buffer;
    size_t begin = 0;
    size_t end = 0;
};

void ignoreBytes(const char *, size_t) { }

// The file both servers serve, for checking range answers byte for byte.
class MappedFile
{
public:
    explicit MappedFile(const char *path)
    {
        const int fd = ::open(path, O_RDONLY);
        struct stat info = {};
        if (fd < 0 || ::fstat(fd, &info) != 0)
            fail(std::string("open ") + path);
        size = uint64_t(info.st_size);
        bytes = static_cast<const char *>(::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0));
        ::close(fd);
        if (bytes == MAP_FAILED)
            fail("mmap");
    }
    const char *bytes = nullptr;
    uint64_t size = 0;
};

// --- HTTP ------------------------------------------------------------------------------------

std::string httpRequest(const std::string &url, int64_t first, int64_t last)
{
    std::string request = "GET " + url + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (first >= 0)
        request += "Range: bytes=" + std::to_string(first) + '-' + std::to_string(last) + "\r\n";
    return request + "\r\n";
}

// Reads the header of one response; returns its Content-Length, fails on a status other
// than `status`. `closes` learns whether the server ends the connection after it.
uint64_t readHttpHeader(Connection &c, int status, bool *closes = nullptr)
{
    const std::string header = c.readThrough("\r\n\r\n");
    if (header.compare(0, 9, "HTTP/1.1 ") != 0 || std::atoi(header.c_str() + 9) != status)
        fail("unexpected HTTP status: " + header.substr(0, header.find('\r')));
    std::string lower = header;
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](unsigned char ch) { return char(std::tolower(ch)); });
    if (closes) {
        *closes = lower.find("\r\nconnection: close") != std::string::npos
            || lower.compare(0, 9, "http/1.0 ") == 0;
    }
    const size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos)
        fail("no Content-Length");
    return std::strtoull(header.c_str() + at + 17, nullptr, 10);
}

// --- Hearth's protocol -----------------------------------------------------------------------

// What a request's answer is: LIST ends with "EOL\n", SIZE is 15 bytes, ACTION 3, GET the
// length it asks for.
struct Answer
{
    uint64_t bytes = 0;
    uint64_t lines = 0;
    std::string text; // the answer itself, kept only when it is short
};

uint64_t getLength(const std::string &request)
{
    // GET path| offset length |
    const size_t bar = request.find('|');
    if (bar == std::string::npos)
        fail("GET without a bar");
    unsigned long long offset = 0, length = 0;
    if (std::sscanf(request.c_str() + bar + 1, " %llu %llu", &offset, &length) != 2)
        fail("GET without offset and length");
    return length;
}

Answer readHearthAnswer(Connection &c, const std::string &request)
{
    Answer answer;
    if (request.compare(0, 4, "LIST") == 0) {
        // The answer ends at a line "EOL" (the names made here hold no line end).
        char tail[4] = { 0, 0, 0, '\n' }; // the answer starts a line
        for (;;) {
            if (!c.fill())
                fail("connection ended inside a listing");
            const char *p = c.data();
            const size_t n = c.available();
            for (size_t i = 0; i < n; ++i) {
                const bool endsList = p[i] == '\n' && tail[0] == '\n' && tail[1] == 'E'
                    && tail[2] == 'O' && tail[3] == 'L';
                std::memmove(tail, tail + 1, 3);
                tail[3] = p[i];
                if (p[i] == '\n')
                    ++answer.lines;
                if (endsList) {
                    c.consume(i + 1);
                    answer.bytes += i + 1;
                    return answer;
                }
            }
            c.consume(n);
            answer.bytes += n;
        }
    }
    uint64_t expected = 0;
    if (request.compare(0, 4, "SIZE") == 0)
        expected = 15;
    else if (request.compare(0, 6, "ACTION") == 0)
        expected = 3;
    else if (request.compare(0, 3, "GET") == 0)
        expected = getLength(request);
    else
        fail("unknown request: " + request);
    const bool keep = expected <= 64;
    if (!c.readBody(expected, [&](const char *p, size_t n) {
            if (keep)
                answer.text.append(p, n);
        }))
        fail("connection ended inside an answer");
    answer.bytes = expected;
    return answer;
}

std::string framed(const std::string &request)
{
    // ACTION is ended by its bar; the other requests by an empty line.
    return request.compare(0, 6, "ACTION") == 0 ? request : request + "\r\n\r\n";
}

// --- commands --------------------------------------------------------------------------------

// get hearth|http PORT PATH BYTES: one whole-file GET on a fresh connection.
int commandGet(const std::string &side, int port, const std::string &path, uint64_t bytes)
{
    const double start = nowMs();
    Connection c(port);
    uint64_t length = bytes;
    if (side == "http") {
        c.send(httpRequest(path, -1, -1));
        length = readHttpHeader(c, 200);
        if (length != bytes)
            fail("Content-Length " + std::to_string(length));
    } else {
        c.send(framed("GET " + path + "| 0 0 |"));
    }
    if (!c.readBody(length, ignoreBytes))
        fail("short answer");
    const double ms = nowMs() - start;
    std::printf("ms=%.3f bytes=%llu mbps=%.1f\n", ms, (unsigned long long)length,
        double(length) / 1e6 / (ms / 1e3));
    return 0;
}

// ranges hearth|http PORT PATH COUNT LENGTH FILE: COUNT ranges of LENGTH bytes, one at a
// time on one connection, at the same pseudo-random offsets for both sides; every answer is
// compared with FILE.
int commandRanges(const std::string &side, int port, const std::string &path, int count,
    uint64_t length, const char *file)
{
    const MappedFile reference(file);
    if (reference.size < length)
        fail("file smaller than one range");
    std::vector<uint64_t> offsets;
    uint64_t state = 0x9e3779b97f4a7c15ULL;
    for (int i = 0; i < count; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        offsets.push_back((state >> 17) % ((reference.size - length) / 4096 + 1) * 4096);
    }
    std::vector<char> answer(length);
    uint64_t mismatches = 0;
    uint64_t reconnects = 0;
    auto connection = std::make_unique<Connection>(port);
    const double start = nowMs();
    for (const uint64_t offset : offsets) {
        Connection &c = *connection;
        uint64_t got = length;
        bool closes = false;
        if (side == "http") {
            c.send(httpRequest(path, int64_t(offset), int64_t(offset + length - 1)));
            got = readHttpHeader(c, 206, &closes);
            if (got != length)
                fail("Content-Length " + std::to_string(got));
        } else {
            c.send(framed("GET " + path + "| " + std::to_string(offset) + ' '
                + std::to_string(length) + " |"));
        }
        size_t at = 0;
        if (!c.readBody(got, [&](const char *p, size_t n) {
                std::memcpy(answer.data() + at, p, n);
                at += n;
            }))
            fail("short answer");
        if (std::memcmp(answer.data(), reference.bytes + offset, length) != 0)
            ++mismatches;
        // A server without keep-alive is asked again on a new connection (counted).
        if (closes) {
            connection = std::make_unique<Connection>(port);
            ++reconnects;
        }
    }
    const double ms = nowMs() - start;
    std::printf("ms=%.3f requests=%d rps=%.1f mismatches=%llu reconnects=%llu\n", ms, count,
        count / (ms / 1e3), (unsigned long long)mismatches, (unsigned long long)reconnects);
    return mismatches == 0 ? 0 : 1;
}

// ask PORT REQUEST...: the requests one at a time on one connection, a line for each.
int commandAsk(int port, int argc, char **argv)
{
    Connection c(port);
    for (int i = 0; i < argc; ++i) {
        const std::string request = argv[i];
        const double start = nowMs();
        c.send(framed(request));
        const Answer answer = readHearthAnswer(c, request);
        const double ms = nowMs() - start;
        std::string text = answer.text;
        std::replace_if(
            text.begin(), text.end(), [](char ch) { return ch < 33 || ch > 126; }, '.');
        std::printf("ms=%.3f bytes=%llu lines=%llu answer=%s\n", ms,
            (unsigned long long)answer.bytes, (unsigned long long)answer.lines,
            text.empty() ? "-" : text.c_str());
    }
    return 0;
}

// fetch PORT PATH OUT: SIZE, then GET of that many bytes, written to OUT.
int commandFetch(int port, const std::string &path, const char *out)
{
    Connection c(port);
    c.send(framed("SIZE " + path + "|"));
    const uint64_t size = std::strtoull(readHearthAnswer(c, "SIZE").text.c_str(), nullptr, 10);
    if (size == 0)
        fail("SIZE answered 0");
    const std::string get = "GET " + path + "| 0 " + std::to_string(size) + " |";
    c.send(framed(get));
    FILE *file = std::fopen(out, "wb");
    if (!file)
        fail(std::string("cannot write ") + out);
    const bool whole
        = c.readBody(size, [&](const char *p, size_t n) { std::fwrite(p, 1, n, file); });
    if (std::fclose(file) != 0 || !whole)
        fail("short answer");
    std::printf("bytes=%llu\n", (unsigned long long)size);
    return 0;
}

struct Latencies
{
    std::vector<double> ms;
    std::string summary() const
    {
        if (ms.empty())
            return "samples=0";
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        const auto at = [&](double q) {
            return sorted[std::min(sorted.size() - 1, size_t(q * double(sorted.size())))];
        };
        char text[160];
        std::snprintf(text, sizeof text, "samples=%zu p50=%.3f p99=%.3f max=%.3f", sorted.size(),
            at(0.5), at(0.99), sorted.back());
        return text;
    }
};

double listOnce(Connection &c, const std::string &list)
{
    const double start = nowMs();
    c.send(framed(list));
    readHearthAnswer(c, list);
    return nowMs() - start;
}

// while-converting PORT LIST SIZEPATH: LIST, one at a time with 1 ms pauses, on one
// connection while another connection's SIZE of SIZEPATH converts a picture.
int commandWhileConverting(int port, const std::string &list, const std::string &sizePath)
{
    Connection lister(port);
    listOnce(lister, list); // a listing that is already warm
    std::atomic<bool> done { false };
    double convertMs = 0;
    std::string sizeAnswer;
    std::thread converter([&] {
        Connection c(port);
        const double start = nowMs();
        c.send(framed("SIZE " + sizePath + "|"));
        sizeAnswer = readHearthAnswer(c, "SIZE").text;
        convertMs = nowMs() - start;
        done = true;
    });
    Latencies latencies;
    const double deadline = nowMs() + 60000;
    while (!done && latencies.ms.size() < 100000 && nowMs() < deadline) {
        latencies.ms.push_back(listOnce(lister, list));
        ::usleep(1000);
    }
    converter.join();
    std::printf(
        "convert_ms=%.3f size=%s %s\n", convertMs, sizeAnswer.c_str(), latencies.summary().c_str());
    return 0;
}

// while-streaming PORT LIST STREAMS PATH BYTES SAMPLES [NICE]: STREAMS players (at nice NICE,
// default 10) each GET the whole file of BYTES over and over as fast as they read, while
// SAMPLES listings are timed 5 ms apart on another player's connection (one that has read a
// range of the file first).
int commandWhileStreaming(int port, const std::string &list, int streams, const std::string &path,
    uint64_t bytes, int samples, int niceness)
{
    std::atomic<bool> stop { false };
    std::atomic<uint64_t> streamed { 0 };
    std::vector<std::thread> players;
    for (int i = 0; i < streams; ++i) {
        players.emplace_back([&] {
            // Players are a load here, not the thing measured: at a lower priority the
            // measuring thread's own wake-ups stay prompt on a small machine.
            ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), niceness);
            while (!stop) {
                Connection c(port);
                c.send(framed("GET " + path + "| 0 0 |"));
                uint64_t left = bytes;
                while (left > 0 && !stop && c.fill()) {
                    const size_t n = size_t(std::min<uint64_t>(left, c.available()));
                    c.consume(n);
                    left -= n;
                    streamed += n;
                }
            }
        });
    }
    Connection lister(port);
    const std::string range = "GET " + path + "| 0 65536 |";
    lister.send(framed(range));
    readHearthAnswer(lister, range);
    ::usleep(300 * 1000); // every player is under way
    const uint64_t before = streamed;
    const double start = nowMs();
    Latencies latencies;
    for (int i = 0; i < samples; ++i) {
        latencies.ms.push_back(listOnce(lister, list));
        ::usleep(5000);
    }
    const double seconds = (nowMs() - start) / 1e3;
    const uint64_t during = streamed - before;
    stop = true;
    for (std::thread &t : players)
        t.join();
    std::printf(
        "%s stream_mbps=%.1f\n", latencies.summary().c_str(), double(during) / 1e6 / seconds);
    return 0;
}

// spawn COMMAND ARG...: runs the command with its output read through the same buffer as
// the answers above; wall time from start to exit and its peak resident memory.
int commandSpawn(char **argv)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    const double start = nowMs();
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0)
        fail(std::string("cannot start ") + argv[0]);
    std::vector<char> buffer(bufferSize);
    uint64_t bytes = 0, lines = 0;
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer.data(), buffer.size());
        if (n <= 0)
            break;
        bytes += uint64_t(n);
        lines += uint64_t(std::count(buffer.data(), buffer.data() + n, '\n'));
    }
    ::close(pipeFds[0]);
    int status = 0;
    rusage usage {};
    if (::wait4(pid, &status, 0, &usage) != pid)
        fail("wait4");
    const double ms = nowMs() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(std::string(argv[0]) + " failed");
    std::printf("ms=%.3f bytes=%llu lines=%llu maxrss_kib=%ld\n", ms, (unsigned long long)bytes,
        (unsigned long long)lines, usage.ru_maxrss);
    return 0;
}

// stat PATH: the median time of one stat() of PATH.
int commandStat(const char *path)
{
    std::vector<double> times;
    for (int i = 0; i < 101; ++i) {
        struct stat info = {};
        const double start = nowMs();
        if (::stat(path, &info) != 0)
            fail("stat");
        times.push_back(nowMs() - start);
    }
    std::sort(times.begin(), times.end());
    std::printf("ms=%.6f\n", times[times.size() / 2]);
    return 0;
}

int usage()
{
    std::fprintf(stderr,
        "usage: bench_client get hearth|http PORT PATH BYTES\n"
        "       bench_client ranges hearth|http PORT PATH COUNT LENGTH FILE\n"
        "       bench_client ask PORT REQUEST...\n"
        "       bench_client fetch PORT PATH OUT\n"
        "       bench_client while-converting PORT LIST SIZEPATH\n"
        "       bench_client while-streaming PORT LIST STREAMS PATH BYTES SAMPLES [NICE]\n"
        "       bench_client spawn COMMAND ARG...\n"
        "       bench_client stat PATH\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 3)
        return usage();
    const std::string command = argv[1];
    if (command == "get" && argc == 6)
        return commandGet(
            argv[2], std::atoi(argv[3]), argv[4], std::strtoull(argv[5], nullptr, 10));
    if (command == "ranges" && argc == 8)
        return commandRanges(argv[2], std::atoi(argv[3]), argv[4], std::atoi(argv[5]),
            std::strtoull(argv[6], nullptr, 10), argv[7]);
    if (command == "ask" && argc >= 4)
        return commandAsk(std::atoi(argv[2]), argc - 3, argv + 3);
    if (command == "fetch" && argc == 5)
        return commandFetch(std::atoi(argv[2]), argv[3], argv[4]);
    if (command == "while-converting" && argc == 5)
        return commandWhileConverting(std::atoi(argv[2]), argv[3], argv[4]);
    if (command == "while-streaming" && (argc == 8 || argc == 9))
        return commandWhileStreaming(std::atoi(argv[2]), argv[3], std::atoi(argv[4]), argv[5],
            std::strtoull(argv[6], nullptr, 10), std::atoi(argv[7]),
            argc == 9 ? std::atoi(argv[8]) : 10);
    if (command == "spawn")
        return commandSpawn(argv + 2);
    if (command == "stat" && argc == 3)
        return commandStat(argv[2]);
    return usage();
}
