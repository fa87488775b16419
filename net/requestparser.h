#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <QtGlobal>

class EntryInfo;

// The player protocol as pure functions over the received text. Each takes `rest`, the text
// from a request's first character to the end of what was received, and never touches a
// socket; ConnectionHandler does the talking.
namespace RequestParser {

enum class Kind { None, List, Action1, Action2, Size, Get };

// The request that `rest` starts with; keywords are matched case-sensitively, in the order
// LIST, ACTION 1, ACTION 2, SIZE, GET.
Kind kindOf(QStringView rest);

// Characters of `rest` that the request of the given kind takes up.
int consumedCount(Kind kind, QStringView rest);

// 1 video, 2 audio, 3 pictures; 0 for any other word (case matters).
int mediaTypeFor(QStringView mediaWord);

// A request path cut into its media word and library path: "/VIDEO/Films/a.avi" and
// "VIDEO/Films/a.avi" both give "VIDEO" and "Films/a.avi".
struct PathParts
{
    QString mediaWord;
    QString libraryPath;
};
PathParts splitRequestPath(QStringView path);

// Pictures are converted only when asked for with the leading slash.
bool wantsConvertedPicture(QStringView path);

// LIST <word> |<library path>|
QString listMediaWord(QStringView rest);
QString listLibraryPath(QStringView rest);

// ACTION 1 ...|...|<path>|   and   ACTION 2 <path>|
QString action1Path(QStringView rest);
QString action2Path(QStringView rest);

// SIZE <path>|   and   GET <path>| <offset> <length> |
QString sizePath(QStringView rest);
QString getPath(QStringView rest);

struct Range
{
    quint64 offset = 0;
    quint64 length = 0;
};
Range getRange(QStringView rest);

// A word made only of decimal digits that fits 64 bits, else 0.
quint64 readNumber(QStringView word);

// The bytes a GET sends: the length, or with length 0 the rest of the source from offset.
quint64 byteCount(const Range &range, qint64 sourceSize);

// The 15-digit, zero-padded answer to SIZE.
QByteArray sizeAnswer(qint64 size);

// One listing line for an entry of the folder at libraryPath, as Latin-1 bytes; empty for
// an entry that is gone from disk (virtual folders are always listed).
QByteArray listingLine(const EntryInfo &entry, const QString &libraryPath, QStringView mediaWord);

} // namespace RequestParser
