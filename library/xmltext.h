#pragma once

#include <QString>

// The configuration file is XML, which cannot hold most control characters or U+FFFE/U+FFFF
// at all, not even escaped; a single one written makes the whole file unreadable at the next
// start. Disk names may contain them, and a pasted folder name may too.
namespace XmlText {

inline bool isCarried(QChar c)
{
    const char16_t u = c.unicode();
    if (u < 0x20)
        return u == u'\t' || u == u'\n' || u == u'\r';
    return u != 0xFFFE && u != 0xFFFF;
}

// Whether every character of text can be stored.
inline bool canCarry(const QString &text)
{
    for (const QChar c : text) {
        if (!isCarried(c))
            return false;
    }
    return true;
}

// text with each character that cannot be stored replaced by U+FFFD, which keeps the name
// apart from a sibling that differs only in that character.
inline QString carried(const QString &text)
{
    if (canCarry(text))
        return text;
    QString result = text;
    for (QChar &c : result) {
        if (!isCarried(c))
            c = QChar::ReplacementCharacter;
    }
    return result;
}

} // namespace XmlText
