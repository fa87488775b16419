#include "library/livedirtreeitem.h"

#include "library/itemicons.h"
#include "library/livedirectory.h"
#include "library/xmltext.h"

#include <QDir>
#include <QDomElement>
#include <QSet>

namespace {

// A directory's own name; a drive or file-system root has none, so it shows its path.
QString directoryText(const QFileInfo &info)
{
    const QString name = info.fileName();
    return name.isEmpty() ? info.filePath() : name;
}

} // namespace

LiveDirTreeItem::LiveDirTreeItem(const QFileInfo &info)
    : DirTreeItem(info)
{
    setIcon(0, ItemIcons::folder(true, false));
    setText(0, directoryText(info));
    setToolTip(0, QLatin1String("directory path:\n") + QDir::toNativeSeparators(info.filePath()));
}

void LiveDirTreeItem::refresh()
{
    if (EntryInfo(fileInfo(), QString()).isUsable()) {
        showPresent();
        sync();
    } else {
        showMissing();
    }
}

void LiveDirTreeItem::saveXml(QDomNode &parent, QDomDocument &document) const
{
    // What a live folder shows is never stored, nested live folders included.
    if (isInLiveDir())
        return;
    // As for files: a path the file cannot hold is left out, the rest of the file stays good.
    if (!XmlText::canCarry(fileInfo().filePath()) || !XmlText::canCarry(text(0)))
        return;
    QDomElement element = document.createElement(QStringLiteral("livedir"));
    element.setAttribute(QStringLiteral("name"), text(0));
    element.setAttribute(QStringLiteral("path"), fileInfo().filePath());
    parent.appendChild(element);
}

QList<EntryInfo> LiveDirTreeItem::listEntries(const QString &path, QChar) const
{
    // Below a live folder the components go to the file system, joined by "/".
    return LiveDirectory::list(fileInfo().filePath(), path, viewFilters());
}

EntryInfo LiveDirTreeItem::findEntry(const QString &path, const QString &name, QChar) const
{
    return LiveDirectory::find(fileInfo().filePath(), path, name, viewFilters());
}

bool LiveDirTreeItem::findLivePlace(const QString &path, QChar, LivePlace *place) const
{
    *place = LivePlace { fileInfo().filePath(), path, viewFilters() };
    return true;
}

void LiveDirTreeItem::populate()
{
    const QList<EntryInfo> entries = listEntries(QString(), QLatin1Char('/'));
    qDeleteAll(takeChildren());
    for (const EntryInfo &entry : entries)
        addEntryBefore(entry, true, nullptr, false);
}

void LiveDirTreeItem::sync()
{
    if (!isExpanded()) {
        setIcon(0, ItemIcons::folder(true, false));
        if (childCount() == 0)
            populate();
        return;
    }
    setIcon(0, ItemIcons::folder(true, true));
    const QList<EntryInfo> listing = listEntries(QString(), QLatin1Char('/'));

    // Children and listing come from the same directory path, so their paths agree as text;
    // matching by text keeps a large folder from comparing every pair on the disk.
    QSet<QString> listed;
    listed.reserve(listing.size());
    for (const EntryInfo &entry : listing)
        listed.insert(entry.filePath());

    QList<TreeItem *> gone;
    for (int i = 0; i < childCount(); ++i) {
        TreeItem *item = childItem(i);
        if (!item)
            continue;
        if (listed.contains(item->fileInfo().filePath()))
            item->refresh();
        else
            gone.append(item);
    }
    qDeleteAll(gone);

    if (childCount() >= listing.size())
        return;
    QSet<QString> present;
    for (int i = 0; i < childCount(); ++i) {
        if (const TreeItem *item = childItem(i))
            present.insert(item->fileInfo().filePath());
    }
    for (const EntryInfo &entry : listing) {
        if (present.contains(entry.filePath()))
            continue;
        TreeItem *item = addEntrySorted(entry, true);
        if (entry.isDir()) {
            if (auto *folder = dynamic_cast<LiveDirTreeItem *>(item))
                folder->populate();
        }
    }
}
