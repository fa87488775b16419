#pragma once

#include "library/dirtreeinterface.h"
#include "library/treeitem.h"

#include <QChar>
#include <QList>
#include <QString>

// A folder of a library: virtual (made by the user) or live (a disk directory).
class DirTreeItem : public TreeItem
{
public:
    explicit DirTreeItem(const QFileInfo &info);

    bool isDir() const override { return true; }

    // The child at index, or null when out of range.
    virtual TreeItem *childItem(int index) const;
    // Appends a new child unless a sibling shows the same name; the new item or null.
    virtual TreeItem *addEntry(const EntryInfo &entry, bool live);
    // Inserts a new child at its sorted place, without name check.
    virtual TreeItem *addEntrySorted(const EntryInfo &entry, bool live);
    // Inserts a new child before `before` (or at the end); null when refused.
    virtual TreeItem *addEntryBefore(
        const EntryInfo &entry, bool live, QTreeWidgetItem *before, bool checkName);
    // Takes ownership of an item that sits in no folder; false (and nothing changes) when
    // refused by the name check.
    virtual bool insertItem(TreeItem *item, QTreeWidgetItem *before, bool checkName);
    // False when a child already shows the item's text (the item itself included).
    virtual bool acceptsName(const QTreeWidgetItem *item) const;
    // Index of the first child with that file information, or -1.
    virtual int indexOfFile(const QFileInfo &info) const;
    // The entries of the folder that path names below this one; empty path: this folder.
    virtual QList<EntryInfo> listEntries(const QString &path, QChar separator) const = 0;
    // The first entry called name in listEntries(path), or the default EntryInfo. This one
    // walks the children, as a folder listing its children does, without listing folders on
    // the way.
    virtual EntryInfo findEntry(const QString &path, const QString &name, QChar separator) const;
    // Where the folder that path names below this one lies, when it is live.
    virtual bool findLivePlace(const QString &path, QChar separator, LivePlace *place) const;
};

// The entries of the folder that path names among items (a folder's children or a view's top
// level): with an empty first component the items themselves, else the walk goes on inside
// the folder of that name.
QList<EntryInfo> listEntriesAmong(
    const QList<const TreeItem *> &items, const QString &path, QChar separator);

// Where the folder that path names among items lies, when it is live; a level of items
// itself never is.
bool findLivePlaceAmong(
    const QList<const TreeItem *> &items, const QString &path, QChar separator, LivePlace *place);

// The first entry called name that listEntriesAmong gives for path, or the default EntryInfo.
EntryInfo findEntryAmong(const QList<const TreeItem *> &items, const QString &path,
    const QString &name, QChar separator);
