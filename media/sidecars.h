#pragma once

#include "library/entryinfo.h"

#include <QList>
#include <QString>

// Files that belong to a media file by their names: the subtitles of a video and the cover art
// of a folder. Found by the rules of a live folder's listing (no links, no hidden entries,
// readable regular files only), so they reach nothing a listing would not show.
namespace Sidecars {

struct Subtitle
{
    EntryInfo file;
    // "text/srt", "text/vtt", ...
    QString mimeType;
    // The format as Samsung's sec:CaptionInfoEx names it: "srt", "ass", "ssa", "smi", "vtt",
    // "sub".
    QString format;
    // From "movie.en.srt" or "movie.eng.srt", in lower case; empty when the name has none.
    QString language;
};

// The subtitle files of a folder (or fewer): a listing to pick each video's subtitles from,
// read once for a whole folder of videos. The folder is the one relative names below root,
// reached without following links; root itself when relative is empty.
QList<EntryInfo> subtitleFiles(const QString &root, const QString &relative = QString());
// The subtitles of the video called videoName among files: "<base>.<ext>" and
// "<base>.<language>.<ext>", the base name compared without regard to case; in the files' order.
QList<Subtitle> subtitlesFor(const QList<EntryInfo> &files, const QString &videoName);
// The same for one video on disk.
QList<Subtitle> subtitlesOf(const QString &videoPath);

// The MIME type of a subtitle file by its extension; empty when it is none.
QString subtitleMimeType(const QString &fileName);

// The cover art of a folder: cover, folder or front, .jpg, .jpeg or .png, in any case, in that
// order of preference; the default EntryInfo when there is none.
EntryInfo coverArt(const QString &root, const QString &relative = QString());

// The folder an entry lies in: below a live folder as that folder and the path from it, so
// that it is read without following a link on the way; a file the user added, its own folder
// (relative empty). False when the entry has no path.
bool folderOf(const EntryInfo &entry, QString *root, QString *relative);

} // namespace Sidecars
