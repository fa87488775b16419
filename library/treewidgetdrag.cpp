// Rearranging a library by dragging, and taking drops from other applications.
#include "library/treewidget.h"

#include "library/dirtreeitem.h"
#include "library/treeitem.h"

#include <QApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QSet>
#include <QTreeWidgetItemIterator>
#include <QUrl>

namespace {

QString uriList()
{
    return QStringLiteral("text/uri-list");
}

} // namespace

bool TreeWidget::refusesDragOf(const QList<TreeItem *> &items)
{
    return items.size() == 1 && items.first()->isInLiveDir() && items.first()->isDir();
}

bool TreeWidget::isOwnDrag(const QDropEvent *event) const
{
    // Only this view's own drags carry the items in dragItems; any other source must offer
    // file URLs like a drop from outside.
    return event->source() == this;
}

void TreeWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    if ((event->position().toPoint() - dragStartPosition).manhattanLength()
        < QApplication::startDragDistance())
        return;

    dragItems.clear();
    const QList<QTreeWidgetItem *> selected = selectedItems();
    for (QTreeWidgetItem *item : selected) {
        if (auto *treeItem = dynamic_cast<TreeItem *>(item))
            dragItems.append(treeItem);
    }
    if (dragItems.isEmpty())
        return;

    auto *drag = new QDrag(this);
    drag->setMimeData(new QMimeData);
    const Qt::DropAction action = drag->exec(Qt::MoveAction);
    if (action == Qt::IgnoreAction)
        return;

    // The drag ran an event loop; keep only what is still in the tree.
    QSet<const QTreeWidgetItem *> present;
    for (QTreeWidgetItemIterator it(this); *it; ++it)
        present.insert(*it);
    QList<TreeItem *> items;
    for (TreeItem *item : std::as_const(dragItems)) {
        if (present.contains(item))
            items.append(item);
    }
    TreeItem *target = present.contains(dropTarget) ? dropTarget : nullptr;
    placeDraggedItems(items, target);
}

void TreeWidget::placeDraggedItems(const QList<TreeItem *> &items, TreeItem *target)
{
    for (TreeItem *item : items) {
        if (!item->isLive())
            moveItem(item, target);
        else if (!item->isDir())
            copyLiveFile(item, target);
        else if (!item->isInLiveDir())
            moveItem(item, target);
        item->setSelected(true);
    }
    if (target)
        target->setSelected(false);
    if (!items.isEmpty())
        emit edited();
}

bool TreeWidget::moveItem(TreeItem *item, TreeItem *target)
{
    // What a live folder shows stays there; it is copied out, never moved.
    if (item->isInLiveDir())
        return false;

    // Where it goes: the end of the top level, the end of a virtual folder dropped onto, or
    // just before the target in the target's own level.
    QTreeWidgetItem *level = invisibleRootItem();
    QTreeWidgetItem *before = nullptr;
    // An item moving within its own level finds its own name there; that does not refuse it,
    // except when it is dropped onto its own folder, which then has nothing to do.
    bool ownLevelFree = true;
    if (target) {
        for (const TreeItem *above = target; above; above = above->parentDir()) {
            if (above == item)
                return false;
        }
        if (target->isDir() && !target->isLive()) {
            level = target;
            ownLevelFree = false;
        } else {
            before = target;
            level = levelOf(target);
            // Nothing is put into a live folder.
            if (target->isInLiveDir())
                return false;
        }
    }
    if (!LibraryLevel::nameFree(level, item) && !(ownLevelFree && levelOf(item) == level))
        return false;
    takeItem(item);
    LibraryLevel::insert(level, item, before, false);
    return true;
}

void TreeWidget::takeItem(TreeItem *item)
{
    if (QTreeWidgetItem *parent = item->parent()) {
        parent->takeChild(parent->indexOfChild(item));
        return;
    }
    const int index = indexOfTopLevelItem(item);
    if (index >= 0)
        takeTopLevelItem(index);
}

TreeItem *TreeWidget::copyLiveFile(TreeItem *item, TreeItem *target)
{
    return addEntryAt(EntryInfo(item->fileInfo(), item->text(0)), false, target);
}

void TreeWidget::dragEnterEvent(QDragEnterEvent *event)
{
    if (isOwnDrag(event)) {
        if (refusesDragOf(dragItems)) {
            event->ignore();
            return;
        }
        event->setDropAction(Qt::MoveAction);
        event->accept();
        return;
    }
    if (event->mimeData() && event->mimeData()->hasFormat(uriList())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void TreeWidget::dragMoveEvent(QDragMoveEvent *event)
{
    const bool own = isOwnDrag(event);
    if (!own && !(event->mimeData() && event->mimeData()->hasFormat(uriList()))) {
        event->ignore();
        return;
    }
    // From here the selection serves as the drop highlight.
    clearSelection();
    if (auto *item = dynamic_cast<TreeItem *>(itemAt(event->position().toPoint()))) {
        if (item->isLive()) {
            event->ignore();
            return;
        }
        item->setSelected(true);
    }
    event->setDropAction(own ? Qt::MoveAction : Qt::CopyAction);
    event->accept();
}

void TreeWidget::dropEvent(QDropEvent *event)
{
    dropTarget = dynamic_cast<TreeItem *>(itemAt(event->position().toPoint()));
    if (isOwnDrag(event)) {
        event->setDropAction(Qt::MoveAction);
        event->accept();
        return;
    }
    if (!event->mimeData() || !event->mimeData()->hasFormat(uriList())) {
        event->ignore();
        return;
    }
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl &url : urls) {
        const QString path = url.toLocalFile();
        if (!path.isEmpty())
            addPath(path, dropTarget, false);
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}
