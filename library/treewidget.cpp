#include "library/treewidget.h"

#include "library/dirtreeitem.h"
#include "library/treeitem.h"
#include "library/userprompts.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QSet>

namespace {

QString liveContentTitle()
{
    return QStringLiteral("Live Content");
}

bool hasAncestorIn(const QTreeWidgetItem *item, const QSet<const QTreeWidgetItem *> &set)
{
    for (const QTreeWidgetItem *p = item->parent(); p; p = p->parent()) {
        if (set.contains(p))
            return true;
    }
    return false;
}

// The top level is named by an empty path and by one made of separators only.
QString withoutLeading(const QString &path, QChar separator)
{
    qsizetype start = 0;
    while (start < path.size() && path.at(start) == separator)
        ++start;
    return path.mid(start);
}

} // namespace

TreeWidget::TreeWidget(const QString &name, int mediaType, const QString &filters,
    const QDomDocument &document, UserPrompts &prompts, QWidget *parent)
    : QTreeWidget(parent)
    , libraryName(name)
    , typeCode(mediaType)
    , filterText(filters)
    , prompts(prompts)
{
    setHeaderLabels(QStringList(libraryName));
    setColumnCount(1);

    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setIconSize(QSize(16, 18));
    // All dragging is the view's own; the toolkit's item dragging and sorting stay off.
    setDragEnabled(false);
    setSortingEnabled(false);

    addFilesAction = new QAction(QStringLiteral("&Add Files"), this);
    connect(addFilesAction, &QAction::triggered, this, [this] { addFiles(); });
    newFolderAction = new QAction(QStringLiteral("&New Folder"), this);
    connect(newFolderAction, &QAction::triggered, this, [this] { makeDir(); });
    addLiveFolderAction = new QAction(QStringLiteral("Add &Live Folder"), this);
    connect(addLiveFolderAction, &QAction::triggered, this, [this] { addLiveDir(); });
    removeAction = new QAction(QStringLiteral("&Remove"), this);
    removeAction->setShortcut(QKeySequence(Qt::Key_Delete));
    connect(removeAction, &QAction::triggered, this, &TreeWidget::deleteSelected);
    refreshAction = new QAction(QStringLiteral("Refresh"), this);
    refreshAction->setShortcut(QKeySequence(Qt::Key_F5));
    connect(refreshAction, &QAction::triggered, this, &TreeWidget::refresh);

    connect(this, &QTreeWidget::itemExpanded, this, &TreeWidget::openDir);
    connect(this, &QTreeWidget::itemCollapsed, this, &TreeWidget::closeDir);

    loadTree(document);
}

TreeWidget::~TreeWidget() = default;

TreeItem *TreeWidget::topLevelTreeItem(int index) const
{
    return dynamic_cast<TreeItem *>(topLevelItem(index));
}

QList<const TreeItem *> TreeWidget::topLevelTreeItems() const
{
    QList<const TreeItem *> items;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        if (const TreeItem *item = topLevelTreeItem(i))
            items.append(item);
    }
    return items;
}

EntryInfo TreeWidget::findEntry(const QString &path, QChar separator) const
{
    // The first entry of that name in the listing of its folder; inside a live folder it is
    // looked up on the disk directly, so a lookup costs the same in a folder of any size.
    const int at = path.lastIndexOf(separator);
    const QString folder = at < 0 ? QString() : path.left(at);
    const QString name = at < 0 ? path : path.mid(at + 1);
    return findEntryAmong(topLevelTreeItems(), withoutLeading(folder, separator), name, separator);
}

QList<EntryInfo> TreeWidget::listEntries(const QString &path, QChar separator) const
{
    return listEntriesAmong(topLevelTreeItems(), withoutLeading(path, separator), separator);
}

bool TreeWidget::findLivePlace(const QString &path, QChar separator, LivePlace *place) const
{
    return findLivePlaceAmong(
        topLevelTreeItems(), withoutLeading(path, separator), separator, place);
}

bool TreeWidget::canAdd() const
{
    const auto *current = dynamic_cast<const TreeItem *>(currentItem());
    return !current || !current->isLive();
}

bool TreeWidget::canRemove() const
{
    return !selectedItems().isEmpty() && !selectionHasLiveContent();
}

bool TreeWidget::selectionHasLiveContent() const
{
    const QList<QTreeWidgetItem *> selected = selectedItems();
    for (const QTreeWidgetItem *item : selected) {
        const auto *treeItem = dynamic_cast<const TreeItem *>(item);
        if (treeItem && treeItem->isInLiveDir())
            return true;
    }
    return false;
}

TreeItem *TreeWidget::addPath(const QString &path, TreeItem *target, bool virtualDir)
{
    EntryInfo entry;
    bool live = false;
    if (virtualDir) {
        entry = EntryInfo(path, true);
    } else {
        const QFileInfo info(path);
        if (info.isDir())
            live = true;
        else if (!info.isFile())
            return nullptr;
        entry = EntryInfo(info, QString());
    }

    if (target && target->isLive()) {
        prompts.message(QMessageBox::Information, this, liveContentTitle(),
            QStringLiteral("You can not add content to live folders"), QMessageBox::Ok);
        return nullptr;
    }
    TreeItem *item = addEntryAt(entry, live, target);
    if (item) {
        item->refresh();
        emit edited();
    }
    return item;
}

TreeItem *TreeWidget::addEntryAt(const EntryInfo &entry, bool live, TreeItem *target)
{
    // Nothing goes into a live folder: a target there stands for the top level.
    if (!target || target->isLive())
        return addTopLevel(entry, live);
    if (target->isDir())
        return LibraryLevel::add(target, entry, typeCode, live, nullptr, true);
    return LibraryLevel::add(levelOf(target), entry, typeCode, live, target, true);
}

