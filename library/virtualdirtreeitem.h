#pragma once

#include "library/dirtreeitem.h"

// A folder the user made and fills by hand; it has no disk object.
class VirtualDirTreeItem : public DirTreeItem
{
public:
    explicit VirtualDirTreeItem(const QString &name);

    void refresh() override;
    bool isLive() const override { return false; }
    void saveXml(QDomNode &parent, QDomDocument &document) const override;
    QList<EntryInfo> listEntries(const QString &path, QChar separator) const override;
};
