#include "media/sidecars.h"

#include "library/livedirectory.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

struct Format
{
    const char *extension;
    const char *mimeType;
};

// text/srt and smi/caption are the types DLNA TVs take for captions (Samsung and LG, through
// sec:CaptionInfoEx); text/vtt is registered with IANA (W3C WebVTT); text/x-ssa and
// text/x-microdvd are freedesktop.org's shared-mime-info names, text/x-ass the usual one for
// Advanced SSA.
const Format formats[] = {
    { "srt", "text/srt" },
    { "ass", "text/x-ass" },
    { "ssa", "text/x-ssa" },
    { "smi", "smi/caption" },
    { "vtt", "text/vtt" },
    { "sub", "text/x-microdvd" },
};

// A ".sub" beside an ".idx" of the same name is VobSub: pictures, no text for a TV.
const QLatin1String vobSubIndex("idx");

const Format *formatOf(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return nullptr;
    const QStringView extension = QStringView(fileName).sliced(dot + 1);
    for (const Format &format : formats) {
        if (extension.compare(QLatin1String(format.extension), Qt::CaseInsensitive) == 0)
            return &format;
    }
    return nullptr;
}

QStringView withoutExtension(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? QStringView(name).first(dot) : QStringView(name);
}

bool isLanguage(QStringView text)
{
    return (text.size() == 2 || text.size() == 3)
        && std::all_of(text.begin(), text.end(), [](QChar c) {
               return (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
                   || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
           });
}

// The language between base and the extension of rest ("en" of "movie.en"); false when rest
// is not base or base and a language.
bool languageOf(QStringView rest, QStringView base, QString *language)
{
    if (!rest.startsWith(base, Qt::CaseInsensitive))
        return false;
    const QStringView tail = rest.sliced(base.size());
    if (tail.isEmpty()) {
        language->clear();
        return true;
    }
    if (tail.front() != QLatin1Char('.') || !isLanguage(tail.sliced(1)))
        return false;
    *language = tail.sliced(1).toString().toLower();
    return true;
}

} // namespace

namespace Sidecars {

QList<EntryInfo> subtitleFiles(const QString &root, const QString &relative)
{
    QString filter;
    for (const Format &format : formats)
        filter += QLatin1String("*.") + QLatin1String(format.extension) + QLatin1Char(' ');
    filter += QLatin1String("*.") + vobSubIndex;
    QList<EntryInfo> files = LiveDirectory::list(root, relative, filter);
    files.removeIf([](const EntryInfo &entry) { return entry.isDir(); });
    return files;
}

QList<Subtitle> subtitlesFor(const QList<EntryInfo> &files, const QString &videoName)
{
    const QStringView base = withoutExtension(videoName);
    QList<Subtitle> subtitles;
    for (const EntryInfo &file : files) {
        const QString name = file.name();
        const Format *format = formatOf(name);
        Subtitle subtitle;
        if (!format || !languageOf(withoutExtension(name), base, &subtitle.language))
            continue;
        if (qstrcmp(format->extension, "sub") == 0) {
            const QString index = withoutExtension(name) + QLatin1Char('.') + vobSubIndex;
            const bool vobSub
                = std::any_of(files.begin(), files.end(), [&](const EntryInfo &other) {
                      return other.name().compare(index, Qt::CaseInsensitive) == 0;
                  });
            if (vobSub)
                continue;
        }
        subtitle.file = file;
        subtitle.mimeType = QString::fromLatin1(format->mimeType);
        subtitle.format = QString::fromLatin1(format->extension);
        subtitles.append(subtitle);
    }
    return subtitles;
}

QList<Subtitle> subtitlesOf(const QString &videoPath)
{
    const QFileInfo video(videoPath);
    return subtitlesFor(subtitleFiles(video.path()), video.fileName());
}

QString subtitleMimeType(const QString &fileName)
{
    const Format *format = formatOf(fileName);
    return format ? QString::fromLatin1(format->mimeType) : QString();
}

bool folderOf(const EntryInfo &entry, QString *root, QString *relative)
{
    if (entry.filePath().isEmpty())
        return false;
    *root = entry.liveRoot();
    relative->clear();
    if (root->isEmpty()) {
        *root = entry.absolutePath();
        return true;
    }
    // A listed entry's path is its live folder's followed by the components below it.
    const QString path = QDir::fromNativeSeparators(entry.filePath());
    const QString from = QDir::fromNativeSeparators(*root);
    if (!path.startsWith(from))
        return false;
    *relative = path.mid(from.size());
    relative->truncate(qMax(qsizetype(0), relative->lastIndexOf(QLatin1Char('/'))));
    while (relative->startsWith(QLatin1Char('/')))
        relative->remove(0, 1);
    return true;
}

EntryInfo coverArt(const QString &root, const QString &relative)
{
    static const char *const names[] = { "cover", "folder", "front" };
    static const char *const extensions[] = { "jpg", "jpeg", "png" };
    QStringList wanted;
    for (const char *name : names) {
        for (const char *extension : extensions)
            wanted.append(QLatin1String(name) + QLatin1Char('.') + QLatin1String(extension));
    }
    const QList<EntryInfo> files
        = LiveDirectory::list(root, relative, wanted.join(QLatin1Char(' ')));
    for (const QString &name : wanted) {
        for (const EntryInfo &file : files) {
            if (!file.isDir() && file.name().compare(name, Qt::CaseInsensitive) == 0)
                return file;
        }
    }
    return EntryInfo();
}

} // namespace Sidecars
