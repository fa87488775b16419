#pragma once

#include "library/entryinfo.h"

#include <QList>
#include <QString>

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

// The file or folder that relative names below root (its last component the entry's own name),
// opened for reading without following a link on the way or at the end: what a listing has
// shown may have been swapped for a link since. A descriptor (the C runtime's on Windows) that
// the caller closes, or -1. Folders open only where the platform reads their size this way.
int open(const QString &root, const QString &relative);

} // namespace LiveDirectory
