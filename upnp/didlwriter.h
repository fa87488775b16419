#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <vector>

// Writes DIDL-Lite straight into the form it travels in: the markup escaped once more, as the
// text of a SOAP argument, so a listing of megabytes is written in one pass and never held
// twice. Calls are those of QXmlStreamWriter that DIDL needs; the namespaces DIDL uses are
// written with fixed prefixes (dc, upnp, dlna, sec; DIDL's own is the default one).
class DidlWriter
{
public:
    // Appends to `out`; `escaped` false writes plain DIDL (what the envelope's text reads as).
    explicit DidlWriter(QByteArray *out, bool escaped = true);

    // Ends the start tag still open, so that what follows in `out` may be written elsewhere.
    void closeStartTag();

    // Declared on the next start element, or on the one still open.
    void writeNamespace(const QString &namespaceUri, const QString &prefix);
    void writeDefaultNamespace(const QString &namespaceUri);

    void writeStartElement(const QString &namespaceUri, const QString &name);
    void writeAttribute(const QString &name, const QString &value);
    void writeAttribute(const QString &namespaceUri, const QString &name, const QString &value);
    void writeTextElement(const QString &namespaceUri, const QString &name, const QString &text);
    void writeCharacters(const QString &text);
    void writeEndElement();

    // The same with the prefix written out ("dc:title", a string literal) and values already in
    // UTF-8 (URLs, numbers, names of our own).
    void writeStartElement(const char *qualifiedName);
    void writeAttribute(const char *qualifiedName, const QByteArray &value);
    void writeTextElement(const char *qualifiedName, const QByteArray &text);
    void writeTextElement(const char *qualifiedName, const QString &text);
    void writeCharacters(const QByteArray &text);

private:
    QByteArray qualified(const QString &namespaceUri, const QString &name);
    // Markup: '<', '>' and '"' as the envelope needs them.
    void appendMarkup(QByteArrayView text);
    void appendUtf8(QByteArrayView text, bool attribute);
    void startElement(const QByteArray &qualifiedName);
    void attribute(QByteArrayView qualifiedName, QByteArrayView value);
    void appendText(const QString &text, bool attribute);
    void appendDeclaration(QByteArrayView prefix, const QString &namespaceUri);

    QByteArray *out;
    bool escaped;
    bool startTagOpen = false;
    std::vector<QByteArray> open;
    std::vector<std::pair<QString, QByteArray>> prefixes; // namespace, prefix ("" the default)
    std::vector<std::pair<QByteArray, QString>> pending; // declarations for the next element
};
