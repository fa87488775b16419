#include "library/filetreeitem.h"

#include "library/itemicons.h"
#include "library/xmltext.h"

#include <QDir>
#include <QDomElement>

FileTreeItem::FileTreeItem(const QFileInfo &info, int mediaType)
    : TreeItem(FileKind, info)
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
    // An entry whose path the file cannot hold is left out: written, it would make every
    // library unreadable at the next start.
    if (!XmlText::canCarry(fileInfo().filePath()) || !XmlText::canCarry(text(0)))
        return;
    QDomElement element = document.createElement(QStringLiteral("file"));
    element.setAttribute(QStringLiteral("name"), text(0));
    element.setAttribute(QStringLiteral("path"), fileInfo().filePath());
    parent.appendChild(element);
}
