#pragma once

#include <QString>

// The product's own words, shown in the About box, the title bar and to players.
inline QString versionString()
{
    return QString::number(3) + QLatin1Char('.') + QString::number(0) + QLatin1Char('.')
        + QString::number(0);
}

inline QString applicationTitle()
{
    return QLatin1String("Vela Hearth") + QLatin1String(" v. ") + versionString();
}

inline QString defaultServerName()
{
    return QStringLiteral("My Hearth");
}
