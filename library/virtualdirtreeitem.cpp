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
    const int at = path.indexOf(separator);
    const QString head = at < 0 ? path : path.left(at);
    const QString rest = at < 0 ? QString() : path.mid(at + 1);

    QList<EntryInfo> entries;
    if (head.isEmpty()) {
        for (int i = 0; i < childCount(); ++i) {
            const TreeItem *item = childItem(i);
            if (item)
                entries.append(item->entry());
        }
        return entries;
    }
    for (int i = 0; i < childCount(); ++i) {
        const TreeItem *item = childItem(i);
        if (item && item->isDir() && item->text(0) == head)
            return static_cast<const DirTreeItem *>(item)->listEntries(rest, separator);
    }
    return entries;
}
