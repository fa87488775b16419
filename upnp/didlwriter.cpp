#include "upnp/didlwriter.h"

#include <cstring>

namespace {

// What a character of text or of an attribute value becomes; null: itself. Escaped for the
// envelope, an entity's own '&' is escaped once more ("&amp;lt;").
const char *entityFor(char32_t c, bool attribute, bool escaped)
{
    switch (c) {
    case '&':
        return escaped ? "&amp;amp;" : "&amp;";
    case '<':
        return escaped ? "&amp;lt;" : "&lt;";
    case '>':
        return escaped ? "&amp;gt;" : "&gt;";
    case '"':
        return escaped ? "&amp;quot;" : "&quot;";
    case '\t':
        return !attribute ? nullptr : escaped ? "&amp;#9;" : "&#9;";
    case '\n':
        return !attribute ? nullptr : escaped ? "&amp;#10;" : "&#10;";
    case '\r':
        // In text it reaches the envelope as it is, which keeps it only as a reference.
        return attribute ? (escaped ? "&amp;#13;" : "&#13;") : escaped ? "&#13;" : nullptr;
    default:
        return nullptr;
    }
}

// Characters XML cannot carry at all, which a file name may hold: left out, so one such name
// does not make the whole listing unreadable. (A lone surrogate becomes U+FFFD.)
bool forbidden(char32_t c)
{
    return (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xfffe || c == 0xffff;
}

} // namespace

DidlWriter::DidlWriter(QByteArray *out, bool escaped)
    : out(out)
    , escaped(escaped)
{
    open.reserve(8);
}

void DidlWriter::writeNamespace(const QString &namespaceUri, const QString &prefix)
{
    const QByteArray name = prefix.toUtf8();
    for (auto &known : prefixes) {
        if (known.first == namespaceUri && known.second == name)
            return;
    }
    prefixes.emplace_back(namespaceUri, name);
    if (startTagOpen)
        appendDeclaration(name, namespaceUri);
    else
        pending.emplace_back(name, namespaceUri);
}

void DidlWriter::writeDefaultNamespace(const QString &namespaceUri)
{
    writeNamespace(namespaceUri, QString());
}

QByteArray DidlWriter::qualified(const QString &namespaceUri, const QString &name)
{
    if (namespaceUri.isEmpty())
        return name.toUtf8();
    for (const auto &[uri, prefix] : prefixes) {
        if (uri == namespaceUri)
            return prefix.isEmpty() ? name.toUtf8() : prefix + ':' + name.toUtf8();
    }
    // A namespace never declared gets a prefix of its own, declared where it is first used.
    const QString prefix = QStringLiteral("n%1").arg(prefixes.size());
    writeNamespace(namespaceUri, prefix);
    return prefix.toUtf8() + ':' + name.toUtf8();
}

void DidlWriter::closeStartTag()
{
    if (startTagOpen) {
        appendMarkup(">");
        startTagOpen = false;
    }
}

void DidlWriter::appendMarkup(QByteArrayView text)
{
    if (!escaped) {
        out->append(text);
        return;
    }
    // The envelope's text needs '<' as an entity, and '>' by custom; a quote in text needs
    // none (a fifth of a listing's bytes, and of the time a client takes to read it).
    const char *run = text.data();
    const char *const end = run + text.size();
    for (const char *at = run; at != end; ++at) {
        if (*at != '<' && *at != '>')
            continue;
        out->append(run, at - run);
        out->append(*at == '<' ? "&lt;" : "&gt;", 4);
        run = at + 1;
    }
    out->append(run, end - run);
}

void DidlWriter::appendUtf8(QByteArrayView text, bool attribute)
{
    // Runs with nothing to escape are copied whole.
    const char *run = text.data();
    const char *const end = text.data() + text.size();
    for (const char *at = run; at != end; ++at) {
        const auto c = static_cast<unsigned char>(*at);
        const char *entity = entityFor(c, attribute, escaped);
        if (!entity && !forbidden(c))
            continue;
        out->append(run, at - run);
        if (entity)
            out->append(entity);
        run = at + 1;
    }
    out->append(run, end - run);
}

void DidlWriter::appendText(const QString &text, bool attribute)
{
    // UTF-8 written as it is read, so a name is neither copied nor scanned twice.
    const qsizetype at = out->size();
    out->resize(at + text.size() * 3);
    char *to = out->data() + at;
    const auto *from = reinterpret_cast<const char16_t *>(text.utf16());
    const char16_t *const end = from + text.size();
    while (from != end) {
        char32_t c = *from++;
        if (c < 0x80) {
            const char *entity = entityFor(c, attribute, escaped);
            if (!entity) {
                if (!forbidden(c))
                    *to++ = char(c);
                continue;
            }
            // Entities are longer than a character's three bytes: make room for them.
            const qsizetype done = to - out->data();
            const qsizetype left = (end - from) * 3;
            const auto length = qsizetype(std::strlen(entity));
            out->resize(done + length + left);
            to = out->data() + done;
            std::memcpy(to, entity, length);
            to += length;
            continue;
        }
        if (QChar::isHighSurrogate(c) && from != end && QChar::isLowSurrogate(*from))
            c = QChar::surrogateToUcs4(char16_t(c), *from++);
        else if (QChar::isSurrogate(c))
            c = QChar::ReplacementCharacter;
        else if (forbidden(c))
            continue;
        if (c < 0x800) {
            *to++ = char(0xc0 | (c >> 6));
            *to++ = char(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            *to++ = char(0xe0 | (c >> 12));
            *to++ = char(0x80 | ((c >> 6) & 0x3f));
            *to++ = char(0x80 | (c & 0x3f));
        } else {
            // Two code units in, four bytes out: within the three a unit was given.
            *to++ = char(0xf0 | (c >> 18));
            *to++ = char(0x80 | ((c >> 12) & 0x3f));
            *to++ = char(0x80 | ((c >> 6) & 0x3f));
            *to++ = char(0x80 | (c & 0x3f));
        }
    }
    out->resize(to - out->data());
}

void DidlWriter::appendDeclaration(QByteArrayView prefix, const QString &namespaceUri)
{
    appendMarkup(prefix.isEmpty() ? QByteArrayView(" xmlns=\"") : QByteArrayView(" xmlns:"));
    if (!prefix.isEmpty()) {
        out->append(prefix);
        appendMarkup("=\"");
    }
    appendText(namespaceUri, true);
    appendMarkup("\"");
}

void DidlWriter::writeStartElement(const char *qualifiedName)
{
    // Names given so are literals: kept without a copy while the element is open.
    startElement(QByteArray::fromRawData(qualifiedName, qsizetype(std::strlen(qualifiedName))));
}

void DidlWriter::startElement(const QByteArray &qualifiedName)
{
    closeStartTag();
    appendMarkup("<");
    out->append(qualifiedName);
    open.push_back(qualifiedName);
    startTagOpen = true;
    for (const auto &[prefix, uri] : pending)
        appendDeclaration(prefix, uri);
    pending.clear();
}

void DidlWriter::writeStartElement(const QString &namespaceUri, const QString &name)
{
    // Closed first, so a namespace not yet declared is declared on this element.
    closeStartTag();
    startElement(qualified(namespaceUri, name));
}

void DidlWriter::writeAttribute(const char *qualifiedName, const QByteArray &value)
{
    attribute(qualifiedName, value);
}

void DidlWriter::attribute(QByteArrayView name, QByteArrayView value)
{
    Q_ASSERT(startTagOpen);
    out->append(' ');
    out->append(name);
    appendMarkup("=\"");
    appendUtf8(value, true);
    appendMarkup("\"");
}

void DidlWriter::writeAttribute(const QString &name, const QString &value)
{
    Q_ASSERT(startTagOpen);
    out->append(' ');
    out->append(name.toUtf8());
    appendMarkup("=\"");
    appendText(value, true);
    appendMarkup("\"");
}

void DidlWriter::writeAttribute(
    const QString &namespaceUri, const QString &name, const QString &value)
{
    attribute(qualified(namespaceUri, name), value.toUtf8());
}

void DidlWriter::writeCharacters(const QByteArray &text)
{
    closeStartTag();
    appendUtf8(text, false);
}

void DidlWriter::writeCharacters(const QString &text)
{
    closeStartTag();
    appendText(text, false);
}

void DidlWriter::writeTextElement(const char *qualifiedName, const QByteArray &text)
{
    writeStartElement(qualifiedName);
    writeCharacters(text);
    writeEndElement();
}

void DidlWriter::writeTextElement(const char *qualifiedName, const QString &text)
{
    writeStartElement(qualifiedName);
    writeCharacters(text);
    writeEndElement();
}

void DidlWriter::writeTextElement(
    const QString &namespaceUri, const QString &name, const QString &text)
{
    writeStartElement(namespaceUri, name);
    writeCharacters(text);
    writeEndElement();
}

void DidlWriter::writeEndElement()
{
    Q_ASSERT(!open.empty());
    if (startTagOpen) {
        // Nothing inside: "<res/>" as QXmlStreamWriter writes it.
        appendMarkup("/>");
        startTagOpen = false;
    } else {
        appendMarkup("</");
        out->append(open.back());
        appendMarkup(">");
    }
    open.pop_back();
}
