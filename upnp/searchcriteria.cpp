#include "upnp/searchcriteria.h"

#include <QCollatorSortKey>
#include <QLocale>

#include <algorithm>
#include <numeric>
#include <optional>

struct SearchCriteria::Node
{
    enum class Kind { All, And, Or, Compare, Exists };
    enum class Op {
        Equal,
        NotEqual,
        Less,
        LessEqual,
        Greater,
        GreaterEqual,
        Contains,
        DoesNotContain,
        DerivedFrom,
    };

    Kind kind = Kind::All;
    Op op = Op::Equal;
    QString property;
    QString value;
    // Exists: the truth asked for.
    bool exists = false;
    // Compare: the value read as a number, when it is one.
    std::optional<double> number;
    // And, Or: the operands, two or more.
    std::vector<int> children;
};

namespace {

using Node = SearchCriteria::Node;

bool isBlank(QChar c)
{
    const char16_t u = c.unicode();
    return u == u' ' || u == u'\t' || u == u'\n' || u == u'\v' || u == u'\f' || u == u'\r';
}

bool isNameChar(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9')
        || u == u':' || u == u'@' || u == u'_' || u == u'-' || u == u'.';
}

bool isNameStart(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || u == u'_';
}

// An XML name, optionally with a namespace prefix: "title", "dc:title".
bool isQualifiedName(QStringView name)
{
    const qsizetype colon = name.indexOf(QLatin1Char(':'));
    const auto isName = [](QStringView part) {
        return !part.isEmpty() && isNameStart(part.front())
            && std::none_of(part.begin(), part.end(),
                [](QChar c) { return c == QLatin1Char(':') || c == QLatin1Char('@'); });
    };
    return colon < 0 ? isName(name) : isName(name.first(colon)) && isName(name.sliced(colon + 1));
}

// "dc:title", "res", "@refID", "res@duration", "upnp:album@id".
bool isPropertyName(QStringView name)
{
    const qsizetype at = name.indexOf(QLatin1Char('@'));
    if (at < 0)
        return isQualifiedName(name);
    return (at == 0 || isQualifiedName(name.first(at))) && isQualifiedName(name.sliced(at + 1));
}

// Plain decimal numbers only: "nan", "inf" and exponents are text to a media server.
std::optional<double> decimalOf(QStringView text)
{
    qsizetype i = 0;
    if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+')))
        ++i;
    qsizetype digits = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'))
            ++digits;
        else if (text[i] == QLatin1Char('.') && !point)
            point = true;
        else
            return std::nullopt;
    }
    if (digits == 0)
        return std::nullopt;
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok ? std::optional<double>(value) : std::nullopt;
}

// A number, or a duration as res@duration writes it ("1:02:03.500", in seconds), so that
// "10:00:00" comes after "9:00:00".
std::optional<double> numberOf(QStringView text)
{
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return decimalOf(text);
    const QList<QStringView> parts = text.split(QLatin1Char(':'));
    if (parts.size() != 3 || parts[0].isEmpty() || parts[1].size() != 2
        || parts[0].front() == QLatin1Char('-') || parts[0].front() == QLatin1Char('+'))
        return std::nullopt;
    const std::optional<double> hours = decimalOf(parts[0]);
    const std::optional<double> minutes = decimalOf(parts[1]);
    const std::optional<double> seconds = decimalOf(parts[2]);
    if (!hours || !minutes || !seconds || parts[1].contains(QLatin1Char('.')) || parts[2].size() < 2
        || !parts[2][0].isDigit() || !parts[2][1].isDigit())
        return std::nullopt;
    return *hours * 3600 + *minutes * 60 + *seconds;
}

struct Token
{
    enum class Kind { End, Open, Close, Word, Operator, String };
    Kind kind = Kind::End;
    QString text;
    qsizetype at = 0;
};

} // namespace

// Recursive descent over the tokens; only parentheses recurse, at most maxDepth deep, and
// "and"/"or" chains are read in loops, so no input nests the parser beyond that.
class SearchParser
{
public:
    explicit SearchParser(QStringView text)
        : text(text)
    { }

