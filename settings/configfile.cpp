#include "settings/configfile.h"

#include "settings/configlog.h"
#ifdef Q_OS_WIN
#include "settings/configplace_win.h"
#endif

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>
#include <QXmlStreamReader>

#include <algorithm>

namespace {

const QLatin1String fileName("hearth.xml");

// Nothing the program reads lies deeper (library folders stop 200 levels below their
// library element). Deeper elements are skipped, not built: the document takes time
// quadratic in the depth to build, and recursion as deep to free.
constexpr int maximumElementDepth = 256;

// Even a library of a million entries stays far below this; reading stops here rather than
// fill memory from something that is no configuration file.
constexpr qint64 maximumFileSize = qint64(256) * 1024 * 1024;

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

// The length of the well-formed UTF-8 sequence at bytes[i], or 0 when there is none.
int utf8SequenceLength(const QByteArray &bytes, qsizetype i)
{
    const auto at = [&](qsizetype k) { return k < bytes.size() ? uchar(bytes.at(k)) : 0; };
    const uchar lead = at(i);
    const auto continuation = [&](qsizetype k) { return (at(k) & 0xC0) == 0x80; };
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return continuation(i + 1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const uchar second = at(i + 1);
        // No overlong forms, no surrogates.
        if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F))
            return 0;
        return continuation(i + 1) && continuation(i + 2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const uchar second = at(i + 1);
        if ((lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
            return 0;
        return continuation(i + 1) && continuation(i + 2) && continuation(i + 3) ? 4 : 0;
    }
    return 0;
}

// UTF-8 where the bytes are UTF-8; every other byte stands for the Latin-1 character of its
// value, as an editor working in Latin-1 writes "Caf\xe9". Names written by us stay as they
// were, and the other bytes keep their meaning instead of ending the reading.
QString decodeLeniently(const QByteArray &bytes, bool *otherBytes)
{
    QString text;
    text.reserve(bytes.size());
    *otherBytes = false;
    qsizetype i = 0;
    while (i < bytes.size()) {
        const int length = utf8SequenceLength(bytes, i);
        if (length == 0) {
            text.append(QChar(char16_t(uchar(bytes.at(i)))));
            *otherBytes = true;
            ++i;
        } else {
            text.append(QString::fromUtf8(bytes.constData() + i, length));
            i += length;
        }
    }
    return text;
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

// Whether name is in use, a link to nowhere included.
bool nameTaken(const QString &name)
{
    const QFileInfo info(name);
    return info.exists() || info.isSymLink();
}

bool sameBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return !QFileInfo(path).isSymLink() && file.size() == bytes.size()
        && file.open(QIODevice::ReadOnly) && file.readAll() == bytes;
}

} // namespace

QString configurationPath(const QString &applicationDir, const QString &installedDir)
{
    const QFileInfo dir(applicationDir);
#ifdef Q_OS_WIN
    // Paths compare without regard to case there.
    const bool isInstalled = isWindowsInstalledPlace(applicationDir, installedDir);
    if (!isInstalled && dir.isDir() && dir.isWritable())
        return applicationDir + QLatin1Char('/') + fileName;
    return windowsUserConfigDir() + QLatin1Char('/') + fileName;
#else
    // Compared as the file system resolves them: /usr/bin and /bin are one on merged systems.
    const QString installed = QFileInfo(installedDir).canonicalFilePath();
    const bool isInstalled = !installed.isEmpty() && dir.canonicalFilePath() == installed;
    if (!isInstalled && dir.isDir() && dir.isWritable())
        return applicationDir + QLatin1Char('/') + fileName;
    const QString userDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    return userDir + QLatin1Char('/') + fileName;
#endif
}

ConfigurationRead readConfiguration(const QString &path)
{
    ConfigurationRead read;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCInfo(lcConfig).noquote() << "no configuration at" << path << "- starting afresh";
        return read;
    }
    read.opened = true;
    qCInfo(lcConfig).noquote() << "reading" << path;

    QStringList problems;
    read.bytes.reserve(qMin(file.size(), maximumFileSize + 1));
    while (read.bytes.size() <= maximumFileSize) {
        const QByteArray chunk = file.read(1024 * 1024);
        if (chunk.isEmpty())
            break;
        read.bytes += chunk;
    }
    if (file.error() != QFileDevice::NoError) {
        problems.append(QLatin1String("reading it failed: ") + file.errorString());
    } else if (read.bytes.size() > maximumFileSize) {
        problems.append(QLatin1String("only its first 256 MiB were read"));
    } else {
        read.bytesComplete = true;
    }
    file.close();
    const QByteArray bytes = read.bytes.left(maximumFileSize);

    // An empty file holds nothing to lose: the defaults, as on a first start, but no question.
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    if (read.bytesComplete && std::all_of(bytes.cbegin(), bytes.cend(), isBlank))
        return read;

    QXmlStreamReader reader(bytes);
    QString error = buildDocument(reader, read.document);
    if (!error.isEmpty()) {
        // The reader stops at the first byte that is not UTF-8, however early: read again
        // with such bytes taken as Latin-1, so the libraries after it survive.
        bool otherBytes = false;
        const QString text = decodeLeniently(bytes, &otherBytes);
        if (otherBytes) {
            problems.append(QLatin1String(
                "it is not all UTF-8; the bytes that are not were read as Latin-1 characters"));
            read.document = QDomDocument();
            QXmlStreamReader lenient(text);
            error = buildDocument(lenient, read.document);
        }
    }
    if (!error.isEmpty())
        problems.append(error);
    read.problem = problems.join(QLatin1String("; "));
    return read;
}

QString keepAside(const QString &path, const ConfigurationRead &read, QString *error)
{
    const QString base = path + QLatin1String(".broken");
    for (int i = 0; i < 1000; ++i) {
        const QString candidate = i == 0 ? base : base + QLatin1Char('.') + QString::number(i);
        if (nameTaken(candidate)) {
            // A start that ended early (a port taken, a restart loop) kept these very bytes
            // already: that copy serves, rather than one more of the same.
            if (read.bytesComplete && sameBytes(candidate, read.bytes))
                return candidate;
            continue;
        }
        if (!read.bytesComplete) {
            // Not all of it could be read, so no copy would be whole: the file itself goes.
            QFile file(path);
            if (file.rename(candidate))
                return candidate;
            if (nameTaken(candidate))
                continue;
            *error = file.errorString();
            return QString();
        }
        // A copy of the bytes read leaves the file in place until the save at quit.
        QFile copy(candidate);
        if (!copy.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (nameTaken(candidate))
                continue;
            *error = copy.errorString();
            return QString();
        }
        if (copy.write(read.bytes) != read.bytes.size() || !copy.flush()) {
            *error = copy.errorString();
            copy.close();
            copy.remove();
            return QString();
        }
        copy.close();
        return candidate;
    }
    *error = QLatin1String("every name up to ") + base + QLatin1String(".999 is taken");
    return QString();
}

bool writeConfigurationDocument(const QString &path, const QDomDocument &document, QString *error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    const auto failed = [&] {
        if (error)
            *error = file.errorString();
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return failed();
    const QByteArray bytes = withoutCharactersXmlCannotHold(document.toByteArray(4));
    // QSaveFile::commit() does not notice a failed flush of its own buffer (a full disk):
    // flush here, so a short write cancels instead of replacing the old file.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        if (error)
            *error = reason;
        return false;
    }
    if (!file.commit())
        return failed();
    qCInfo(lcConfig).noquote() << "saved" << path;
    return true;
}
