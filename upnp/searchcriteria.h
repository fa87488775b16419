#pragma once

#include <QCollator>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

// An object as Search and sorting see it.
class SearchObject
{
public:
    // The values of a property ("dc:title", "upnp:class", "@refID", "res@duration"); empty
    // when the object has none.
    virtual QStringList values(const QString &property) const = 0;

    virtual ~SearchObject() = default;
};

// A ContentDirectory search criteria, parsed once and tested against many objects. Property
// names are kept as written; operators and "true"/"false" are read without regard to case,
// as clients send them either way.
class SearchCriteria
{
public:
    // Longer texts and deeper nesting of parentheses are refused, never parsed.
    static constexpr qsizetype maxLength = 4096;
    static constexpr int maxDepth = 32;

    SearchCriteria();
    ~SearchCriteria();
    SearchCriteria(const SearchCriteria &);
    SearchCriteria &operator=(const SearchCriteria &);

    // A criteria that isValid() not when the text is malformed (UPnP error 708 then).
    static SearchCriteria parse(QStringView text);

    bool isValid() const { return valid; }
    // Where and why the text was refused.
    QString errorString() const { return error; }
    // "*": every object.
    bool matchesEverything() const;
    // The property names the criteria tests, each once.
    QStringList properties() const;

    // Strings compare without regard to case; numbers as numbers where both sides are one;
    // "derivedfrom" takes a class and the classes below it. A property with several values
    // matches when one does ("!=" and "doesNotContain": when none of them fails); one without
    // values matches nothing but "exists false".
    bool matches(const SearchObject &object) const;

    // One operator or operand of the parsed criteria (searchcriteria.cpp).
    struct Node;

private:
    friend class SearchParser;
    bool matches(int node, const SearchObject &object) const;

    std::vector<Node> nodes; // nodes.front() is the root
    bool valid = false;
    QString error;
};

// A ContentDirectory SortCriteria ("+dc:title,-dc:date"): keys in order, and the comparison of
// two objects by them.
class SortCriteria
{
public:
    struct Key
    {
        QString property;
        bool descending = false;
    };

    SortCriteria();

    // Invalid when a key is malformed or names no property of sortable (UPnP error 709 then).
    // An empty text sorts nothing.
    static SortCriteria parse(QStringView text, const QStringList &sortable);

    bool isValid() const { return valid; }
    QString errorString() const { return error; }
    const QList<Key> &keys() const { return sortKeys; }

    // Natural order without regard to case or accents ("Track 2" before "Track 10"); an
    // object without the property before one with it. Negative, zero or positive.
    int compare(const SearchObject &a, const SearchObject &b) const;
    // Sorts objects by the keys, each object's sort keys made once; ties keep their order.
    void sort(std::vector<const SearchObject *> &objects) const;

private:
    QList<Key> sortKeys;
    bool valid = true;
    QString error;
    QCollator collator;
};