    SearchCriteria run()
    {
        SearchCriteria criteria;
        if (text.size() > SearchCriteria::maxLength)
            return fail(criteria,
                QStringLiteral("longer than %1 characters").arg(SearchCriteria::maxLength));
        if (text.trimmed() == QLatin1String("*")) {
            criteria.nodes.push_back(Node {});
            criteria.valid = true;
            return criteria;
        }
        criteria.nodes.push_back(Node {}); // the root, filled in below
        nodes = &criteria.nodes;
        next();
        const std::optional<int> root = orExpression(0);
        if (root && current.kind != Token::Kind::End)
            problem = problem.isEmpty() ? QStringLiteral("unexpected text") : problem;
        if (!root || !problem.isEmpty())
            return fail(criteria, problem.isEmpty() ? QStringLiteral("malformed") : problem);
        // The root sits first, where matches() starts.
        std::swap(criteria.nodes.front(), criteria.nodes.at(std::size_t(*root)));
        for (Node &node : criteria.nodes) {
            for (int &child : node.children)
                child = child == 0 ? *root : child == *root ? 0 : child;
        }
        criteria.valid = true;
        return criteria;
    }

private:
    SearchCriteria fail(SearchCriteria &criteria, const QString &why)
    {
        criteria.nodes.clear();
        criteria.valid = false;
        criteria.error = why + QStringLiteral(" at character %1").arg(current.at);
        return criteria;
    }

    std::optional<int> failHere(const QString &why)
    {
        if (problem.isEmpty())
            problem = why;
        return std::nullopt;
    }

    std::optional<int> add(Node node)
    {
        nodes->push_back(std::move(node));
        return int(nodes->size() - 1);
    }

    bool isKeyword(const char *word) const
    {
        return current.kind == Token::Kind::Word
            && current.text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0;
    }

    // A chain of operands joined by one logical operator, as one node.
    template<typename Operand>
    std::optional<int> chain(const char *word, Node::Kind kind, int depth, Operand operand)
    {
        std::optional<int> first = (this->*operand)(depth);
        if (!first || !isKeyword(word))
            return first;
        Node node;
        node.kind = kind;
        node.children.push_back(*first);
        while (isKeyword(word)) {
            next();
            const std::optional<int> more = (this->*operand)(depth);
            if (!more)
                return std::nullopt;
            node.children.push_back(*more);
        }
        return add(std::move(node));
    }

    std::optional<int> orExpression(int depth)
    {
        return chain("or", Node::Kind::Or, depth, &SearchParser::andExpression);
    }

    std::optional<int> andExpression(int depth)
    {
        return chain("and", Node::Kind::And, depth, &SearchParser::primary);
    }

    std::optional<int> primary(int depth)
    {
        if (current.kind == Token::Kind::Open) {
            if (depth >= SearchCriteria::maxDepth)
                return failHere(
                    QStringLiteral("nested deeper than %1").arg(SearchCriteria::maxDepth));
            next();
            const std::optional<int> inner = orExpression(depth + 1);
            if (!inner)
                return std::nullopt;
            if (current.kind != Token::Kind::Close)
                return failHere(QStringLiteral("missing \")\""));
            next();
            return inner;
        }
        return relation();
    }

    std::optional<int> relation()
    {
        if (current.kind != Token::Kind::Word || !isPropertyName(current.text))
            return failHere(QStringLiteral("property name expected"));
        Node node;
        node.property = current.text;
        next();
        if (isKeyword("exists")) {
            next();
            if (!isKeyword("true") && !isKeyword("false"))
                return failHere(QStringLiteral("\"true\" or \"false\" expected"));
            node.kind = Node::Kind::Exists;
            node.exists = isKeyword("true");
            next();
            return add(std::move(node));
        }
        const std::optional<Node::Op> op = operatorHere();
        if (!op)
            return failHere(QStringLiteral("operator expected"));
        next();
        if (current.kind != Token::Kind::String)
            return failHere(QStringLiteral("quoted value expected"));
        node.kind = Node::Kind::Compare;
        node.op = *op;
        node.value = current.text;
        node.number = numberOf(node.value);
        next();
        return add(std::move(node));
    }

    std::optional<Node::Op> operatorHere() const
    {
        if (current.kind == Token::Kind::Operator) {
            static const std::pair<const char *, Node::Op> symbols[]
                = { { "=", Node::Op::Equal }, { "!=", Node::Op::NotEqual }, { "<", Node::Op::Less },
                      { "<=", Node::Op::LessEqual }, { ">", Node::Op::Greater },
                      { ">=", Node::Op::GreaterEqual } };
            for (const auto &[symbol, op] : symbols) {
                if (current.text == QLatin1String(symbol))
                    return op;
            }
            return std::nullopt;
        }
        if (isKeyword("contains"))
            return Node::Op::Contains;
        if (isKeyword("doesNotContain"))
            return Node::Op::DoesNotContain;
        if (isKeyword("derivedfrom"))
            return Node::Op::DerivedFrom;
        return std::nullopt;
    }

