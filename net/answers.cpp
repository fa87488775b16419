#include "net/answers.h"

#include "library/entryinfo.h"

namespace Answers {

namespace {

// A line feed or a bar inside a field would end the line or the field early: a disk name such
// as "a\nEOL\nb.avi" could forge listing lines and put the player out of step.
bool fitsInLine(QByteArrayView field)
{
    return !field.contains('\n') && !field.contains('|');
}

// The start of every file's target in one folder: "/", the media word, "/", the library path
// and "/" (the last only when the path is not empty), as Latin-1.
QByteArray targetPrefix(const QString &libraryPath, QStringView mediaWord)
{
    QByteArray prefix = '/' + mediaWord.toLatin1() + '/' + libraryPath.toLatin1();
    if (!libraryPath.isEmpty())
        prefix += '/';
    return prefix;
}

// Appends the entry's line. Characters outside Latin-1 become "?", which is never a line feed
// or a bar, so the bytes can be checked after the conversion.
void appendLine(QByteArray &reply, const EntryInfo &entry, const QByteArray &prefix)
{
    if (!entry.isVirtual() && !entry.isUsable())
        return;
    const QByteArray name = entry.name().toLatin1();
    if (!fitsInLine(name))
        return;
    reply += name;
    reply += "| ";
    if (!entry.isDir())
        reply += prefix;
    reply += name;
    reply += entry.isDir() ? "|1|\n" : "|0|\n";
}

} // namespace

QByteArray listing(const QList<EntryInfo> &entries, const RequestParser::RequestPath &folder)
{
    QByteArray reply;
    const QByteArray prefix = targetPrefix(folder.libraryPath, folder.mediaWord);
    if (fitsInLine(prefix)) {
        reply.reserve(entries.size() * (2 * 24 + prefix.size() + 6) + 4);
        for (const EntryInfo &entry : entries)
            appendLine(reply, entry, prefix);
    }
    reply += "EOL\n";
    return reply;
}

QByteArray listingLine(const EntryInfo &entry, const QString &libraryPath, QStringView mediaWord)
{
    const QByteArray prefix = targetPrefix(libraryPath, mediaWord);
    QByteArray line;
    if (fitsInLine(prefix))
        appendLine(line, entry, prefix);
    return line;
}

QByteArray size(qint64 size)
{
    return QByteArray::number(qMax<qint64>(size, 0)).rightJustified(15, '0');
}

quint64 byteCount(const RequestParser::Range &range, qint64 sourceSize)
{
    if (range.length != 0)
        return range.length;
    const quint64 size = sourceSize > 0 ? quint64(sourceSize) : 0;
    return range.offset >= size ? 0 : size - range.offset;
}

} // namespace Answers
