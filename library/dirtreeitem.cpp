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

EntryInfo DirTreeItem::findEntry(const QString &path, const QString &name, QChar separator) const
{
    QList<const TreeItem *> items;
    for (int i = 0; i < childCount(); ++i) {
        if (const TreeItem *item = childItem(i))
            items.append(item);
    }
    return findEntryAmong(items, path, name, separator);
}

bool DirTreeItem::findLivePlace(const QString &path, QChar separator, LivePlace *place) const
{
    QList<const TreeItem *> items;
    for (int i = 0; i < childCount(); ++i) {
        if (const TreeItem *item = childItem(i))
            items.append(item);
    }
    return findLivePlaceAmong(items, path, separator, place);
}

namespace {

// The folder that the first component of path names among items, and the path below it;
// null when that component is empty (path names the items' own level) or names no folder.
const DirTreeItem *folderAmong(
    const QList<const TreeItem *> &items, const QString &path, QChar separator, QString *rest)
{
    const int at = path.indexOf(separator);
    const QString head = at < 0 ? path : path.left(at);
    if (head.isEmpty())
        return nullptr;
    *rest = at < 0 ? QString() : path.mid(at + 1);
    for (const TreeItem *item : items) {
        if (item->isDir() && item->text(0) == head)
            return dynamic_cast<const DirTreeItem *>(item);
    }
    return nullptr;
}

bool namesThisLevel(const QString &path, QChar separator)
{
    return path.isEmpty() || path.at(0) == separator;
}

} // namespace

QList<EntryInfo> listEntriesAmong(
    const QList<const TreeItem *> &items, const QString &path, QChar separator)
{
    QList<EntryInfo> entries;
    if (namesThisLevel(path, separator)) {
        for (const TreeItem *item : items)
            entries.append(item->entry());
        return entries;
    }
    QString rest;
    if (const DirTreeItem *folder = folderAmong(items, path, separator, &rest))
        return folder->listEntries(rest, separator);
    return entries;
}

EntryInfo findEntryAmong(
    const QList<const TreeItem *> &items, const QString &path, const QString &name, QChar separator)
{
    if (namesThisLevel(path, separator)) {
        for (const TreeItem *item : items) {
            EntryInfo entry = item->entry();
            if (entry.name() == name)
                return entry;
        }
        return EntryInfo();
    }
    QString rest;
    if (const DirTreeItem *folder = folderAmong(items, path, separator, &rest))
        return folder->findEntry(rest, name, separator);
    return EntryInfo();
}

bool findLivePlaceAmong(
    const QList<const TreeItem *> &items, const QString &path, QChar separator, LivePlace *place)
{
    if (namesThisLevel(path, separator))
        return false;
    QString rest;
    if (const DirTreeItem *folder = folderAmong(items, path, separator, &rest))
        return folder->findLivePlace(rest, separator, place);
    return false;
}