    // Reads the next token into current; a character no token starts with ends the parse.
    void next()
    {
        while (position < text.size() && isBlank(text[position]))
            ++position;
        current = Token {};
        current.at = position;
        if (position >= text.size())
            return;
        const QChar c = text[position];
        if (c == QLatin1Char('(') || c == QLatin1Char(')')) {
            current.kind = c == QLatin1Char('(') ? Token::Kind::Open : Token::Kind::Close;
            ++position;
        } else if (c == QLatin1Char('"')) {
            readString();
        } else if (c == QLatin1Char('=') || c == QLatin1Char('<') || c == QLatin1Char('>')
            || c == QLatin1Char('!')) {
            const qsizetype start = position++;
            if (position < text.size() && text[position] == QLatin1Char('=')
                && c != QLatin1Char('='))
                ++position;
            current.kind = Token::Kind::Operator;
            current.text = text.sliced(start, position - start).toString();
        } else if (isNameChar(c)) {
            const qsizetype start = position;
            while (position < text.size() && isNameChar(text[position]))
                ++position;
            current.kind = Token::Kind::Word;
            current.text = text.sliced(start, position - start).toString();
        } else {
            problem = problem.isEmpty() ? QStringLiteral("unexpected character") : problem;
            position = text.size();
        }
    }

    // A quoted value: only \" and \\ are escapes.
    void readString()
    {
        ++position;
        QString value;
        while (position < text.size()) {
            const QChar c = text[position++];
            if (c == QLatin1Char('"')) {
                current.kind = Token::Kind::String;
                current.text = value;
                return;
            }
            if (c == QLatin1Char('\\')) {
                if (position >= text.size()
                    || (text[position] != QLatin1Char('"') && text[position] != QLatin1Char('\\')))
                    break;
                value += text[position++];
                continue;
            }
            value += c;
        }
        problem = problem.isEmpty() ? QStringLiteral("bad escape or unterminated string") : problem;
        position = text.size();
    }

    QStringView text;
    qsizetype position = 0;
    Token current;
    QString problem;
    std::vector<Node> *nodes = nullptr;
};

SearchCriteria::SearchCriteria() = default;
SearchCriteria::~SearchCriteria() = default;
SearchCriteria::SearchCriteria(const SearchCriteria &) = default;
SearchCriteria &SearchCriteria::operator=(const SearchCriteria &) = default;

SearchCriteria SearchCriteria::parse(QStringView text)
{
    return SearchParser(text).run();
}

bool SearchCriteria::matchesEverything() const
{
    return valid && nodes.front().kind == Node::Kind::All;
}

QStringList SearchCriteria::properties() const
{
    QStringList names;
    for (const Node &node : nodes) {
        if (!node.property.isEmpty() && !names.contains(node.property))
            names.append(node.property);
    }
    return names;
}

bool SearchCriteria::matches(const SearchObject &object) const
{
    return valid && matches(0, object);
}

namespace {

int compareValues(const QString &value, const Node &node)
{
    if (node.number) {
        if (const std::optional<double> number = numberOf(value))
            return *number < *node.number ? -1 : *number > *node.number ? 1 : 0;
    }
    return value.compare(node.value, Qt::CaseInsensitive);
}

// The class value, or one below it: "object.item.audioItem" derives from "object.item".
bool derivesFrom(const QString &value, const QString &base)
{
    if (!value.startsWith(base, Qt::CaseInsensitive))
        return false;
    return value.size() == base.size() || base.endsWith(QLatin1Char('.'))
        || value.at(base.size()) == QLatin1Char('.');
}

bool holds(const QString &value, const Node &node)
{
    switch (node.op) {
    case Node::Op::Equal:
        return compareValues(value, node) == 0;
    case Node::Op::NotEqual:
        return compareValues(value, node) != 0;
    case Node::Op::Less:
        return compareValues(value, node) < 0;
    case Node::Op::LessEqual:
        return compareValues(value, node) <= 0;
    case Node::Op::Greater:
        return compareValues(value, node) > 0;
    case Node::Op::GreaterEqual:
        return compareValues(value, node) >= 0;
    case Node::Op::Contains:
        return value.contains(node.value, Qt::CaseInsensitive);
    case Node::Op::DoesNotContain:
        return !value.contains(node.value, Qt::CaseInsensitive);
    case Node::Op::DerivedFrom:
        return derivesFrom(value, node.value);
    }
    return false;
}

} // namespace

