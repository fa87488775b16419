#pragma once

#include "library/entryinfo.h"

#include <QList>
#include <QString>
#include <QStringList>

// The disk below a live folder, read at the moment of asking. A path below the folder reaches
// only what a listing of each directory on the way would show: ".", "..", hidden entries and
// links are refused.
namespace LiveDirectory {

// The entries of the directory that relative names below root (its components joined by "/",
// empty ones skipped): readable subfolders, then readable files that filterText lets through,
// each group sorted by name in code-unit order; no links, no hidden entries. Empty when
// relative names no such directory.
QList<EntryInfo> list(const QString &root, const QString &relative, const QString &filterText);

// The entry called name that list() would give for the same directory, or the default
// EntryInfo when list() would show none; looked up without reading the whole directory.
EntryInfo find(
    const QString &root, const QString &relative, const QString &name, const QString &filterText);

// A directory's identity and the times it last changed. While they stay the same, so do its
// names; what lies below them (sizes, dates, readability) may change all the same.
struct Stamp
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 modified = 0; // nanoseconds since the epoch
    qint64 changed = 0;

    bool sameAs(const Stamp &other) const
    {
        return device == other.device && inode == other.inode && modified == other.modified
            && changed == other.changed;
    }
};

// The directory that relative names below root, held open as list() reaches it (never
// open on Windows, where listings are read afresh): its stamp, and its entries asked by name
// without walking the path again.
class Directory
{
public:
    Directory(const QString &root, const QString &relative);
    ~Directory();
    Directory(const Directory &) = delete;
    Directory &operator=(const Directory &) = delete;

    bool isOpen() const { return fd >= 0; }
    // False when not open.
    bool stamp(Stamp *stamp) const;
    // Whether the entry called name can be read, as the listing asks it.
    bool isReadable(const QString &name) const;
    // A regular file's size, modification and status change times (ms since the epoch), asked
    // of the folder itself without following a link: one look-up of a name, not of a path.
    // False for anything else, and where the platform keeps no folder open.
    bool fileStatus(const QString &name, qint64 *size, qint64 *modifiedMs, qint64 *changedMs) const;

private:
    int fd = -1;
};

// The names list() would give, folders and files apart and unsorted, the directory's path
// (entries are "<path>/<name>") and its stamp from before the reading; false when relative
// names no such directory.
bool readNames(const QString &root, const QString &relative, const QString &filterText,
    QStringList *folders, QStringList *files, QString *path, Stamp *stamp);

// The file or folder that relative names below root (its last component the entry's own name),
// opened for reading without following a link on the way or at the end: what a listing has
// shown may have been swapped for a link since. A descriptor (the C runtime's on Windows) that
// the caller closes, or -1. Folders open only where the platform reads their size this way.
int open(const QString &root, const QString &relative);

} // namespace LiveDirectory
