// Converts one large JPEG the way the server does and prints wall time and peak resident
// memory, each measured over separate processes, beside reference tools where installed
// (djpeg from libjpeg-turbo-progs, ImageMagick's convert).

#include "picture/pictureconverter.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char **environ;

namespace {

struct Measure
{
    double medianMs = 0;
    double bestMs = 0;
    long peakRssKiB = 0;
    bool ok = false;
};

double nowMs()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Runs the command `runs` times, each in a fresh process; peak memory is the largest seen.
Measure measure(const std::vector<std::string> &command, int runs)
{
    Measure m;
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        std::vector<char *> argv;
        for (const std::string &arg : command)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const double start = nowMs();
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0)
            return m;
        int status = 0;
        rusage usage {};
        if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return m;
        times.push_back(nowMs() - start);
        m.peakRssKiB = std::max(m.peakRssKiB, usage.ru_maxrss);
    }
    std::sort(times.begin(), times.end());
    m.medianMs = times[times.size() / 2];
    m.bestMs = times.front();
    m.ok = true;
    return m;
}

// Smooth colour fields with grain, so the encoder meets something like a photo.
bool makePhoto(const QString &path, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    QRandomGenerator random(20240601);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const double fx = double(x) / size.width();
            const double fy = double(y) / size.height();
            const int grain = int(random.bounded(24)) - 12;
            const int r = int(128 + 100 * std::sin(fx * 9.0 + fy * 3.0)) + grain;
            const int g = int(128 + 100 * std::sin(fy * 7.0 - fx * 2.0)) + grain;
            const int b = int(128 + 100 * std::cos((fx + fy) * 5.0)) + grain;
            line[x] = qRgb(std::clamp(r, 0, 255), std::clamp(g, 0, 255), std::clamp(b, 0, 255));
        }
    }
    QImageWriter writer(path, QByteArrayLiteral("jpg"));
    writer.setQuality(92);
    return writer.write(image);
}

// One conversion with the default television format (PAL, 16:9, stretched, compressed).
int convertOnce(const QString &path, const QString &out, bool reducedDecode)
{
    const PictureFormat format;
    QByteArray jpeg;
    if (reducedDecode) {
        jpeg = convertPicture(path, format);
    } else {
        // The same steps without scaled decoding, to show what it saves.
        LoadedPicture loaded;
        QImageReader reader(path);
        reader.setAutoTransform(true);
        loaded.image = reader.read();
        loaded.size = loaded.image.size();
        const QImage prepared = preparePicture(loaded, format);
        QImageWriter writer(out, QByteArrayLiteral("jpg"));
        writer.setQuality(90);
        return !prepared.isNull() && writer.write(prepared) ? 0 : 1;
    }
    QFile file(out);
    return !jpeg.isEmpty() && file.open(QIODevice::WriteOnly) && file.write(jpeg) == jpeg.size()
        ? 0
        : 1;
}

