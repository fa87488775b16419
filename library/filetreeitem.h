#pragma once

#include "library/treeitem.h"

// A single file the user added to a library.
class FileTreeItem : public TreeItem
{
public:
    FileTreeItem(const QFileInfo &info, int mediaType);

    void refresh() override;
    bool isDir() const override { return false; }
    bool isLive() const override { return false; }
    void saveXml(QDomNode &parent, QDomDocument &document) const override;
};
