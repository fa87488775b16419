#pragma once

#include <QLatin1String>
#include <QRegularExpression>
#include <QString>
#include <QStringView>

#include <vector>

// A library's filter text as a test of file names: wildcard patterns separated by blanks,
// matched without regard to case, as the toolkit's directory listing matches them. No pattern,
// or "*" among them, lets every name through.
class NameFilter
{
public:
    explicit NameFilter(const QString &filterText);

    bool matches(const QString &name) const;
    // The same for a name of ASCII characters, without making a QString of it.
    bool matches(QLatin1String name) const;

private:
    // "*.ext" and plain names, the usual patterns, are compared by hand: a regular expression
    // per pattern and name costs more than reading the directory.
    struct Literal
    {
        QString folded;
        bool anyStart = false;
    };

    std::vector<Literal> literals;
    std::vector<QRegularExpression> others;
    bool everything = false;
};
