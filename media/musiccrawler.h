#pragma once

#include "library/entryinfo.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>

class DirTreeInterface;

// Walks a library, live folders read from disk as at any request, in short slices on the event
// loop, and again a while after each pass: what files it has, and which came, changed (size or
// modification time) or went since the last pass. Needs no watch per folder, so a library of
// any size is followed.
class MusicCrawler final : public QObject
{
    Q_OBJECT

public:
    // library must outlive the crawler.
    explicit MusicCrawler(const DirTreeInterface &library, QObject *parent = nullptr);

    // How long one slice may run before the loop serves others (a few ms), and the pause
    // between the end of a pass and the next one.
    void setSliceTime(std::chrono::milliseconds time) { sliceTime = time; }
    void setInterval(std::chrono::milliseconds interval);

    // A pass now, then one every interval.
    void start();
    // Stops where it is; what is known stays, and the next start() resumes from a new pass.
    void stop();
    // A new pass at once, unless one is under way.
    void crawlNow();
    bool isCrawling() const { return crawling; }
    // The files seen by the passes so far.
    int fileCount() const { return int(known.size()); }
    // Their library paths, in no order.
    QStringList files() const { return known.keys(); }

signals:
    // path is the library path (names joined by "/"), diskPath the file to read.
    void found(const QString &path, const QString &diskPath);
    void changed(const QString &path, const QString &diskPath);
    void gone(const QString &path);
    void passFinished();

private:
    struct Seen
    {
        qint64 size = 0;
        qint64 modified = 0;
        quint32 pass = 0;
    };

    void slice();
    // False once the budget of this slice is spent.
    bool step();
    void visit(const EntryInfo &entry);

    const DirTreeInterface &library;
    std::chrono::milliseconds sliceTime { 4 };
    QTimer sliceTimer;
    QTimer passTimer;
    QElapsedTimer clock;

    QHash<QString, Seen> known;
    quint32 pass = 0;
    bool crawling = false;
    bool sweeping = false;
    // The folders still to read, the folder being gone through and its entries.
    QStringList folders;
    QString folder;
    QList<EntryInfo> entries;
    qsizetype next = 0;
    QHash<QString, Seen>::iterator sweep;
};
