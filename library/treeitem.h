#pragma once

#include "library/entryinfo.h"

#include <QDomDocument>
#include <QDomNode>
#include <QFileInfo>
#include <QTreeWidgetItem>

class DirTreeItem;
class TreeWidget;

// One entry of a library tree. The kinds are told apart by their virtual answers, not by the
// toolkit's item type.
class TreeItem : public QTreeWidgetItem
{
public:
    TreeItem(int kind, const QFileInfo &info);
    TreeItem(const TreeItem &) = delete;
    TreeItem &operator=(const TreeItem &) = delete;

    // 0 for folders, 1 for files; only the sorted insertion looks at it.
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

// Folders before files, then plain code-unit order of the text.
bool itemLessThan(const TreeItem *a, const TreeItem *b);
