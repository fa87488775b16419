#include "library/treeitem.h"

#include "library/dirtreeitem.h"
#include "library/filetreeitem.h"
#include "library/livedirtreeitem.h"
#include "library/livefiletreeitem.h"
#include "library/treewidget.h"
#include "library/virtualdirtreeitem.h"

#include <QBrush>
#include <QColor>

TreeItem::TreeItem(Kind kind, const QFileInfo &info)
    : QTreeWidgetItem(QTreeWidgetItem::Type)
    , kind(kind)
    , info(info)
{ }

DirTreeItem *TreeItem::parentDir() const
{
    return dynamic_cast<DirTreeItem *>(parent());
}

bool TreeItem::isInLiveDir() const
{
    const DirTreeItem *dir = parentDir();
    return dir && dir->isLive();
}

void TreeItem::showPresent()
{
    setForeground(0, QBrush(QColor(0, 0, 0)));
}

void TreeItem::showMissing()
{
    setForeground(0, QBrush(QColor(255, 0, 0)));
}

TreeWidget *TreeItem::libraryView() const
{
    return qobject_cast<TreeWidget *>(treeWidget());
}

int TreeItem::viewMediaType() const
{
    const TreeWidget *view = libraryView();
    return view ? view->mediaType() : NoMedia;
}

QString TreeItem::viewFilters() const
{
    const TreeWidget *view = libraryView();
    return view ? view->filters() : QString();
}

TreeItem *createItem(const EntryInfo &entry, int mediaType, bool live)
{
    if (entry.isDir() && entry.isVirtual())
        return new VirtualDirTreeItem(entry.name());
    // Every disk directory becomes a live folder, whatever the caller asked for.
    if (entry.isDir())
        return new LiveDirTreeItem(entry.fileInfo());
    if (live)
        return new LiveFileTreeItem(entry.fileInfo(), mediaType);
    return new FileTreeItem(entry.fileInfo(), mediaType);
}

namespace LibraryLevel {

bool nameFree(const QTreeWidgetItem *level, const QTreeWidgetItem *item)
{
    const QString text = item->text(0);
    for (int i = 0; i < level->childCount(); ++i) {
        if (level->child(i)->text(0) == text)
            return false;
    }
    return true;
}

bool insert(QTreeWidgetItem *level, TreeItem *item, QTreeWidgetItem *before, bool checkName)
{
    Q_ASSERT(item && !item->parent() && !item->treeWidget());
    if (checkName && !nameFree(level, item))
        return false;
    const int index = before ? level->indexOfChild(before) : -1;
    if (index >= 0)
        level->insertChild(index, item);
    else
        level->addChild(item);
    return true;
}

TreeItem *add(QTreeWidgetItem *level, const EntryInfo &entry, int mediaType, bool live,
    QTreeWidgetItem *before, bool checkName)
{
    TreeItem *item = createItem(entry, mediaType, live);
    if (!insert(level, item, before, checkName)) {
        delete item;
        return nullptr;
    }
    return item;
}

Names::Names(const QTreeWidgetItem *level)
{
    texts.reserve(level->childCount());
    for (int i = 0; i < level->childCount(); ++i)
        texts.insert(level->child(i)->text(0));
}

bool Names::claim(const QString &text)
{
    const qsizetype before = texts.size();
    texts.insert(text);
    return texts.size() != before;
}

TreeItem *add(
    QTreeWidgetItem *level, const EntryInfo &entry, int mediaType, bool live, Names &names)
{
    TreeItem *item = createItem(entry, mediaType, live);
    if (!names.claim(item->text(0))) {
        delete item;
        return nullptr;
    }
    insert(level, item, nullptr, false);
    return item;
}

} // namespace LibraryLevel

bool itemLessThan(const TreeItem *a, const TreeItem *b)
{
    if (a->kind != b->kind)
        return a->kind < b->kind;
    return a->text(0) < b->text(0);
}

EntryInfo TreeItem::entry() const
{
    if (isDir() && !isLive())
        return EntryInfo(text(0), true);
    return EntryInfo(info, text(0));
}
