#include "media/musiccrawler.h"

#include "library/dirtreeinterface.h"

#include <QDateTime>

MusicCrawler::MusicCrawler(const DirTreeInterface &library, QObject *parent)
    : QObject(parent)
    , library(library)
{
    sliceTimer.setSingleShot(true);
    sliceTimer.setInterval(0);
    connect(&sliceTimer, &QTimer::timeout, this, &MusicCrawler::slice);
    passTimer.setSingleShot(true);
    passTimer.setTimerType(Qt::VeryCoarseTimer);
    // A file added shows within a minute: the pause plus a pass.
    passTimer.setInterval(std::chrono::seconds(45));
    connect(&passTimer, &QTimer::timeout, this, &MusicCrawler::crawlNow);
}

void MusicCrawler::setInterval(std::chrono::milliseconds interval)
{
    passTimer.setInterval(interval);
}

void MusicCrawler::start()
{
    crawlNow();
}

void MusicCrawler::stop()
{
    crawling = false;
    sweeping = false;
    sliceTimer.stop();
    passTimer.stop();
    folders.clear();
    entries.clear();
}

void MusicCrawler::crawlNow()
{
    if (crawling)
        return;
    passTimer.stop();
    crawling = true;
    sweeping = false;
    ++pass;
    folders = QStringList { QString() };
    folder.clear();
    entries.clear();
    next = 0;
    sliceTimer.start();
}

void MusicCrawler::slice()
{
    clock.start();
    while (crawling && step()) { }
    if (crawling)
        sliceTimer.start();
}

bool MusicCrawler::step()
{
    if (clock.hasExpired(sliceTime.count()))
        return false;
    if (next < entries.size()) {
        visit(entries.at(next++));
        return true;
    }
    if (!folders.isEmpty()) {
        folder = folders.takeLast();
        entries = library.listEntries(folder, QLatin1Char('/'));
        next = 0;
        return true;
    }
    if (!sweeping) {
        entries.clear();
        sweeping = true;
        sweep = known.begin();
    }
    // What this pass did not see is gone, a few at a time like the rest.
    for (int i = 0; i < 256 && sweep != known.end(); ++i) {
        if (sweep->pass == pass) {
            ++sweep;
            continue;
        }
        const QString path = sweep.key();
        sweep = known.erase(sweep);
        emit gone(path);
        if (!crawling)
            return false;
    }
    if (sweep != known.end())
        return true;
    crawling = false;
    sweeping = false;
    passTimer.start();
    emit passFinished();
    return false;
}

void MusicCrawler::visit(const EntryInfo &entry)
{
    const QString path = folder.isEmpty() ? entry.name() : folder + QLatin1Char('/') + entry.name();
    if (entry.isDir()) {
        folders.append(path);
        return;
    }
    if (!entry.isUsable())
        return;
    const qint64 size = entry.size();
    const qint64 modified = entry.lastModified().toMSecsSinceEpoch();
    const auto found = known.find(path);
    if (found == known.end()) {
        known.insert(path, Seen { size, modified, pass });
        emit this->found(path, entry.filePath());
        return;
    }
    found->pass = pass;
    if (found->size == size && found->modified == modified)
        return;
    found->size = size;
    found->modified = modified;
    emit changed(path, entry.filePath());
}
