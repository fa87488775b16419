#pragma once

#include "net/requestparser.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringView>

class EntryInfo;

// The bytes the server answers with. Answers carry no framing of their own: the player knows
// from its request how much to read.
namespace Answers {

// The LIST answer: one line per entry still there (virtual folders always), then "EOL\n".
QByteArray listing(const QList<EntryInfo> &entries, const RequestParser::RequestPath &folder);

// One listing line for an entry of the folder at libraryPath, as Latin-1 bytes; empty for an
// entry that is gone from disk, and for one whose line a line feed or a bar would garble.
QByteArray listingLine(const EntryInfo &entry, const QString &libraryPath, QStringView mediaWord);

// The 15-digit, zero-padded answer to SIZE.
QByteArray size(qint64 size);

// The bytes a GET sends: the length, or with length 0 the rest of the source from offset.
quint64 byteCount(const RequestParser::Range &range, qint64 sourceSize);

} // namespace Answers
