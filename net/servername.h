#pragma once

#include <QString>

// A server name is announced to players (and so kept and shown) in at most this many UTF-16
// units.
constexpr int maxServerNameLength = 30;

// The first 30 units of name, but never half of a surrogate pair (an emoji): when the cut
// would leave a lone high surrogate at the end, the name keeps 29.
inline QString cutServerName(const QString &name)
{
    qsizetype length = qMin(name.size(), qsizetype(maxServerNameLength));
    if (length < name.size() && length > 0 && name.at(length - 1).isHighSurrogate())
        --length;
    return name.left(length);
}
