#include "settings/configfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
const QLatin1String fileName("hearth.xml");
}

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
    const QByteArray bytes = document.toByteArray(4);
    // QSaveFile::commit() does not notice a failed flush of its own buffer (a full disk):
    // flush here, so a short write cancels instead of replacing the old file.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
