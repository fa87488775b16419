#include "library/namefilter.h"

#include <QStringList>

namespace {

// Text without wildcard characters, all of it printable ASCII.
bool isPlainAscii(QStringView text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u > 0x7e || u == u'*' || u == u'?' || u == u'[' || u == u']' || u == u'\\')
            return false;
    }
    return true;
}

char16_t foldedAscii(char16_t u)
{
    return u >= u'A' && u <= u'Z' ? char16_t(u + (u'a' - u'A')) : u;
}

// Compares as the regular expression engine does without regard to case: by simple case
// folding, so the Kelvin sign meets "k" and the long s meets "s".
bool sameFolded(QChar c, char16_t folded)
{
    const char16_t u = c.unicode();
    if (u < 0x80)
        return foldedAscii(u) == folded;
    return QChar::toCaseFolded(char32_t(u)) == folded;
}

template<typename View> bool matchesLiteral(View name, QStringView folded, bool anyStart)
{
    const qsizetype size = folded.size();
    if (anyStart ? name.size() < size : name.size() != size)
        return false;
    const qsizetype start = name.size() - size;
    for (qsizetype i = 0; i < size; ++i) {
        if (!sameFolded(QChar(name[start + i]), folded[i].unicode()))
            return false;
    }
    return true;
}

} // namespace

NameFilter::NameFilter(const QString &filterText)
{
    const QStringList patterns
        = filterText.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    everything = patterns.isEmpty() || patterns.contains(QStringLiteral("*"));
    if (everything)
        return;
    for (const QString &pattern : patterns) {
        const bool anyStart = pattern.startsWith(QLatin1Char('*'));
        const QStringView rest = QStringView(pattern).mid(anyStart ? 1 : 0);
        if (isPlainAscii(rest)) {
            Literal literal;
            literal.anyStart = anyStart;
            literal.folded.reserve(rest.size());
            for (const QChar c : rest)
                literal.folded.append(QChar(foldedAscii(c.unicode())));
            literals.push_back(std::move(literal));
        } else {
            others.push_back(QRegularExpression::fromWildcard(pattern, Qt::CaseInsensitive));
        }
    }
}

bool NameFilter::matches(const QString &name) const
{
    if (everything)
        return true;
    for (const Literal &literal : literals) {
        if (matchesLiteral(QStringView(name), literal.folded, literal.anyStart))
            return true;
    }
    for (const QRegularExpression &expression : others) {
        if (expression.match(name).hasMatch())
            return true;
    }
    return false;
}

bool NameFilter::matches(QLatin1String name) const
{
    if (everything)
        return true;
    for (const Literal &literal : literals) {
        if (matchesLiteral(name, literal.folded, literal.anyStart))
            return true;
    }
    return !others.empty() && matches(QString(name));
}
