#include "library/filetreeitem.h"

#include "library/itemicons.h"

#include <QDir>
#include <QDomElement>

FileTreeItem::FileTreeItem(const QFileInfo &info, int mediaType)
    : TreeItem(1, info)
{
    setIcon(0, ItemIcons::file(mediaType, false));
    setText(0, info.fileName());
    setToolTip(0, QLatin1String("file path:\n") + QDir::toNativeSeparators(info.filePath()));
}

void FileTreeItem::refresh()
{
    if (EntryInfo(fileInfo(), QString()).isUsable())
        showPresent();
    else
        showMissing();
}

void FileTreeItem::saveXml(QDomNode &parent, QDomDocument &document) const
{
    QDomElement element = document.createElement(QStringLiteral("file"));
    element.setAttribute(QStringLiteral("name"), text(0));
    element.setAttribute(QStringLiteral("path"), fileInfo().filePath());
    parent.appendChild(element);
}
