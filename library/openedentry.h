#pragma once

#include "library/entryinfo.h"

#include <QFile>

#include <memory>

// What an entry names on the disk, opened once for reading: a request answers with this
// handle's bytes and size and never goes back to the path, which may name something else by
// then. Below a live folder no link is followed, on the way or at the end; a file the user
// added by hand is opened as its path says, a link of their choosing included.
class OpenedEntry
{
public:
    OpenedEntry() = default;
    // Takes a descriptor just opened (-1 for none): kept when it is a regular file; of a
    // folder only the size stays; anything else is closed and counts as nothing.
    explicit OpenedEntry(int fd);
    OpenedEntry(OpenedEntry &&other) noexcept;
    OpenedEntry &operator=(OpenedEntry &&other) noexcept;
    OpenedEntry(const OpenedEntry &) = delete;
    OpenedEntry &operator=(const OpenedEntry &) = delete;
    ~OpenedEntry();

    static OpenedEntry open(const EntryInfo &entry);

    // A regular file, open for reading.
    bool isFile() const { return fd >= 0; }
    // The file's size as its handle says, or a folder's; 0 when nothing opened.
    qint64 size() const { return bytes; }
    // The descriptor (the C runtime's on Windows), -1 when no file; this still closes it.
    int descriptor() const { return fd; }
    // Hands the descriptor over to be closed by the caller.
    int release();
    // The file as an unbuffered device, the descriptor going with it; a device that is not
    // open when there is no file.
    std::unique_ptr<QFile> takeFile();

private:
    int fd = -1;
    qint64 bytes = 0;
};