bool SearchCriteria::matches(int index, const SearchObject &object) const
{
    const Node &node = nodes.at(std::size_t(index));
    switch (node.kind) {
    case Node::Kind::All:
        return true;
    case Node::Kind::And:
        return std::all_of(node.children.begin(), node.children.end(),
            [&](int child) { return matches(child, object); });
    case Node::Kind::Or:
        return std::any_of(node.children.begin(), node.children.end(),
            [&](int child) { return matches(child, object); });
    case Node::Kind::Exists:
        return object.values(node.property).isEmpty() != node.exists;
    case Node::Kind::Compare: {
        const QStringList values = object.values(node.property);
        if (values.isEmpty())
            return false;
        const auto test = [&node](const QString &value) { return holds(value, node); };
        // Negative operators hold for the object when they hold for each of its values.
        if (node.op == Node::Op::NotEqual || node.op == Node::Op::DoesNotContain)
            return std::all_of(values.begin(), values.end(), test);
        return std::any_of(values.begin(), values.end(), test);
    }
    }
    return false;
}

SortCriteria::SortCriteria()
    // The C locale collates by code units alone, without numbers or case: a service started
    // without a language set would sort "Track 10" before "Track 2" and "Zoo" before "apple".
    : collator(QLocale().language() == QLocale::C ? QLocale(QLocale::English) : QLocale())
{
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
}

SortCriteria SortCriteria::parse(QStringView text, const QStringList &sortable)
{
    SortCriteria criteria;
    const auto refuse = [&criteria](const QString &why) {
        criteria.valid = false;
        criteria.error = why;
        criteria.sortKeys.clear();
        return criteria;
    };
    for (QStringView part : text.split(QLatin1Char(','))) {
        part = part.trimmed();
        if (part.isEmpty())
            continue;
        Key key;
        if (part.front() == QLatin1Char('+') || part.front() == QLatin1Char('-')) {
            key.descending = part.front() == QLatin1Char('-');
            part = part.sliced(1);
        }
        key.property = part.toString();
        if (!isPropertyName(part))
            return refuse(QStringLiteral("malformed sort key \"%1\"").arg(key.property));
        if (!sortable.contains(key.property))
            return refuse(QStringLiteral("cannot sort by \"%1\"").arg(key.property));
        criteria.sortKeys.append(key);
    }
    return criteria;
}

int SortCriteria::compare(const SearchObject &a, const SearchObject &b) const
{
    for (const Key &key : sortKeys) {
        const QStringList first = a.values(key.property);
        const QStringList second = b.values(key.property);
        int order = 0;
        if (first.isEmpty() || second.isEmpty())
            order = int(!first.isEmpty()) - int(!second.isEmpty());
        else
            order = collator.compare(first.front(), second.front());
        if (order != 0)
            return key.descending ? -order : order;
    }
    return 0;
}

void SortCriteria::sort(std::vector<const SearchObject *> &objects) const
{
    if (sortKeys.isEmpty() || objects.size() < 2)
        return;
    // One collation key per object and sort key: comparing them is a byte comparison.
    const std::size_t width = std::size_t(sortKeys.size());
    std::vector<std::optional<QCollatorSortKey>> made;
    made.reserve(objects.size() * width);
    for (const SearchObject *object : objects) {
        for (const Key &key : sortKeys) {
            const QStringList values = object->values(key.property);
            made.push_back(
                values.isEmpty() ? std::nullopt : std::optional(collator.sortKey(values.front())));
        }
    }
    std::vector<std::size_t> order(objects.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        for (std::size_t k = 0; k < width; ++k) {
            const auto &first = made[a * width + k];
            const auto &second = made[b * width + k];
            int result = 0;
            if (!first || !second)
                result = int(bool(first)) - int(bool(second));
            else
                result = first->compare(*second);
            if (result != 0)
                return sortKeys.at(qsizetype(k)).descending ? result > 0 : result < 0;
        }
        return false;
    });
    std::vector<const SearchObject *> sorted;
    sorted.reserve(objects.size());
    for (const std::size_t i : order)
        sorted.push_back(objects[i]);
    objects = std::move(sorted);
}
