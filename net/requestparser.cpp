#include "net/requestparser.h"

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

const char *const keywords[] = { "LIST", "ACTION 1", "ACTION 2", "SIZE", "GET" };

// The text starts with a keyword, or is one cut short: more bytes may make it a request.
bool startsRequest(QStringView text)
{
    for (const char *keyword : keywords) {
        const QLatin1String word(keyword);
        if (text.startsWith(word) || (text.size() < word.size() && word.startsWith(text)))
            return true;
    }
    return false;
}

// A request ends at its last bar and takes the blanks and line ends after it. Other text that
// starts no request goes with it up to a terminator, and the terminator too.
void endAfterBar(QStringView text, int n, ParseResult &result)
{
    const qsizetype last = nthIndexOf(text, bar, n);
    if (last < 0) {
        result.consumed = text.size();
        return;
    }
    const QStringView after = text.sliced(last + 1);
    const qsizetype separators = separatorsAt(after);
    result.consumed = last + 1 + separators;
    const QStringView next = after.sliced(separators);
    if (next.isEmpty() || startsRequest(next))
        return;
    const qsizetype at = after.indexOf(terminator);
    if (at >= 0)
        result.consumed = last + 1 + at + terminator.size();
}

// The text is a keyword cut short.
bool cutInKeyword(QStringView text)
{
    return !text.isEmpty() && startsRequest(text);
}

// Whether the text holds at least n bars.
bool hasBars(QStringView text, int n)
{
    return nthIndexOf(text, bar, n) >= 0;
}

// GET's offset and length: words 1 and 2 of the text after the first bar up to and including
// the second, so "0 10|" leaves "10|" as word 1, which reads as 0.
Range getRange(QStringView text)
{
    const qsizetype first = text.indexOf(bar);
    if (first < 0)
        return {};
    const qsizetype second = text.indexOf(bar, first + 1);
    const QStringView words
        = second < 0 ? text.sliced(first + 1) : text.sliced(first + 1, second - first);
    return { readNumber(word(words, 1)), readNumber(word(words, 2)) };
}

// ACTION 2's path: word 2 and everything after it, later requests included, less one final
// bar.
QStringView plainActionPath(QStringView text)
{
    const qsizetype second = nthIndexOf(text, space, 2);
    if (second < 0)
        return {};
    QStringView path = text.sliced(second + 1);
    if (path.endsWith(bar))
        path.chop(1);
    return path;
}

} // namespace

RequestPath splitRequestPath(QStringView path)
{
    RequestPath parts;
    parts.convertPicture = path.startsWith(QLatin1String("/PICTURE"));
    const qsizetype start = path.startsWith(QLatin1Char('/')) ? 1 : 0;
    const qsizetype slash = path.indexOf(QLatin1Char('/'), start);
    if (slash < 0) {
        parts.mediaWord = path.sliced(start).toString();
        parts.libraryPath = path.toString();
    } else {
        parts.mediaWord = path.sliced(start, slash - start).toString();
        parts.libraryPath = path.sliced(slash + 1).toString();
    }
    return parts;
}

MediaType mediaTypeFor(QStringView mediaWord)
{
    if (mediaWord == QLatin1String("VIDEO"))
        return VideoMedia;
    if (mediaWord == QLatin1String("AUDIO"))
        return AudioMedia;
    if (mediaWord == QLatin1String("PICTURE"))
        return PictureMedia;
    return NoMedia;
}

qsizetype separatorsAt(QStringView text)
{
    qsizetype n = 0;
    while (n < text.size()
        && (text[n] == space || text[n] == QLatin1Char('\t') || text[n] == QLatin1Char('\r')
            || text[n] == QLatin1Char('\n')))
        ++n;
    return n;
}

ParseResult parseRequest(QStringView whole)
{
    ParseResult result;
    Request &request = result.request;
    // Players part requests with line ends, or with nothing at all; leading ones are skipped.
    const qsizetype lead = separatorsAt(whole);
    const QStringView text = whole.sliced(lead);
    if (text.startsWith(QLatin1String("LIST"))) {
        request.kind = Kind::List;
        request.path.mediaWord = word(text, 1).toString();
        request.path.libraryPath = betweenBars(text, 1).toString();
        result.barsNeeded = 2;
    } else if (text.startsWith(QLatin1String("ACTION 1"))) {
        request.kind = Kind::Action;
        request.variant = ActionVariant::Barred;
        request.path = splitRequestPath(betweenBars(text, 2).trimmed());
        result.barsNeeded = 3;
    } else if (text.startsWith(QLatin1String("ACTION 2"))) {
        request.kind = Kind::Action;
        request.variant = ActionVariant::Plain;
        request.path = splitRequestPath(plainActionPath(text));
        result.barsNeeded = 1;
    } else if (text.startsWith(QLatin1String("SIZE"))) {
        request.kind = Kind::Size;
        request.path = splitRequestPath(upToFirstBar(text, 5));
        result.barsNeeded = 1;
    } else if (text.startsWith(QLatin1String("GET"))) {
        request.kind = Kind::Get;
        request.path = splitRequestPath(upToFirstBar(text, 4));
        request.range = getRange(text);
        result.barsNeeded = 2;
    } else {
        result.incomplete = cutInKeyword(text);
        // Separators alone are taken; other text is no request and takes nothing.
        result.consumed = text.isEmpty() ? lead : 0;
        return result;
    }
    if (request.kind == Kind::Action) {
        // ACTION has no terminator: it ends at its last bar, or takes the whole text.
        const qsizetype last = nthIndexOf(text, bar, result.barsNeeded);
        result.consumed = last < 0 ? text.size() : last + 1;
    } else {
        endAfterBar(text, result.barsNeeded, result);
    }
    result.incomplete = !hasBars(text, result.barsNeeded);
    result.consumed += lead;
    return result;
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

} // namespace RequestParser
