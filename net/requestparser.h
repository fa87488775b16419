#pragma once

#include "library/mediatype.h"

#include <QString>
#include <QStringView>
#include <QtGlobal>

// The player protocol's requests, read from the received text by one pure function. Nothing
// here touches a socket or a library; ConnectionHandler does the talking.
namespace RequestParser {

enum class Kind { None, List, Action, Size, Get };

// The two forms of ACTION: "ACTION 1 ...|...|<path>|" and "ACTION 2 <path>|".
enum class ActionVariant { Barred = 1, Plain = 2 };

// Where a request points: "/VIDEO/Films/a.avi" and "VIDEO/Films/a.avi" both name "Films/a.avi"
// of the video library; LIST names its media word and library path separately.
struct RequestPath
{
    QString mediaWord;
    QString libraryPath;
    // Pictures are converted only when asked for with the leading slash.
    bool convertPicture = false;

    bool operator==(const RequestPath &other) const
    {
        return mediaWord == other.mediaWord && libraryPath == other.libraryPath
            && convertPicture == other.convertPicture;
    }
};

// A request path as players write it, cut into its media word and library path.
RequestPath splitRequestPath(QStringView path);

// The library a media word names; NoMedia for any other word (case matters).
MediaType mediaTypeFor(QStringView mediaWord);

struct Range
{
    quint64 offset = 0;
    quint64 length = 0;

    bool operator==(const Range &other) const
    {
        return offset == other.offset && length == other.length;
    }
};

struct Request
{
    Kind kind = Kind::None;
    ActionVariant variant = ActionVariant::Barred; // ACTION only
    RequestPath path;
    Range range; // GET only
};

struct ParseResult
{
    // Kind::None: the text does not start with a request; only a text of separators alone is
    // consumed.
    Request request;
    // Characters of the text that the request takes up, at least one for a request.
    qsizetype consumed = 0;
    // The text ends before the request has the bars it needs (LIST two, SIZE one, GET the bar
    // after the path and the one after the range, ACTION 1 three, ACTION 2 one) or inside a
    // keyword. TCP may cut a request anywhere, so the rest may still be coming: answered as it
    // stands, the request could name another file or range.
    bool incomplete = false;
    // Bars the request needs; what is held waits for this many, so it need not be parsed
    // again until they are there.
    int barsNeeded = 0;
};

// The request at the start of text, which may hold further requests after it. Blanks and line
// ends before it are skipped (and counted as consumed); keywords are matched case-sensitively,
// in the order LIST, ACTION 1, ACTION 2, SIZE, GET. A request ends at its last bar; the
// terminator "\r\n\r\n" may follow or not. A request is parsed as it stands even when
// incomplete.
ParseResult parseRequest(QStringView text);

// How many blanks and line ends (space, tab, CR, LF) start the text: what players part
// requests with.
qsizetype separatorsAt(QStringView text);

// A word made only of decimal digits that fits 64 bits, else 0.
quint64 readNumber(QStringView word);

} // namespace RequestParser
