#include "app/trayicon_win.h"

#include <QImage>
#include <QPixmap>

#include <windows.h>

QIcon windowsTrayIcon()
{
    const int size = GetSystemMetrics(SM_CXSMICON);
    auto *icon = static_cast<HICON>(LoadImageW(
        GetModuleHandleW(nullptr), MAKEINTRESOURCEW(2), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
    if (!icon)
        return QIcon();
    const QImage image = QImage::fromHICON(icon);
    DestroyIcon(icon);
    return QIcon(QPixmap::fromImage(image));
}
