#pragma once

#include "library/entryinfo.h"

#include <QDomDocument>
#include <QDomNode>
#include <QFileInfo>
#include <QSet>
#include <QTreeWidgetItem>

class DirTreeItem;
class TreeWidget;

// One entry of a library tree. The kinds are told apart by their virtual answers, not by the
// toolkit's item type.
class TreeItem : public QTreeWidgetItem
{
public:
    // Only the sorted insertion looks at it: folders come before files.
    enum Kind : int { FolderKind = 0, FileKind = 1 };

    TreeItem(Kind kind, const QFileInfo &info);
    TreeItem(const TreeItem &) = delete;
    TreeItem &operator=(const TreeItem &) = delete;

    const int kind;

    QFileInfo fileInfo() const { return info; }
    // How listings show this item: a folder of the user's own is virtual, anything else
    // carries its disk path.
    EntryInfo entry() const;
    // The folder holding this item; null at the top level.
    DirTreeItem *parentDir() const;
    bool isInLiveDir() const;

    void showPresent();
    void showMissing();

    // Re-checks the disk and brings the look (and a live folder's children) up to date.
    virtual void refresh() = 0;
    virtual bool isDir() const = 0;
    virtual bool isLive() const = 0;
    // Appends this item's element (if it writes one) under parent.
    virtual void saveXml(QDomNode &parent, QDomDocument &document) const = 0;

protected:
    // The library view holding this item, or null while it sits in none.
    TreeWidget *libraryView() const;
    // Read from the view at the moment of use; 0 and empty outside a view.
    int viewMediaType() const;
    QString viewFilters() const;

private:
    QFileInfo info;
};

// The item an entry calls for; the caller owns it.
TreeItem *createItem(const EntryInfo &entry, int mediaType, bool live);

// One level of a library: a folder's children, or a view's top level (the children of its
// invisible root item). Every level takes new items the same way, with the same name check.
namespace LibraryLevel {

// False when a child of level already shows the item's text (the item itself included).
bool nameFree(const QTreeWidgetItem *level, const QTreeWidgetItem *item);
// Inserts an item that sits nowhere just before `before` when that is a child of level, else
// at the end. With checkName, a taken name refuses it: false, and nothing changes.
bool insert(QTreeWidgetItem *level, TreeItem *item, QTreeWidgetItem *before, bool checkName);
// A new item for entry, inserted as insert() does; null (and nothing kept) when refused.
TreeItem *add(QTreeWidgetItem *level, const EntryInfo &entry, int mediaType, bool live,
    QTreeWidgetItem *before, bool checkName);

// The texts a level's children show, for filling a level with many items in a row: scanning
// every sibling for each new item made loading a large folder quadratic. Only add() with it
// keeps it current, so it lives no longer than one such run of additions.
class Names
{
public:
    explicit Names(const QTreeWidgetItem *level);
    // False when text is taken; else it is taken from now on.
    bool claim(const QString &text);

private:
    QSet<QString> texts;
};

// A new item for entry at the end of level, unless a child already shows its text (the same
// rule as nameFree); null when refused.
TreeItem *add(
    QTreeWidgetItem *level, const EntryInfo &entry, int mediaType, bool live, Names &names);

} // namespace LibraryLevel

// Folders before files, then plain code-unit order of the text.
bool itemLessThan(const TreeItem *a, const TreeItem *b);
