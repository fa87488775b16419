#include "library/entryinfo.h"

EntryInfo::EntryInfo() = default;

EntryInfo::EntryInfo(const QFileInfo &info, const QString &name)
    : QFileInfo(info)
    , entryName(name.trimmed())
    , virtualEntry(false)
{
    // Fresh answers from the disk: the caller's information may be stale.
    QFileInfo current(info);
    current.refresh();
    if (!info.filePath().isEmpty() && current.isDir()) {
        dirEntry = true;
        if (entryName.isEmpty())
            entryName = current.fileName();
    } else if (!info.filePath().isEmpty() && current.isFile()) {
        dirEntry = false;
        if (entryName.isEmpty())
            entryName = current.fileName();
    } else {
        dirEntry = false;
        entryName = QStringLiteral("New Something");
    }
    QFileInfo::operator=(current);
}

EntryInfo::EntryInfo(const QString &name, bool isDir)
    : entryName(name.trimmed())
    , virtualEntry(true)
    , dirEntry(isDir)
{ }

bool EntryInfo::isUsable() const
{
    if (listedUsable)
        return true;
    if (filePath().isEmpty())
        return false;
    const QFileInfo current(filePath());
    if (current.isDir())
        return current.exists();
    return current.isFile() && current.exists() && current.isReadable();
}

EntryInfo EntryInfo::directory(const QFileInfo &info, const QString &name)
{
    EntryInfo entry(info, name);
    if (!entry.dirEntry) {
        entry.dirEntry = true;
        entry.entryName = info.fileName();
    }
    return entry;
}

EntryInfo EntryInfo::listed(
    const QString &root, const QString &path, const QString &name, bool isDir)
{
    return EntryInfo(root, path, name, isDir, ListedUsable());
}

EntryInfo::EntryInfo(
    const QString &root, const QString &path, const QString &name, bool isDir, ListedUsable)
    : QFileInfo(path)
    , entryName(name)
    , root(root)
    , virtualEntry(false)
    , dirEntry(isDir)
    , listedUsable(true)
{ }
