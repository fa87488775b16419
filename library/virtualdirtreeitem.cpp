#include "library/virtualdirtreeitem.h"

#include "library/itemicons.h"
#include "library/xmltext.h"

#include <QDomElement>

VirtualDirTreeItem::VirtualDirTreeItem(const QString &name)
    : DirTreeItem(QFileInfo())
{
    setIcon(0, ItemIcons::folder(false, false));
    setText(0, name.trimmed());
}

void VirtualDirTreeItem::refresh()
{
    if (!isExpanded()) {
        setIcon(0, ItemIcons::folder(false, false));
        return;
    }
    setIcon(0, ItemIcons::folder(false, true));
    for (int i = 0; i < childCount(); ++i) {
        if (TreeItem *item = childItem(i))
            item->refresh();
    }
}

void VirtualDirTreeItem::saveXml(QDomNode &parent, QDomDocument &document) const
{
    QDomElement element = document.createElement(QStringLiteral("dir"));
    // The folder and its content are kept; only characters the file cannot hold are replaced.
    element.setAttribute(QStringLiteral("name"), XmlText::carried(text(0)));
    parent.appendChild(element);
    QDomNode node = element;
    for (int i = 0; i < childCount(); ++i) {
        if (const TreeItem *item = childItem(i))
            item->saveXml(node, document);
    }
}

QList<EntryInfo> VirtualDirTreeItem::listEntries(const QString &path, QChar separator) const
{
    QList<const TreeItem *> items;
    for (int i = 0; i < childCount(); ++i) {
        if (const TreeItem *item = childItem(i))
            items.append(item);
    }
    return listEntriesAmong(items, path, separator);
}
