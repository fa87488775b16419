#include "net/answers.h"

#include "library/entryinfo.h"

namespace Answers {

QByteArray listing(const QList<EntryInfo> &entries, const RequestParser::RequestPath &folder)
{
    QByteArray reply;
    for (const EntryInfo &entry : entries)
        reply += listingLine(entry, folder.libraryPath, folder.mediaWord);
    reply += QByteArrayLiteral("EOL\n");
    return reply;
}

namespace {

// A line feed or a bar inside a field would end the line or the field early: a disk name such
// as "a\nEOL\nb.avi" could forge listing lines and put the player out of step.
bool fitsInLine(QStringView field)
{
    return !field.contains(QLatin1Char('\n')) && !field.contains(QLatin1Char('|'));
}

} // namespace

QByteArray listingLine(const EntryInfo &entry, const QString &libraryPath, QStringView mediaWord)
{
    if (!entry.isVirtual() && !entry.isUsable())
        return {};
    if (!fitsInLine(entry.name()) || !fitsInLine(libraryPath) || !fitsInLine(mediaWord))
        return {};
    QString target;
    if (entry.isDir()) {
        target = entry.name();
    } else {
        target = QLatin1Char('/') + mediaWord + QLatin1Char('/') + libraryPath;
        if (!libraryPath.isEmpty())
            target += QLatin1Char('/');
        target += entry.name();
    }
    const QString line = entry.name() + QLatin1String("| ") + target + QLatin1Char('|')
        + QLatin1Char(entry.isDir() ? '1' : '0') + QLatin1String("|\n");
    return line.toLatin1();
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
