#pragma once

#include "library/dirtreeinterface.h"
#include "library/entryinfo.h"

#include <QDomDocument>
#include <QDomElement>
#include <QList>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QTreeWidget>

#include <memory>

class DirTreeItem;
class QAction;
class QMenu;
class TreeItem;
class UserPrompts;

// One media library: the user's editor of its tree and the players' view of it.
class TreeWidget : public QTreeWidget, public DirTreeInterface
{
    Q_OBJECT

public:
    // Fills itself from its element of document; asks the user through prompts.
    TreeWidget(const QString &name, int mediaType, const QString &filters,
        const QDomDocument &document, UserPrompts &prompts, QWidget *parent = nullptr);
    ~TreeWidget() override;

    // "Video", "Audio" or "Pictures": column header, tab title, base of the element name.
    QString name() const { return libraryName; }
    QString filters() const { return filterText; }

    int mediaType() const override { return typeCode; }
    EntryInfo findEntry(const QString &path, QChar separator) const override;
    QList<EntryInfo> listEntries(const QString &path, QChar separator) const override;
    bool findLivePlace(const QString &path, QChar separator, LivePlace *place) const override;

    // Enabling checks for the buttons and the context menu.
    bool canAdd() const;
    bool canRemove() const;

    // Adds a disk path (or, with virtualDir, a new folder of that name) at target, or at the
    // top level without one; the new, refreshed item or null.
    TreeItem *addPath(const QString &path, TreeItem *target, bool virtualDir = false);
    // A new top-level item before `before` (appended without one); null when the name is
    // taken.
    TreeItem *addTopLevel(const EntryInfo &entry, bool live, QTreeWidgetItem *before = nullptr);

    // Persistence in the configuration document.
    void loadTree(const QDomDocument &document);
    // Appends this library's element to the document's root element.
    void saveTree(QDomDocument &document) const;
    // Tells, in one warning line, how many stored paths were gone when loadTree ran, with a
    // few of them (every one as an info line, shown with --verbose), and forgets them.
    void reportGoneAtLoad();

    // What happens to the dragged items once a drag onto target (null: empty space) has
    // ended: moved, or copied out of a live folder.
    void placeDraggedItems(const QList<TreeItem *> &items, TreeItem *target);
    // A drag of exactly one sub-folder of a live folder is not accepted.
    static bool refusesDragOf(const QList<TreeItem *> &items);

    // The context menu as it would be shown now.
    std::unique_ptr<QMenu> createContextMenu();

public slots:
    void addFiles(bool root = false);
    bool makeDir(bool root = false);
    void addLiveDir(bool root = false);
    void deleteSelected();
    void refresh();
    void setFilters(const QString &f);

signals:
    // The user changed what the library holds (added, removed, moved, filters): listings
    // that clients keep are stale.
    void edited();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void openDir(QTreeWidgetItem *item);
    void closeDir(QTreeWidgetItem *item);

private:
    bool selectionHasLiveContent() const;
    TreeItem *topLevelTreeItem(int index) const;
    QList<const TreeItem *> topLevelTreeItems() const;
    TreeItem *addToCurrent(const QString &path, bool virtualDir, bool root);
    // A new item for entry: at the end of the top level without a target (or with a live one),
    // at the end of a virtual folder target, else just before the target; the name checked.
    TreeItem *addEntryAt(const EntryInfo &entry, bool live, TreeItem *target);
    // The level (a folder, or the invisible root of the top level) that holds item.
    QTreeWidgetItem *levelOf(const TreeItem *item) const;
    bool insertTopLevel(TreeItem *item, QTreeWidgetItem *before, bool checkName);
    bool nameFreeAtTop(const QTreeWidgetItem *item) const;

    QString elementName() const;
    void loadTreeElement(DirTreeItem *parentDir, const QDomElement &element);

    bool moveItem(TreeItem *item, TreeItem *target);
    void takeItem(TreeItem *item);
    TreeItem *copyLiveFile(TreeItem *item, TreeItem *target);
    bool isOwnDrag(const QDropEvent *event) const;

    QString libraryName;
    int typeCode = 0;
    // Stored paths that were gone when the library was loaded, until reportGoneAtLoad.
    QStringList goneAtLoad;
    QString filterText;
    UserPrompts &prompts;

    QAction *addFilesAction = nullptr;
    QAction *newFolderAction = nullptr;
    QAction *addLiveFolderAction = nullptr;
    QAction *removeAction = nullptr;
    QAction *refreshAction = nullptr;

    QPoint dragStartPosition;
    QList<TreeItem *> dragItems;
    TreeItem *dropTarget = nullptr;
};
