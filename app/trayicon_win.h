#pragma once

#include <QIcon>

// The notification-area icon hearth.exe carries (icon group 2, drawn for 16 x 16 pixels);
// null when the program has none (the tests).
QIcon windowsTrayIcon();
