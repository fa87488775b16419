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
#include <utility>
#include <vector>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace {

const QLatin1String fileName("hearth.xml");

// Nothing the program reads lies deeper (library folders stop 200 levels below their
// library element). Deeper elements are skipped, not built: the document takes time
// quadratic in the depth to build, and recursion as deep to free.
constexpr int maximumElementDepth = 256;

// A library of 100,000 entries takes about 15 MiB; a file larger than this is something
// else, refused rather than read into memory.
constexpr qint64 maximumFileSize = qint64(64) * 1024 * 1024;

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
    qsizetype run = 0; // where the UTF-8 not yet appended starts
    while (i < bytes.size()) {
        const int length = utf8SequenceLength(bytes, i);
        if (length == 0) {
            text.append(QString::fromUtf8(bytes.constData() + run, i - run));
            text.append(QChar(char16_t(uchar(bytes.at(i)))));
            *otherBytes = true;
            run = ++i;
        } else {
            i += length;
        }
    }
    text.append(QString::fromUtf8(bytes.constData() + run, i - run));
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

// Whether the document holds anything of a configuration: a "hearth" root, or a root of
// another name that holds one of the elements the program reads. A program, a video or
// another program's XML reads as nothing of the kind.
bool holdsConfiguration(const QDomDocument &document)
{
    const QDomElement root = document.documentElement();
    if (root.isNull())
        return false;
    if (root.tagName() == QLatin1String("hearth"))
        return true;
    for (const char *name : { "settings", "video_tree", "audio_tree", "pictures_tree" }) {
        if (!root.firstChildElement(QLatin1String(name)).isNull())
            return true;
    }
    return false;
}

// The attributes the program writes, in the order it sets them; any other follows by name.
// The document keeps attributes in a hash, whose order changes from run to run.
int attributeRank(const QString &name)
{
    static const char *const order[]
        = { "name", "path", "enabled", "square_pixels", "tv_system", "tv_format", "min", "max" };
    for (int i = 0; i < int(std::size(order)); ++i) {
        if (name == QLatin1String(order[i]))
            return i;
    }
    return int(std::size(order));
}

// Escapes as the toolkit's own serialiser does, so files stay byte for byte as before.
void appendEscaped(QString &out, const QString &text, bool attribute)
{
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        switch (c.unicode()) {
        case u'<':
            out += QLatin1String("&lt;");
            break;
        case u'&':
            out += QLatin1String("&amp;");
            break;
        case u'"':
            out += attribute ? QLatin1String("&quot;") : QLatin1String("\"");
            break;
        case u'>':
            // Only "]]>" needs it.
            if (i >= 2 && text.at(i - 1) == u']' && text.at(i - 2) == u']')
                out += QLatin1String("&gt;");
            else
                out += c;
            break;
        case u'\r':
            out += QLatin1String("&#xd;");
            break;
        case u'\n':
            out += attribute ? QLatin1String("&#xa;") : QLatin1String("\n");
            break;
        case u'\t':
            out += attribute ? QLatin1String("&#x9;") : QLatin1String("\t");
            break;
        default:
            out += c;
        }
    }
}

bool isText(const QDomNode &node)
{
    return node.isText() || node.isCDATASection();
}

// Elements indented by 4 per level, each on a line of its own unless it follows or precedes
// text; an element whose first child is text holds it on the same line.
void appendNode(QString &out, const QDomNode &node, int depth)
{
    if (isText(node)) {
        appendEscaped(out, node.nodeValue(), false);
        return;
    }
    if (!node.isElement())
        return;
    const QDomElement element = node.toElement();
    const QString indent(depth * 4, QLatin1Char(' '));
    if (!isText(node.previousSibling()))
        out += indent;
    out += QLatin1Char('<') + element.tagName();
    const QDomNamedNodeMap map = element.attributes();
    std::vector<std::pair<QString, QString>> attributes;
    for (int i = 0; i < map.count(); ++i)
        attributes.emplace_back(map.item(i).nodeName(), map.item(i).nodeValue());
    std::sort(attributes.begin(), attributes.end(), [](const auto &a, const auto &b) {
        const int rankA = attributeRank(a.first);
        const int rankB = attributeRank(b.first);
        return rankA != rankB ? rankA < rankB : a.first < b.first;
    });
    for (const auto &[name, value] : attributes) {
        out += QLatin1Char(' ') + name + QLatin1String("=\"");
        appendEscaped(out, value, true);
        out += QLatin1Char('"');
    }
    if (element.hasChildNodes()) {
        out += QLatin1Char('>');
        if (!isText(element.firstChild()))
            out += QLatin1Char('\n');
        for (QDomNode child = element.firstChild(); !child.isNull(); child = child.nextSibling())
            appendNode(out, child, depth + 1);
        if (!isText(element.lastChild()))
            out += indent;
        out += QLatin1String("</") + element.tagName() + QLatin1Char('>');
    } else {
        out += QLatin1String("/>");
    }
    if (!isText(node.nextSibling()))
        out += QLatin1Char('\n');
}