void printRow(const char *name, const Measure &m)
{
    if (!m.ok) {
        std::printf("%-44s %12s\n", name, "failed (refused or error)");
        return;
    }
    std::printf("%-44s %9.1f ms %9.1f ms %9.1f MiB\n", name, m.medianMs, m.bestMs,
        double(m.peakRssKiB) / 1024.0);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4
        && (std::strcmp(argv[1], "--convert") == 0
            || std::strcmp(argv[1], "--convert-full") == 0)) {
        QCoreApplication app(argc, argv);
        return convertOnce(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
            std::strcmp(argv[1], "--convert") == 0);
    }

    if (argc == 4 && std::strcmp(argv[1], "--make") == 0) {
        QCoreApplication app(argc, argv);
        const QList<QByteArray> parts = QByteArray(argv[3]).split('x');
        if (parts.size() != 2)
            return 1;
        return makePhoto(QString::fromLocal8Bit(argv[2]), QSize(parts[0].toInt(), parts[1].toInt()))
            ? 0
            : 1;
    }

    // The measuring process stays small: a child started from it begins with its peak
    // memory, so the test photo is made in a process of its own.
    QCoreApplication app(argc, argv);
    QSize size(6000, 4000);
    int runs = 5;
    QString photo;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--size" && i + 1 < argc) {
            const QList<QByteArray> parts = QByteArray(argv[++i]).split('x');
            if (parts.size() == 2)
                size = QSize(parts[0].toInt(), parts[1].toInt());
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, QByteArray(argv[++i]).toInt());
        } else {
            photo = QString::fromLocal8Bit(arg);
        }
    }

    QTemporaryDir dir;
    const std::string self = QCoreApplication::applicationFilePath().toStdString();
    if (photo.isEmpty()) {
        photo = dir.filePath(QStringLiteral("photo.jpg"));
        std::printf("writing a %dx%d test photo...\n", size.width(), size.height());
        std::fflush(stdout);
        const std::string sizeText
            = std::to_string(size.width()) + 'x' + std::to_string(size.height());
        if (!measure({ self, "--make", photo.toStdString(), sizeText }, 1).ok) {
            std::fprintf(stderr, "could not write the test photo\n");
            return 1;
        }
    }
    const QSize stored = QImageReader(photo).size();
    rusage own {};
    getrusage(RUSAGE_SELF, &own);
    const std::string in = photo.toStdString();
    const std::string out = dir.filePath(QStringLiteral("out.jpg")).toStdString();

    std::printf("photo %s: %dx%d, %.1f MiB; %d runs each, one process per run\n", in.c_str(),
        stored.width(), stored.height(), double(QFileInfo(photo).size()) / 1048576.0, runs);
    std::printf("target: PAL 720x576, 16:9, stretched, colour range 16..235, JPEG quality 90\n");
    std::printf("(a peak RSS below %.1f MiB, this program's own, cannot be seen)\n\n",
        double(own.ru_maxrss) / 1024.0);
    std::printf("%-44s %12s %12s %13s\n", "", "median", "best", "peak RSS");

    printRow("hearth conversion (scaled decoding)", measure({ self, "--convert", in, out }, runs));
    printRow("hearth steps with a full decode", measure({ self, "--convert-full", in, out }, runs));
    const QSize fitted = PictureFormat().fittedSize(stored);
    const std::string fittedText
        = std::to_string(fitted.width()) + 'x' + std::to_string(fitted.height());
    const std::string decodeText
        = std::to_string(2 * fitted.width()) + 'x' + std::to_string(2 * fitted.height());
    if (QFileInfo::exists(QStringLiteral("/usr/bin/djpeg"))) {
        printRow("djpeg -scale 1/2 (decode only)",
            measure({ "/usr/bin/djpeg", "-scale", "1/2", "-outfile", "/dev/null", in }, runs));
        printRow("djpeg (full decode only)",
            measure({ "/usr/bin/djpeg", "-outfile", "/dev/null", in }, runs));
    }
    // /usr/local/bin may hold a stand-in; the packaged ImageMagick lives in /usr/bin.
    if (QFileInfo::exists(QStringLiteral("/usr/bin/convert"))) {
        printRow("convert -define jpeg:size -resize",
            measure({ "/usr/bin/convert", "-define", "jpeg:size=" + decodeText, in, "-resize",
                        fittedText + "!", "-quality", "90", out },
                runs));
        printRow("convert -resize (full decode)",
            measure({ "/usr/bin/convert", in, "-resize", fittedText + "!", "-quality", "90", out },
                runs));
    }

    // Without process start-up and plugin loading; memory is not measured here.
    std::vector<double> inProcess;
    for (int i = 0; i < runs; ++i) {
        const double start = nowMs();
        if (convertPicture(photo, PictureFormat()).isEmpty())
            break;
        inProcess.push_back(nowMs() - start);
    }
    if (!inProcess.empty()) {
        std::sort(inProcess.begin(), inProcess.end());
        std::printf("\n%-44s %9.1f ms %9.1f ms\n", "hearth conversion inside one process",
            inProcess[inProcess.size() / 2], inProcess.front());
    }
    std::printf("fitted %s, decoded at %dx%d\n", fittedText.c_str(),
        scaledDecodeSize(stored, fitted).width(), scaledDecodeSize(stored, fitted).height());
    return 0;
}
