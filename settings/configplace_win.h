#pragma once

#include <QString>

// Where hearth.xml lives on Windows. The setup program installs below Program Files, which
// only an administrator may write to: a copy run from there keeps its file per user, in the
// roaming application data ("%APPDATA%\Vela Hearth"), as a Windows user expects.
QString windowsProgramFilesDir();
QString windowsUserConfigDir();
// Whether applicationDir is installedDir or lies below it, compared as Windows compares paths.
bool isWindowsInstalledPlace(const QString &applicationDir, const QString &installedDir);
