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

QString windowsProgramFilesDir()
{
    return knownFolder(FOLDERID_ProgramFiles);
}

QString windowsUserConfigDir()
{
    return knownFolder(FOLDERID_RoamingAppData) + QLatin1String("/Vela Hearth");
}

bool isWindowsInstalledPlace(const QString &applicationDir, const QString &installedDir)
{
    if (installedDir.isEmpty())
        return false;
    const QString dir = comparable(applicationDir);
    QString base = comparable(installedDir);
    if (dir.compare(base, Qt::CaseInsensitive) == 0)
        return true;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return dir.startsWith(base, Qt::CaseInsensitive);
}