// Why the file at path is no file to read, or an empty string. ENOENT counts as fine: it is
// a first start.
QString kindOfFile(const QString &path, bool *missing)
{
    *missing = false;
#ifdef Q_OS_UNIX
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        if (errno == ENOENT) {
            *missing = true;
            return QString();
        }
        return QLatin1String("it cannot be reached (") + qt_error_string(errno) + QLatin1Char(')');
    }
    if (S_ISREG(info.st_mode))
        return QString();
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("it is a directory, not a file");
    if (S_ISFIFO(info.st_mode))
        return QStringLiteral("it is a FIFO, not a file");
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))
        return QStringLiteral("it is a device, not a file");
    if (S_ISSOCK(info.st_mode))
        return QStringLiteral("it is a socket, not a file");
    return QStringLiteral("it is not a regular file");
#elif defined(Q_OS_WIN)
    // Asked of the object itself, opened without access: a device name (NUL, CON, COM1) or a
    // named pipe looks like a file to a path check.
    const HANDLE handle
        = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), 0,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            *missing = !QFileInfo(path).isSymLink();
            return *missing ? QString() : QStringLiteral("it is a link to nowhere");
        }
        return QLatin1String("it cannot be reached (") + qt_error_string(int(error))
            + QLatin1Char(')');
    }
    const DWORD type = GetFileType(handle);
    BY_HANDLE_FILE_INFORMATION info = {};
    const bool known = type == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    if (type == FILE_TYPE_CHAR)
        return QStringLiteral("it is a device, not a file");
    if (type == FILE_TYPE_PIPE)
        return QStringLiteral("it is a named pipe, not a file");
    if (!known)
        return QStringLiteral("it is not a regular file");
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return QStringLiteral("it is a directory, not a file");
    return QString();
#else
    const QFileInfo info(path);
    if (!info.exists()) {
        *missing = !info.isSymLink();
        return *missing ? QString() : QStringLiteral("it is a link to nowhere");
    }
    if (info.isDir())
        return QStringLiteral("it is a directory, not a file");
    return info.isFile() ? QString() : QStringLiteral("it is not a regular file");
#endif
}

// Opens path for reading if it is a regular file. Opened without waiting and checked again on
// what was opened, so a FIFO or a device put in its place cannot stall or feed the start.
QString openRegularFile(const QString &path, QFile &file)
{
#ifdef Q_OS_UNIX
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return QLatin1String("it cannot be read (") + qt_error_string(errno) + QLatin1Char(')');
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return QStringLiteral("it is not a regular file");
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return QLatin1String("it cannot be read (") + file.errorString() + QLatin1Char(')');
    }
#elif defined(Q_OS_WIN)
    // Checked again on the handle that is read, for what was put in the file's place since.
    const HANDLE handle
        = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
            GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return QLatin1String("it cannot be read (") + qt_error_string(int(GetLastError()))
            + QLatin1Char(')');
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)
        || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        return QStringLiteral("it is not a regular file");
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return QStringLiteral("it cannot be read (no descriptor for it)");
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        _close(fd);
        return QLatin1String("it cannot be read (") + file.errorString() + QLatin1Char(')');
    }
#else
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return QLatin1String("it cannot be read (") + file.errorString() + QLatin1Char(')');
#endif
    return QString();
}

