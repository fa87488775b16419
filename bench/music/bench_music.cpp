// Times what a large audio library costs the DLNA door: Windows Media Player's whole-library
// search (every audio item that is no reference, 200 at a time), sorting by title, and the
// music views (building them, their first pages, the memory they hold).

#include "library/treewidget.h"
#include "library/userprompts.h"
#include "media/musiccrawler.h"
#include "media/musicindex.h"
#include "upnp/searchcriteria.h"

#include <QApplication>
#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <vector>

#include <time.h>

namespace {

// A track as Search sees it; one in ten is a video, as in a mixed library.
struct Item final : public SearchObject
{
    QString upnpClass;
    QString title;
    QString artist;
    QStringList values(const QString &property) const override
    {
        if (property == QLatin1String("upnp:class"))
            return { upnpClass };
        if (property == QLatin1String("dc:title"))
            return { title };
        if (property == QLatin1String("upnp:artist"))
            return { artist };
        return {};
    }
};

MediaDetails detailsOf(int i)
{
    // 12 tracks an album, 2 albums an artist, 40 genres; some untagged.
    MediaDetails details;
    const int album = i / 12;
    if (i % 50 != 0) {
        details.title = QStringLiteral("Track title %1").arg(i);
        details.artist = QStringLiteral("Artist %1").arg(album / 2);
        details.album = QStringLiteral("Album %1").arg(album);
        details.genre = QStringLiteral("Genre %1").arg(album % 40);
        details.track = i % 12 + 1;
    }
    return details;
}

QString keyOf(int i)
{
    return QStringLiteral("Music/Artist %1/Album %2/%3 Track title %4.flac")
        .arg(i / 24)
        .arg(i / 12)
        .arg(i % 12 + 1, 2, 10, QLatin1Char('0'))
        .arg(i);
}

qint64 heapBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Processor time of this process: on a shared machine it moves less with the load than the
// wall clock does.
class CpuTimer
{
public:
    void start() { begin = now(); }
    void restart() { begin = now(); }
    double milliseconds() const { return (now() - begin) * 1e3; }

private:
    static double now()
    {
        timespec t {};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    }
    double begin = 0;
};

double milliseconds(const CpuTimer &timer)
{
    return timer.milliseconds();
}

// Answers nothing: the view never asks here.
class NoPrompts final : public UserPrompts
{
public:
    QMessageBox::StandardButton message(QMessageBox::Icon, QWidget *, const QString &,
        const QString &, QMessageBox::StandardButtons) override
    {
        return QMessageBox::NoButton;
    }
    QString getText(QWidget *, const QString &, const QString &, bool *ok) override
    {
        *ok = false;
        return {};
    }
    QStringList getOpenFileNames(
        QWidget *, const QString &, const QString &, const QString &) override
    {
        return {};
    }
    QString getExistingDirectory(QWidget *, const QString &, const QString &) override
    {
        return {};
    }
};

struct CrawlResult
{
    double seconds = 0;
    double cpuMs = 0;
    double longestWaitMs = 0;
    int found = 0;
};

// One pass over a live folder of files, timed on the wall clock, and the longest time another
// event (a player's request) waited for the loop meanwhile.
CrawlResult crawlOnce(const QString &folder)
{
    NoPrompts prompts;
    TreeWidget view(QStringLiteral("Audio"), 2, QStringLiteral("*.flac"), QDomDocument(), prompts);
    view.addPath(folder, nullptr);
    MusicCrawler crawler(view);
    CrawlResult result;
    QObject::connect(&crawler, &MusicCrawler::found, [&result] { ++result.found; });
    QEventLoop loop;
    QObject::connect(&crawler, &MusicCrawler::passFinished, &loop, &QEventLoop::quit);
    QTimer probe;
    probe.setInterval(0);
    QElapsedTimer turn;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        result.longestWaitMs = std::max(result.longestWaitMs, double(turn.nsecsElapsed()) / 1e6);
        turn.restart();
    });
    QElapsedTimer clock;
    CpuTimer cpu;
    clock.start();
    cpu.start();
    turn.start();
    probe.start();
    crawler.start();
    loop.exec();
    result.seconds = double(clock.nsecsElapsed()) / 1e9;
    result.cpuMs = cpu.milliseconds();
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int count = 100000;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray option = argv[i];
        if (option == "--tracks")
            count = std::max(1, atoi(argv[i + 1]));
        else if (option == "--runs")
            runs = std::max(1, atoi(argv[i + 1]));
    }

    std::vector<Item> items(std::size_t(count), Item {});
    for (int i = 0; i < count; ++i) {
        Item &item = items[std::size_t(i)];
        item.upnpClass = i % 10 == 0 ? QStringLiteral("object.item.videoItem.movie")
                                     : QStringLiteral("object.item.audioItem.musicTrack");
        item.title = QStringLiteral("Track title %1").arg(i);
        item.artist = QStringLiteral("Artist %1").arg(i / 24);
    }

    const QString wmp = QStringLiteral(
        "upnp:class derivedfrom \"object.item.audioItem\" and @refID exists false");
    std::vector<double> scan, page, sort, build, artists, allTracks;
    int matched = 0;
    qint64 indexBytes = 0;
    bool ok = true;
    for (int run = 0; run < runs; ++run) {
        // The whole library, and the last page of 200 as WMP asks for it (the scan stops
        // once that page is full).
        CpuTimer timer;
        timer.start();
        const SearchCriteria criteria = SearchCriteria::parse(wmp);
        matched = 0;
        for (const Item &item : items)
            matched += criteria.matches(item) ? 1 : 0;
        scan.push_back(milliseconds(timer));
        ok = ok && matched == count - (count + 9) / 10;

        timer.restart();
        const int start = std::max(0, matched - 200);
        std::vector<const SearchObject *> hits;
        int seen = 0;
        for (const Item &item : items) {
            if (!criteria.matches(item))
                continue;
            if (seen++ >= start)
                hits.push_back(&item);
            if (int(hits.size()) == 200)
                break;
        }
        page.push_back(milliseconds(timer));

        std::vector<const SearchObject *> all;
        for (const Item &item : items)
            all.push_back(&item);
        timer.restart();
        SortCriteria::parse(QStringLiteral("+dc:title"), { QStringLiteral("dc:title") }).sort(all);
        sort.push_back(milliseconds(timer));

        // The keys and tags as the crawler and the cache would hold them already.
        std::vector<std::pair<QString, MediaDetails>> tracks;
        for (int i = 0; i < count; ++i)
            tracks.emplace_back(keyOf(i), detailsOf(i));
        const qint64 before = heapBytes();
        timer.restart();
        {
            MusicIndex index;
            for (const auto &[key, details] : tracks)
                index.insert(key, details);
            build.push_back(milliseconds(timer));
            indexBytes = heapBytes() - before;

            MusicContainer container;
            int total = 0;
            MusicContainer::fromPath("artists", &container);
            timer.restart();
            ok = ok && index.children(container, 0, 50, &total).size() == 50;
            artists.push_back(milliseconds(timer));
            MusicContainer::fromPath("tracks", &container);
            timer.restart();
            ok = ok && index.children(container, 0, 50, &total).size() == 50 && total == count;
            allTracks.push_back(milliseconds(timer));
        }
    }

    // The crawler's first pass over as many files, 100 to a folder.
    QTemporaryDir temp;
    const QString music = temp.filePath(QStringLiteral("Music"));
    for (int i = 0; i < count; ++i) {
        const QString folder = music + QStringLiteral("/Folder %1").arg(i / 100);
        if (i % 100 == 0)
            QDir().mkpath(folder);
        QFile file(folder + QStringLiteral("/%1.flac").arg(i));
        if (!file.open(QIODevice::WriteOnly))
            return 1;
    }
    std::vector<double> crawl, crawlCpu, wait;
    for (int run = 0; run < runs; ++run) {
        const CrawlResult result = crawlOnce(music);
        ok = ok && result.found == count;
        crawl.push_back(result.seconds * 1e3);
        crawlCpu.push_back(result.cpuMs);
        wait.push_back(result.longestWaitMs);
    }

    std::printf("%-58s %10s\n", "music, objects/tracks", "median ms");
    std::printf(
        "%-58s %10.1f\n", "WMP search, whole library (parse, test every object)", median(scan));
    std::printf("%-58s %10.1f\n", "WMP search, last page of 200", median(page));
    std::printf("%-58s %10.1f\n", "SortCriteria +dc:title, all objects", median(sort));
    std::printf("%-58s %10.1f\n", "MusicIndex: insert every track", median(build));
    std::printf(
        "%-58s %10.1f\n", "MusicIndex: first 50 artists (sorts the artists)", median(artists));
    std::printf(
        "%-58s %10.1f\n", "MusicIndex: first 50 of all tracks (sorts by title)", median(allTracks));
    std::printf("%-58s %10.1f\n", "MusicCrawler: first pass, processor", median(crawlCpu));
    std::printf("%-58s %10.1f\n", "MusicCrawler: first pass, wall clock", median(crawl));
    std::printf(
        "%-58s %10.1f\n", "MusicCrawler: longest wait of another event, wall clock", median(wait));
    std::printf("%d objects, %d matched; MusicIndex holds %.1f MiB of heap, keys and titles shared "
                "with their holders%s\n",
        count, matched, double(indexBytes) / (1024.0 * 1024.0), ok ? "" : "  WRONG RESULT");
    return ok ? 0 : 1;
}