QTreeWidgetItem *TreeWidget::levelOf(const TreeItem *item) const
{
    return item->parent() ? item->parent() : invisibleRootItem();
}

TreeItem *TreeWidget::addTopLevel(const EntryInfo &entry, bool live, QTreeWidgetItem *before)
{
    TreeItem *item = LibraryLevel::add(invisibleRootItem(), entry, typeCode, live, before, true);
    if (item)
        emit edited();
    return item;
}

bool TreeWidget::insertTopLevel(TreeItem *item, QTreeWidgetItem *before, bool checkName)
{
    return LibraryLevel::insert(invisibleRootItem(), item, before, checkName);
}

bool TreeWidget::nameFreeAtTop(const QTreeWidgetItem *item) const
{
    return LibraryLevel::nameFree(invisibleRootItem(), item);
}

TreeItem *TreeWidget::addToCurrent(const QString &path, bool virtualDir, bool root)
{
    TreeItem *target = root ? nullptr : dynamic_cast<TreeItem *>(currentItem());
    return addPath(path, target, virtualDir);
}

void TreeWidget::addFiles(bool root)
{
    const QString filter = libraryName + QLatin1String(" (") + filterText + QLatin1Char(')');
    const QStringList paths
        = prompts.getOpenFileNames(nullptr, QStringLiteral("Choose a file"), QString(), filter);
    for (const QString &path : paths)
        addToCurrent(path, false, root);
}

bool TreeWidget::makeDir(bool root)
{
    bool ok = false;
    const QString text = prompts.getText(this, QStringLiteral("New Directory"),
        QStringLiteral("Please type the name of the directory:"), &ok);
    // A name of blanks alone would become a folder no path can reach.
    if (!ok || text.trimmed().isEmpty())
        return false;
    return addToCurrent(text, true, root) != nullptr;
}

void TreeWidget::addLiveDir(bool root)
{
    const QString path
        = prompts.getExistingDirectory(nullptr, QStringLiteral("Choose a directory"), QString());
    if (path.isEmpty())
        return;
    addToCurrent(path, false, root);
}

void TreeWidget::deleteSelected()
{
    const QMessageBox::StandardButton answer = prompts.message(QMessageBox::Warning, this,
        QStringLiteral("Remove?"), QStringLiteral("Remove all selected files and folders?"),
        QMessageBox::Ok | QMessageBox::Cancel);
    if (answer != QMessageBox::Ok)
        return;
    if (selectionHasLiveContent()) {
        prompts.message(QMessageBox::Information, this, liveContentTitle(),
            QStringLiteral("Contents of live folders can not be removed"), QMessageBox::Ok);
        return;
    }

    // An item selected together with one of its folders goes with that folder; deleting it
    // on its own as well would touch freed memory.
    const QList<QTreeWidgetItem *> selected = selectedItems();
    QSet<const QTreeWidgetItem *> chosen;
    for (const QTreeWidgetItem *item : selected)
        chosen.insert(item);
    QList<TreeItem *> doomed;
    for (QTreeWidgetItem *item : selected) {
        auto *treeItem = dynamic_cast<TreeItem *>(item);
        if (treeItem && !hasAncestorIn(item, chosen))
            doomed.append(treeItem);
    }
    dragItems.clear();
    dropTarget = nullptr;
    qDeleteAll(doomed);
    if (!doomed.isEmpty())
        emit edited();
}

void TreeWidget::refresh()
{
    for (int i = 0; i < topLevelItemCount(); ++i) {
        if (TreeItem *item = topLevelTreeItem(i))
            item->refresh();
    }
}

void TreeWidget::setFilters(const QString &f)
{
    if (f == filterText)
        return;
    filterText = f;
    emit edited();
}

void TreeWidget::openDir(QTreeWidgetItem *item)
{
    if (auto *folder = dynamic_cast<DirTreeItem *>(item))
        folder->refresh();
}

void TreeWidget::closeDir(QTreeWidgetItem *item)
{
    if (auto *folder = dynamic_cast<DirTreeItem *>(item))
        folder->refresh();
}

std::unique_ptr<QMenu> TreeWidget::createContextMenu()
{
    auto menu = std::make_unique<QMenu>(this);
    const bool adding = canAdd();
    addFilesAction->setEnabled(adding);
    newFolderAction->setEnabled(adding);
    addLiveFolderAction->setEnabled(adding);
    removeAction->setEnabled(canRemove());
    refreshAction->setEnabled(true);
    menu->addAction(addFilesAction);
    menu->addAction(newFolderAction);
    menu->addAction(addLiveFolderAction);
    menu->addAction(removeAction);
    menu->addAction(refreshAction);
    return menu;
}

void TreeWidget::contextMenuEvent(QContextMenuEvent *event)
{
    createContextMenu()->exec(event->globalPos());
}

void TreeWidget::mousePressEvent(QMouseEvent *event)
{
    QTreeWidget::mousePressEvent(event);
    const QPoint position = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        dropTarget = nullptr;
        dragStartPosition = position;
    }
    // Empty space: later additions go to the top level.
    if (!itemAt(position))
        setCurrentItem(nullptr);
}

void TreeWidget::keyPressEvent(QKeyEvent *event)
{
    QTreeWidget::keyPressEvent(event);
    if (event->key() == Qt::Key_Delete) {
        deleteSelected();
        event->accept();
    } else if (event->key() == Qt::Key_F5) {
        refresh();
        event->accept();
    } else {
        // Whatever the item view made of it, the key travels on to the tab page and window.
        event->ignore();
    }
}
