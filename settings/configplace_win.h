#pragma once

#include <QString>

// Where hearth.xml lives on Windows. The setup program marks the copy it installs with
// installed.ini beside hearth.exe; that copy keeps its file per user, in the roaming
// application data ("%APPDATA%\Vela Hearth"), as a Windows user expects. Any other copy (the
// portable zip, a build) keeps it beside itself.
QString windowsUserConfigDir();
// applicationDir when the setup program installed the copy there, else empty.
QString windowsInstalledDir(const QString &applicationDir);
// Whether applicationDir is installedDir, compared as Windows compares paths.
bool isWindowsInstalledPlace(const QString &applicationDir, const QString &installedDir);
