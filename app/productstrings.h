#pragma once

#include <QString>

// The product's own words, shown in the About box, the title bar and to players. The version
// numbers come from the build (project(VERSION ...)).
inline QString versionString()
{
    return QString::number(HEARTH_VERSION_MAJOR) + QLatin1Char('.')
        + QString::number(HEARTH_VERSION_MINOR) + QLatin1Char('.')
        + QString::number(HEARTH_VERSION_PATCH);
}

inline QString applicationTitle()
{
    return QLatin1String("Vela Hearth") + QLatin1String(" v. ") + versionString();
}

inline QString defaultServerName()
{
    return QStringLiteral("My Hearth");
}
