#pragma once

#include "library/treeitem.h"

// A file shown inside a live folder; it mirrors the disk and is never stored.
class LiveFileTreeItem : public TreeItem
{
public:
    LiveFileTreeItem(const QFileInfo &info, int mediaType);

    void refresh() override { }
    bool isDir() const override { return false; }
    bool isLive() const override { return true; }
    void saveXml(QDomNode &, QDomDocument &) const override { }
};
