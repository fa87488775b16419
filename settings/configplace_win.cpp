#include "settings/configplace_win.h"

#include <QDir>
#include <QFileInfo>

#include <shlobj.h>
#include <windows.h>

namespace {

QString knownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    QString result;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path)))
        result = QDir::fromNativeSeparators(QString::fromWCharArray(path));
    CoTaskMemFree(path);
    return result;
}

QString comparable(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

QString windowsUserConfigDir()
{
    return knownFolder(FOLDERID_RoamingAppData) + QLatin1String("/Vela Hearth");
}

QString windowsInstalledDir(const QString &applicationDir)
{
    return QFileInfo::exists(applicationDir + QLatin1String("/installed.ini")) ? applicationDir
                                                                               : QString();
}

bool isWindowsInstalledPlace(const QString &applicationDir, const QString &installedDir)
{
    return !installedDir.isEmpty()
        && comparable(applicationDir).compare(comparable(installedDir), Qt::CaseInsensitive) == 0;
}
