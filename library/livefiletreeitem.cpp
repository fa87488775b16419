#include "library/livefiletreeitem.h"

#include "library/itemicons.h"

#include <QDir>

LiveFileTreeItem::LiveFileTreeItem(const QFileInfo &info, int mediaType)
    : TreeItem(FileKind, info)
{
    setIcon(0, ItemIcons::file(mediaType, true));
    setText(0, info.fileName());
    setToolTip(0, QLatin1String("file path:\n") + QDir::toNativeSeparators(info.filePath()));
}