// A save by another user (root) must leave the file with its owner and mode: replaced by a
// file of the saver's, its owner could no longer read it. Nothing to do on Windows: the new
// file takes the folder's inherited ACL, as the old one did.
void keepOwnerAndMode([[maybe_unused]] const QString &path, [[maybe_unused]] int fd)
{
#ifdef Q_OS_UNIX
    struct stat old = {};
    if (fd < 0 || ::stat(QFile::encodeName(path).constData(), &old) != 0 || !S_ISREG(old.st_mode))
        return;
    // As far as permitted: another user's file keeps at least its group where that is ours.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        [[maybe_unused]] const int ignored = ::fchown(fd, uid_t(-1), old.st_gid);
    }
    [[maybe_unused]] const int ignored = ::fchmod(fd, old.st_mode & 07777);
#endif
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

QString configurationReadPath(const QString &applicationDir, const QString &installedDir)
{
    const QString path = configurationPath(applicationDir, installedDir);
    const QString beside = applicationDir + QLatin1Char('/') + fileName;
#ifdef Q_OS_WIN
    const bool isInstalled = isWindowsInstalledPlace(applicationDir, installedDir);
#else
    const QString installed = QFileInfo(installedDir).canonicalFilePath();
    const bool isInstalled
        = !installed.isEmpty() && QFileInfo(applicationDir).canonicalFilePath() == installed;
#endif
    if (path == beside || isInstalled || QFileInfo::exists(path) || !QFileInfo::exists(beside))
        return path;
    return beside;
}

ConfigurationRead readConfiguration(const QString &path)
{
    ConfigurationRead read;
    bool missing = false;
    read.refusal = kindOfFile(path, &missing);
    if (missing) {
        qCInfo(lcConfig).noquote() << "no configuration at" << path << "- starting afresh";
        return read;
    }
    QFile file;
    if (read.refusal.isEmpty())
        read.refusal = openRegularFile(path, file);
    if (read.refusal.isEmpty() && file.size() > maximumFileSize)
        read.refusal
            = QStringLiteral("it is larger than 64 MiB, far larger than any configuration");
    if (!read.refusal.isEmpty())
        return read;
    read.opened = true;
    qCInfo(lcConfig).noquote() << "reading" << path;

    QStringList problems;
    read.bytes.reserve(file.size());
    while (read.bytes.size() <= maximumFileSize) {
        const QByteArray chunk = file.read(1024 * 1024);
        if (chunk.isEmpty())
            break;
        read.bytes += chunk;
    }
    if (read.bytes.size() > maximumFileSize) {
        // It grew past the bound while being read.
        read.bytes.clear();
        read.refusal
            = QStringLiteral("it is larger than 64 MiB, far larger than any configuration");
        return read;
    }
    if (file.error() != QFileDevice::NoError)
        problems.append(QLatin1String("reading it failed: ") + file.errorString());
    else
        read.bytesComplete = true;
    file.close();
    const QByteArray &bytes = read.bytes;

    // An empty file holds nothing to lose: the defaults, as on a first start, but no question.
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    if (read.bytesComplete && std::all_of(bytes.cbegin(), bytes.cend(), isBlank))
        return read;

    QXmlStreamReader reader(bytes);
    QString error = buildDocument(reader, read.document);
    // Stopped at the first character: nothing of it is XML, however it is decoded.
    const bool noXmlAtAll = reader.lineNumber() == 1 && reader.columnNumber() <= 1;
    if (!error.isEmpty() && !noXmlAtAll) {
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
    if (!holdsConfiguration(read.document)) {
        // Adopting it would replace it at quit with a configuration of defaults.
        read.refusal = QLatin1String("nothing in it reads as a Vela Hearth configuration")
            + (error.isEmpty() ? QString() : QLatin1String(" (") + error + QLatin1Char(')'));
        return read;
    }
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

QByteArray serializeConfiguration(const QDomDocument &document)
{
    QString text;
    for (QDomNode node = document.firstChild(); !node.isNull(); node = node.nextSibling())
        appendNode(text, node, 0);
    return withoutCharactersXmlCannotHold(text.toUtf8());
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
    keepOwnerAndMode(path, file.handle());
    const QByteArray bytes = serializeConfiguration(document);
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
