#include "net/requestparser.h"

#include "library/entryinfo.h"

#include <limits>

namespace RequestParser {

namespace {

const QLatin1String terminator("\r\n\r\n");
constexpr QChar bar = QLatin1Char('|');
constexpr QChar space = QLatin1Char(' ');

// Position of the n-th (1-based) occurrence of c in text, or -1.
qsizetype nthIndexOf(QStringView text, QChar c, int n)
{
    qsizetype pos = -1;
    for (int i = 0; i < n; ++i) {
        pos = text.indexOf(c, pos + 1);
        if (pos < 0)
            return -1;
    }
    return pos;
}

// Text between the n-th and the next bar; to the end when that bar is missing, so a cut-off
// request is answered with what it holds.
QStringView betweenBars(QStringView text, int n)
{
    const qsizetype open = nthIndexOf(text, bar, n);
    if (open < 0)
        return {};
    const qsizetype close = text.indexOf(bar, open + 1);
    return close < 0 ? text.sliced(open + 1) : text.sliced(open + 1, close - open - 1);
}

// Text from start up to the first bar (to the end without one).
QStringView upToFirstBar(QStringView text, qsizetype start)
{
    if (text.size() <= start)
        return {};
    const qsizetype first = text.indexOf(bar);
    if (first < 0)
        return text.sliced(start);
    if (first < start)
        return {};
    return text.sliced(start, first - start);
}

// Word `index` of text split at single spaces, empty words counted; without scanning the
// whole text, which may hold many requests.
QStringView word(QStringView text, int index)
{
    qsizetype start = 0;
    if (index > 0) {
        const qsizetype before = nthIndexOf(text, space, index);
        if (before < 0)
            return {};
        start = before + 1;
    }
    const qsizetype end = text.indexOf(space, start);
    return end < 0 ? text.sliced(start) : text.sliced(start, end - start);
}

} // namespace

Kind kindOf(QStringView rest)
{
    if (rest.startsWith(QLatin1String("LIST")))
        return Kind::List;
    if (rest.startsWith(QLatin1String("ACTION 1")))
        return Kind::Action1;
    if (rest.startsWith(QLatin1String("ACTION 2")))
        return Kind::Action2;
    if (rest.startsWith(QLatin1String("SIZE")))
        return Kind::Size;
    if (rest.startsWith(QLatin1String("GET")))
        return Kind::Get;
    return Kind::None;
}

int consumedCount(Kind kind, QStringView rest)
{
    qsizetype count = 0;
    switch (kind) {
    case Kind::None:
        return 0;
    case Kind::List:
    case Kind::Size:
    case Kind::Get:
        // Without the terminator this is 3: the keyword's tail is then not a request.
        count = rest.indexOf(terminator) + 4;
        break;
    case Kind::Action1: {
        const qsizetype last = nthIndexOf(rest, bar, 3);
        count = last < 0 ? rest.size() : last + 1;
        break;
    }
    case Kind::Action2: {
        const qsizetype last = nthIndexOf(rest, bar, 1);
        count = last < 0 ? rest.size() : last + 1;
        break;
    }
    }
    return int(count);
}

int mediaTypeFor(QStringView mediaWord)
{
    if (mediaWord == QLatin1String("VIDEO"))
        return 1;
    if (mediaWord == QLatin1String("AUDIO"))
        return 2;
    if (mediaWord == QLatin1String("PICTURE"))
        return 3;
    return 0;
}

PathParts splitRequestPath(QStringView path)
{
    const qsizetype start = path.startsWith(QLatin1Char('/')) ? 1 : 0;
    const qsizetype slash = path.indexOf(QLatin1Char('/'), start);
    if (slash < 0)
        return { path.sliced(start).toString(), path.toString() };
    return { path.sliced(start, slash - start).toString(), path.sliced(slash + 1).toString() };
}

bool wantsConvertedPicture(QStringView path)
{
    return path.startsWith(QLatin1String("/PICTURE"));
}

QString listMediaWord(QStringView rest)
{
    return word(rest, 1).toString();
}

QString listLibraryPath(QStringView rest)
{
    return betweenBars(rest, 1).toString();
}

QString action1Path(QStringView rest)
{
    return betweenBars(rest, 2).trimmed().toString();
}

QString action2Path(QStringView rest)
{
    // Word 2 and everything after it, spaces and later requests included.
    const qsizetype second = nthIndexOf(rest, space, 2);
    if (second < 0)
        return {};
    QStringView path = rest.sliced(second + 1);
    if (path.endsWith(bar))
        path.chop(1);
    return path.toString();
}

QString sizePath(QStringView rest)
{
    return upToFirstBar(rest, 5).toString();
}

QString getPath(QStringView rest)
{
    return upToFirstBar(rest, 4).toString();
}

Range getRange(QStringView rest)
{
    const qsizetype first = rest.indexOf(bar);
    if (first < 0)
        return {};
    const qsizetype second = rest.indexOf(bar, first + 1);
    // Up to and including the closing bar, so "0 10|" leaves "10|" as word 1.
    const QStringView text
        = second < 0 ? rest.sliced(first + 1) : rest.sliced(first + 1, second - first);
    return { readNumber(word(text, 1)), readNumber(word(text, 2)) };
}

quint64 readNumber(QStringView word)
{
    if (word.isEmpty())
        return 0;
    constexpr quint64 max = std::numeric_limits<quint64>::max();
    quint64 value = 0;
    for (const QChar c : word) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
        const quint64 digit = quint64(c.unicode() - u'0');
        if (value > (max - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    return value;
}

quint64 byteCount(const Range &range, qint64 sourceSize)
{
    if (range.length != 0)
        return range.length;
    const quint64 size = sourceSize > 0 ? quint64(sourceSize) : 0;
    return range.offset >= size ? 0 : size - range.offset;
}

QByteArray sizeAnswer(qint64 size)
{
    return QByteArray::number(qMax<qint64>(size, 0)).rightJustified(15, '0');
}

QByteArray listingLine(const EntryInfo &entry, const QString &libraryPath, QStringView mediaWord)
{
    if (!entry.isVirtual() && !entry.isUsable())
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

} // namespace RequestParser
