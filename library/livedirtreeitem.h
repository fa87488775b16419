#pragma once

#include "library/dirtreeitem.h"

// A disk directory whose content is read from disk whenever it is looked at.
class LiveDirTreeItem : public DirTreeItem
{
public:
    explicit LiveDirTreeItem(const QFileInfo &info);

    void refresh() override;
    bool isLive() const override { return true; }
    void saveXml(QDomNode &parent, QDomDocument &document) const override;
    // Read from the disk on every call; the children are not consulted.
    QList<EntryInfo> listEntries(const QString &path, QChar separator) const override;
    EntryInfo findEntry(const QString &path, const QString &name, QChar separator) const override;
    bool findLivePlace(const QString &path, QChar separator, LivePlace *place) const override;

    // Replaces the children by one level read from the disk.
    void populate();
    // Brings the children in line with the disk (only while expanded).
    void sync();
};
