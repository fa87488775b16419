#include "settings/configfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

const QLatin1String fileName("hearth.xml");

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
        // A broken file leaves in the document what the parser built before the error.
        document.setContent(&file);
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
