#pragma once

#include "library/entryinfo.h"
#include "media/sidecars.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QString>

class DidlWriter;
struct ObjectId;

// The subtitle files beside a video as DLNA clients are told of them and fetch them: each is
// named by the video's id and its place among the video's subtitles, never by a disk path, and
// found again by the same rules when it is asked for.
namespace Subtitles {

// Larger is no subtitle file; it is not sent.
constexpr qint64 maxSize = qint64(16) << 20;

// The subtitle files of the folder an entry lies in: below a live folder, reached from that
// folder down without following links, as its files are opened; for a file the user added by
// hand, from its own folder.
QList<EntryInfo> filesBeside(const EntryInfo &entry);
// The video's subtitles among the files of its folder, or as its folder holds them now.
QList<Sidecars::Subtitle> among(const QList<EntryInfo> &files, const EntryInfo &video);
QList<Sidecars::Subtitle> of(const EntryInfo &video);
// The one offered to clients that take a single subtitle: the first with no language or
// English, else the first; -1 when there is none.
int chosen(const QList<Sidecars::Subtitle> &subtitles);

// "/subtitle/<video id>/<n>.<ext>"; the extension is for players that look at it.
QByteArray path(const QByteArray &videoId, int index, const Sidecars::Subtitle &subtitle);
// The video's id and the subtitle's place that a path names after its prefix.
bool fromPath(QByteArrayView rest, ObjectId *id, int *index);

// A res for each subtitle and Samsung's caption field for the chosen one, written after the
// video's own res.
void write(DidlWriter &xml, const QByteArray &baseUrl, const QByteArray &videoId,
    const QList<Sidecars::Subtitle> &subtitles);

// The subtitle files of the folders one Browse has looked in: a page of videos in one folder
// reads it once, however many videos it holds, and each video looks only at the files whose
// names start with its own.
class Folders
{
public:
    QList<Sidecars::Subtitle> of(const EntryInfo &video);
    void clear() { folders.clear(); }

private:
    // A folder's files by the names they may belong to ("film" for "film.srt" and
    // "film.en.srt"), case folded, each list in the folder's order.
    using Files = QHash<QString, QList<EntryInfo>>;
    QHash<QString, Files> folders;
};

} // namespace Subtitles
