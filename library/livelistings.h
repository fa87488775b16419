#pragma once

#include "library/dirtreeinterface.h"
#include "library/entryinfo.h"
#include "library/livedirectory.h"

#include <QCollator>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// Live folders as DLNA clients are shown them: subfolders, then files, each in the order people
// read names in. A listing is kept while its directory's stamp stays the same, so a client
// paging through a large folder does not have it read and sorted again for every page; a few
// folders at most, the one used longest ago given up first.
class LiveListings
{
public:
    struct Listing
    {
        // The live folder the listing lies below: entries are opened from it, never by path.
        QString root;
        QString prefix; // entry paths are prefix + name
        QStringList names;
        qsizetype folderCount = 0;
        // Read before this request: its names stand, but whether each entry can still be
        // read is for the caller to ask as it shows it.
        bool kept = false;
        // The folder, held open while the listing is in use.
        std::shared_ptr<const LiveDirectory::Directory> directory;

        qsizetype size() const { return names.size(); }
        EntryInfo entry(qsizetype index) const;
        // Files whose status last changed before this (ms since the epoch) are as they were
        // when the listing checked them.
        qint64 checkedBefore = 0;
        // Tells readings apart: a kept listing has the number of the reading it keeps.
        quint64 reading = 0;

        // Whether the entry at index can still be read (always so in a listing just read).
        bool isReadable(qsizetype index) const;
        // The size, modification and status change times (ms) of the file at index, asked of
        // the open folder; false when it is no regular file now or the platform cannot ask so.
        bool fileStatus(qsizetype index, qint64 *size, qint64 *modifiedMs, qint64 *changedMs) const;
        // Whether a file whose status changed then is as the listing checked it (its
        // permissions included).
        bool checked(qint64 changedMs) const { return changedMs < checkedBefore; }
    };

    // A listing read less than settleMs after its folder last changed is not kept: a change
    // within the same tick of the file system's clock (two seconds on FAT) would leave the
    // stamp as it is.
    explicit LiveListings(int maxFolders = 8, qsizetype maxNames = 200'000, qint64 settleMs = 2000);

    // The folder's entries: the listing kept of it while the directory is unchanged, else read
    // now. False when there is no such folder.
    bool listing(const LivePlace &place, Listing *listing);
    // How many entries the folder has when a listing kept of it still holds; -1 otherwise
    // (nothing is read to learn it).
    int keptCount(const LivePlace &place) const;
    // Gives up what is kept of the folder (an entry of it turned out changed).
    void forget(const LivePlace &place);

    // Natural order without regard to case or accents: "apple, Banana, Édith, Track 2,
    // track 3, Track 10"; names the collation takes for equal in code-unit order.
    void sortForPeople(QStringList *names) const;

private:
    struct Kept
    {
        QString key;
        LiveDirectory::Stamp stamp;
        Listing listing;
    };

    int maxFolders;
    qsizetype maxNames;
    qint64 settleMs;
    quint64 readings = 0;
    QCollator collator;
    std::vector<Kept> kept; // the one used last at the end
};
