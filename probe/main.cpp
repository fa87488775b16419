// hearth-probe: reads what media files are, for hearth, in a process of its own so that a file
// that crashes or hangs FFmpeg takes only this worker down.
//
// Standard input: one request a line, "<id> <path as base64 of UTF-8>\n".
// Standard output: one compact JSON line an answer, in order:
//   {"id":7,"outcome":"read","details":{...}}   outcome: read, unreadable or gaveup
// The worker ends when its input ends.
//
//   hearth-probe [--time-limit MS] [--parent PID]

#include "probe/platform.h"
#include "probe/probefile.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Requests longer than this are skipped (no path is that long).
constexpr size_t maxRequest = 64 << 10;
// One allocation, and the whole process (where the platform can hold it to that; not under
// the sanitizers, which reserve terabytes of address space).
constexpr size_t maxAllocation = 512u << 20;
#ifndef HEARTH_PROBE_UNLIMITED_MEMORY
constexpr uint64_t maxMemory = 2ull << 30;
#endif

// The start of the file being read, in milliseconds of the steady clock; 0 between files.
std::atomic<int64_t> fileStarted { 0 };

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

// A file that keeps FFmpeg busy without reading (a decoder loop) ends the process, so a worker
// whose hearth is gone cannot spin forever; hearth itself gives up on it sooner.
void watchdog(int64_t limitMs)
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const int64_t started = fileStarted.load();
        if (started != 0 && nowMs() - started > 2 * limitMs)
            std::_Exit(3);
    }
}

// Reads one line into `line`; false at the end of input. A line too long is skipped whole.
bool readRequest(std::string &line)
{
    line.clear();
    bool tooLong = false;
    for (;;) {
        const int c = std::getchar();
        if (c == EOF)
            return false;
        if (c == '\n')
            break;
        if (line.size() < maxRequest)
            line.push_back(static_cast<char>(c));
        else
            tooLong = true;
    }
    if (tooLong)
        line.clear();
    return true;
}

// Test seam: HEARTH_PROBE_TEST_CRASH or HEARTH_PROBE_TEST_HANG names a file the worker dies or
// hangs on, so hearth's handling of both can be tested with any file.
void actOutTestSeams(const std::string &path)
{
    const size_t slash = path.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const char *crash = std::getenv("HEARTH_PROBE_TEST_CRASH");
    if (crash && *crash && name == crash)
        std::abort();
    const char *hang = std::getenv("HEARTH_PROBE_TEST_HANG");
    if (hang && *hang && name == hang) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

const char *outcomeWord(ProbeResult::Outcome outcome)
{
    switch (outcome) {
    case ProbeResult::Outcome::Read:
        return "read";
    case ProbeResult::Outcome::GaveUp:
        return "gaveup";
    case ProbeResult::Outcome::Unreadable:
        break;
    }
    return "unreadable";
}

} // namespace

int main(int argc, char **argv)
{
    int64_t limitMs = 10000;
    long long parent = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--time-limit") == 0)
            limitMs = std::max(100L, std::strtol(argv[++i], nullptr, 10));
        else if (std::strcmp(argv[i], "--parent") == 0)
            parent = std::strtoll(argv[++i], nullptr, 10);
    }
    becomeBackgroundWorker(parent);
    // Nothing but answers on standard output, nothing from FFmpeg on standard error.
    av_log_set_level(AV_LOG_QUIET);
    av_max_alloc(maxAllocation);
#ifndef HEARTH_PROBE_UNLIMITED_MEMORY
    limitMemory(maxMemory);
#endif
    std::thread(watchdog, limitMs).detach();

    // FFmpeg gives up a little before hearth would, so a slow file is answered, not killed.
    const auto ownLimit = std::chrono::milliseconds(limitMs * 8 / 10);
    std::string line;
    while (readRequest(line)) {
        const size_t space = line.find(' ');
        if (space == std::string::npos || space == 0)
            continue;
        char *end = nullptr;
        const long long id = std::strtoll(line.c_str(), &end, 10);
        if (end != line.c_str() + space)
            continue;
        const QByteArray encoded
            = QByteArray::fromRawData(line.data() + space + 1, int(line.size() - space - 1));
        const QByteArray path = QByteArray::fromBase64(encoded);

        fileStarted = nowMs();
        actOutTestSeams(path.toStdString());
        const ProbeResult result = probeFile(path.toStdString(), Clock::now() + ownLimit);
        fileStarted = 0;

        QJsonObject answer;
        answer.insert(QLatin1String("id"), static_cast<double>(id));
        answer.insert(QLatin1String("outcome"), QLatin1String(outcomeWord(result.outcome)));
        if (result.outcome == ProbeResult::Outcome::Read)
            answer.insert(QLatin1String("details"), result.details.toJson());
        QByteArray out = QJsonDocument(answer).toJson(QJsonDocument::Compact);
        out.append('\n');
        if (std::fwrite(out.constData(), 1, size_t(out.size()), stdout) != size_t(out.size())
            || std::fflush(stdout) != 0) {
            return 0;
        }
    }
    return 0;
}
