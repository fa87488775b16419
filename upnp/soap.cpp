#include "upnp/soap.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <cstring>

namespace {

const QString envelopeNamespace = QStringLiteral("http://schemas.xmlsoap.org/soap/envelope/");
const QString encodingStyle = QStringLiteral("http://schemas.xmlsoap.org/soap/encoding/");
// Deeper envelopes are not what any client sends.
constexpr int maxDepth = 16;
constexpr int maxArguments = 32;

void openEnvelope(QXmlStreamWriter &xml)
{
    xml.writeStartDocument();
    xml.writeNamespace(envelopeNamespace, QStringLiteral("s"));
    xml.writeStartElement(envelopeNamespace, QStringLiteral("Envelope"));
    xml.writeAttribute(envelopeNamespace, QStringLiteral("encodingStyle"), encodingStyle);
    xml.writeStartElement(envelopeNamespace, QStringLiteral("Body"));
}

} // namespace

namespace {

const char *entityFor(char c)
{
    switch (c) {
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    case '"':
        return "&quot;";
    case '\r':
        return "&#13;";
    default:
        return nullptr;
    }
}

} // namespace

void appendEscaped(QByteArray *out, const QByteArray &text)
{
    // A Browse result is megabytes of markup: its size is counted first and the bytes written
    // into place, rather than appended a piece at a time.
    qsizetype extra = 0;
    for (const char c : text) {
        if (const char *entity = entityFor(c))
            extra += qsizetype(std::strlen(entity)) - 1;
    }
    const qsizetype at = out->size();
    out->resize(at + text.size() + extra);
    char *to = out->data() + at;
    for (const char c : text) {
        if (const char *entity = entityFor(c)) {
            for (; *entity; ++entity)
                *to++ = *entity;
        } else {
            *to++ = c;
        }
    }
}

QString SoapAction::argument(const QString &argumentName) const
{
    for (const auto &[name, value] : arguments) {
        if (name == argumentName)
            return value;
    }
    return QString();
}

namespace {

void openBody(QByteArray *body, const SoapAction &action)
{
    *body += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
             "<s:Envelope xmlns:s=\""
        + envelopeNamespace.toLatin1() + "\" s:encodingStyle=\"" + encodingStyle.toLatin1()
        + "\"><s:Body>";
    // The prefix is declared on the response element itself: some clients look for it there.
    *body += "<u:" + action.name.toUtf8() + "Response xmlns:u=\"";
    appendEscaped(body, action.serviceType.toUtf8());
    *body += "\">";
}

void appendArguments(QByteArray *body, const SoapArguments &arguments)
{
    for (const auto &[argument, value] : arguments) {
        *body += '<' + argument + '>';
        appendEscaped(body, value);
        *body += "</" + argument + '>';
    }
}

void closeBody(QByteArray *body, const SoapAction &action)
{
    *body += "</u:" + action.name.toUtf8() + "Response></s:Body></s:Envelope>\n";
}

} // namespace

SoapReply SoapReply::response(const SoapAction &action, const SoapArguments &arguments)
{
    SoapReply reply;
    qsizetype size = 400;
    for (const auto &argument : arguments)
        size += 2 * argument.first.size() + argument.second.size() * 11 / 10 + 8;
    reply.body.reserve(size);
    openBody(&reply.body, action);
    appendArguments(&reply.body, arguments);
    closeBody(&reply.body, action);
    return reply;
}

SoapReply SoapReply::openResponse(
    const SoapAction &action, const QByteArray &argument, qsizetype reserve)
{
    SoapReply reply;
    reply.body.reserve(reserve + 600);
    openBody(&reply.body, action);
    reply.body += '<' + argument + '>';
    return reply;
}

void SoapReply::closeResponse(
    const SoapAction &action, const QByteArray &argument, const SoapArguments &rest)
{
    body += "</" + argument + '>';
    appendArguments(&body, rest);
    closeBody(&body, action);
}

SoapReply SoapReply::fault(int errorCode, const QString &description)
{
    SoapReply reply;
    reply.status = 500;
    QXmlStreamWriter xml(&reply.body);
    openEnvelope(xml);
    xml.writeStartElement(envelopeNamespace, QStringLiteral("Fault"));
    xml.writeTextElement(QStringLiteral("faultcode"), QStringLiteral("s:Client"));
    xml.writeTextElement(QStringLiteral("faultstring"), QStringLiteral("UPnPError"));
    xml.writeStartElement(QStringLiteral("detail"));
    xml.writeStartElement(QStringLiteral("UPnPError"));
    xml.writeAttribute(QStringLiteral("xmlns"), QStringLiteral("urn:schemas-upnp-org:control-1-0"));
    xml.writeTextElement(QStringLiteral("errorCode"), QString::number(errorCode));
    xml.writeTextElement(QStringLiteral("errorDescription"), description);
    xml.writeEndDocument();
    return reply;
}

bool parseSoapAction(const QByteArray &body, SoapAction *action)
{
    QXmlStreamReader xml(body);
    // Entities a DTD declares are never expanded: a body with a DTD is refused outright.
    xml.setEntityExpansionLimit(0);
    *action = SoapAction();
    // 1 Envelope, 2 Body (or Header, skipped), 3 the action, 4 its arguments.
    int depth = 0;
    bool inBody = false;
    bool haveAction = false;
    QString argumentName;
    QString argumentText;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::DTD:
        case QXmlStreamReader::EntityReference:
            return false;
        case QXmlStreamReader::StartElement:
            if (++depth > maxDepth)
                return false;
            if (depth == 1
                && (xml.name() != u"Envelope" || xml.namespaceUri() != envelopeNamespace)) {
                return false;
            }
            if (depth == 2)
                inBody = xml.name() == u"Body" && xml.namespaceUri() == envelopeNamespace;
            if (depth == 3 && inBody) {
                if (haveAction)
                    return false;
                haveAction = true;
                action->name = xml.name().toString();
                action->serviceType = xml.namespaceUri().toString();
            }
            if (depth == 4 && inBody) {
                if (action->arguments.size() >= maxArguments)
                    return false;
                argumentName = xml.name().toString();
                argumentText.clear();
            }
            break;
        case QXmlStreamReader::EndElement:
            if (depth == 4 && inBody)
                action->arguments.append({ argumentName, argumentText });
            --depth;
            break;
        case QXmlStreamReader::Characters:
            if (depth == 4 && inBody)
                argumentText += xml.text();
            break;
        default:
            break;
        }
    }
    return !xml.hasError() && haveAction && !action->name.isEmpty();
}
