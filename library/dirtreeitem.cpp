#include "library/dirtreeitem.h"

DirTreeItem::DirTreeItem(const QFileInfo &info)
    : TreeItem(FolderKind, info)
{ }

TreeItem *DirTreeItem::childItem(int index) const
{
    if (index < 0 || index >= childCount())
        return nullptr;
    return dynamic_cast<TreeItem *>(child(index));
}

TreeItem *DirTreeItem::addEntry(const EntryInfo &entry, bool live)
{
    return addEntryBefore(entry, live, nullptr, true);
}

TreeItem *DirTreeItem::addEntrySorted(const EntryInfo &entry, bool live)
{
    TreeItem *item = createItem(entry, viewMediaType(), live);
    for (int i = 0; i < childCount(); ++i) {
        const TreeItem *sibling = childItem(i);
        if (sibling && itemLessThan(item, sibling)) {
            insertChild(i, item);
            return item;
        }
    }
    addChild(item);
    return item;
}

TreeItem *DirTreeItem::addEntryBefore(
    const EntryInfo &entry, bool live, QTreeWidgetItem *before, bool checkName)
{
    return LibraryLevel::add(this, entry, viewMediaType(), live, before, checkName);
}

bool DirTreeItem::insertItem(TreeItem *item, QTreeWidgetItem *before, bool checkName)
{
    return LibraryLevel::insert(this, item, before, checkName);
}

bool DirTreeItem::acceptsName(const QTreeWidgetItem *item) const
{
    return LibraryLevel::nameFree(this, item);
}

int DirTreeItem::indexOfFile(const QFileInfo &info) const
{
    for (int i = 0; i < childCount(); ++i) {
        const TreeItem *item = childItem(i);
        if (item && item->fileInfo() == info)
            return i;
    }
    return -1;
}

QList<EntryInfo> listEntriesAmong(
    const QList<const TreeItem *> &items, const QString &path, QChar separator)
{
    const int at = path.indexOf(separator);
    const QString head = at < 0 ? path : path.left(at);
    QList<EntryInfo> entries;
    if (head.isEmpty()) {
        for (const TreeItem *item : items)
            entries.append(item->entry());
        return entries;
    }
    const QString rest = at < 0 ? QString() : path.mid(at + 1);
    for (const TreeItem *item : items) {
        if (item->isDir() && item->text(0) == head) {
            if (const auto *folder = dynamic_cast<const DirTreeItem *>(item))
                return folder->listEntries(rest, separator);
            break;
        }
    }
    return entries;
}
