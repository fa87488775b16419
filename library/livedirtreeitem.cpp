#include "library/livedirtreeitem.h"

#include "library/itemicons.h"
#include "library/xmltext.h"

#include <QDir>
#include <QDomElement>
#include <QSet>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// A directory's own name; a drive or file-system root has none, so it shows its path.
QString directoryText(const QFileInfo &info)
{
    const QString name = info.fileName();
    return name.isEmpty() ? info.filePath() : name;
}

// Whether name is something a listing of parent would show as a folder. A player's path
// must not leave the live folder: "." and "..", hidden entries and links are refused.
bool isListedDirectory(const QString &parent, const QString &name)
{
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
#ifdef Q_OS_WIN
    if (name.contains(QLatin1Char(':')) || name.contains(QLatin1Char('\\')))
        return false;
#endif
    const QFileInfo info(parent + QLatin1Char('/') + name);
    return info.fileName() == name && info.isDir() && !info.isSymLink() && !info.isHidden()
        && info.isReadable();
}

void sortByName(QFileInfoList &list)
{
    // Names are taken once: asking each QFileInfo inside the comparison builds a new string
    // per call, which costs more than the directory read itself in a large folder.
    std::vector<std::pair<QString, qsizetype>> keys;
    keys.reserve(list.size());
    for (qsizetype i = 0; i < list.size(); ++i)
        keys.emplace_back(list.at(i).fileName(), i);
    std::sort(keys.begin(), keys.end());
    QFileInfoList sorted;
    sorted.reserve(list.size());
    for (const auto &key : keys)
        sorted.append(list.at(key.second));
    list = std::move(sorted);
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
    // Below a live folder the components go to the file system, joined by "/"; empty ones
    // (a doubled or trailing separator) are harmless there and skipped.
    QString dirPath = fileInfo().filePath();
    if (dirPath.isEmpty())
        return {};
    for (const QString &part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (!isListedDirectory(dirPath, part))
            return {};
        dirPath += QLatin1Char('/') + part;
    }

    const QDir dir(dirPath);
    if (!dir.exists())
        return {};

    QFileInfoList dirs = dir.entryInfoList(
        QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks | QDir::Readable, QDir::NoSort);
    sortByName(dirs);

    const QStringList patterns
        = viewFilters().simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QFileInfoList files
        = dir.entryInfoList(patterns, QDir::Files | QDir::NoSymLinks | QDir::Readable, QDir::NoSort);
    sortByName(files);

    QList<EntryInfo> entries;
    entries.reserve(dirs.size() + files.size());
    for (const QFileInfo &info : std::as_const(dirs))
        entries.append(EntryInfo(info, QString()));
    for (const QFileInfo &info : std::as_const(files))
        entries.append(EntryInfo(info, QString()));
    return entries;
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
