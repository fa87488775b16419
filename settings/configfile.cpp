#include "settings/configfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QXmlStreamReader>

namespace {

const QLatin1String fileName("hearth.xml");

// Nothing the program reads lies deeper (library folders stop 200 levels below their
// library element). Deeper elements are skipped, not built: the document takes time
// quadratic in the depth to build, and recursion as deep to free.
constexpr int maximumElementDepth = 256;

// The serialiser writes any character as it stands, but XML cannot hold control characters
// other than tab and line breaks, nor U+FFFE and U+FFFF: one pasted into a name would make
// the whole file unreadable at the next start, and everything after it lost. They are left
// out of the UTF-8 bytes (no byte of a multi-byte sequence is below 0x80).
QByteArray withoutCharactersXmlCannotHold(const QByteArray &utf8)
{
    QByteArray out;
    out.reserve(utf8.size());
    const qsizetype size = utf8.size();
    for (qsizetype i = 0; i < size; ++i) {
        const uchar c = uchar(utf8.at(i));
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            continue;
        if (c == 0xEF && i + 2 < size && uchar(utf8.at(i + 1)) == 0xBF
            && (uchar(utf8.at(i + 2)) == 0xBE || uchar(utf8.at(i + 2)) == 0xBF)) {
            i += 2;
            continue;
        }
        out.append(char(c));
    }
    return out;
}

// Builds from the reader what QDomDocument::setContent builds of everything this program
// reads (elements, attributes, text; white space alone between elements is no text), up to
// the first error. Returns that error in words, or an empty string.
QString buildDocument(QXmlStreamReader &reader, QDomDocument &document)
{
    reader.setNamespaceProcessing(false);
    // The element being read; null outside the root element. (The document itself only comes
    // into being with its first element, so it cannot stand here.)
    QDomNode current;
    int depth = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            if (depth == maximumElementDepth) {
                reader.skipCurrentElement();
                break;
            }
            QDomElement element = document.createElement(reader.qualifiedName().toString());
            const QXmlStreamAttributes attributes = reader.attributes();
            for (const QXmlStreamAttribute &attribute : attributes) {
                element.setAttribute(
                    attribute.qualifiedName().toString(), attribute.value().toString());
            }
            if (depth == 0)
                document.appendChild(element);
            else
                current.appendChild(element);
            current = element;
            ++depth;
            break;
        }
        case QXmlStreamReader::EndElement:
            current = current.parentNode();
            --depth;
            break;
        case QXmlStreamReader::Characters:
            if (depth > 0 && reader.isCDATA())
                current.appendChild(document.createCDATASection(reader.text().toString()));
            else if (depth > 0 && !reader.isWhitespace())
                current.appendChild(document.createTextNode(reader.text().toString()));
            break;
        default:
            break;
        }
    }
    if (!reader.hasError())
        return QString();
    QString message = reader.errorString();
    if (message.endsWith(QLatin1Char('.')))
        message.chop(1);
    return QStringLiteral("line %1, column %2: %3")
        .arg(reader.lineNumber())
        .arg(reader.columnNumber())
        .arg(message);
}

} // namespace

QString configurationPath(const QString &applicationDir)
{
    const QFileInfo dir(applicationDir);
    if (dir.isDir() && dir.isWritable())
        return applicationDir + QLatin1Char('/') + fileName;
    const QString userDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    return userDir + QLatin1Char('/') + fileName;
}

QDomDocument readConfigurationDocument(const QString &path, bool *opened)
{
    QDomDocument document;
    QFile file(path);
    const bool isOpen = file.open(QIODevice::ReadOnly);
    if (isOpen) {
        // A broken file leaves in the document what was read before the error.
        QXmlStreamReader reader(&file);
        buildDocument(reader, document);
        file.close();
    }
    if (opened)
        *opened = isOpen;
    return document;
}

bool writeConfigurationDocument(const QString &path, const QDomDocument &document)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray bytes = withoutCharactersXmlCannotHold(document.toByteArray(4));
    // QSaveFile::commit() does not notice a failed flush of its own buffer (a full disk):
    // flush here, so a short write cancels instead of replacing the old file.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
