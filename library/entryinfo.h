#pragma once

#include <QFileInfo>
#include <QString>

// One entry of a library as players and the views see it: a disk path (empty for virtual
// folders) plus the name shown for it.
class EntryInfo : public QFileInfo
{
public:
    // The "not found" value.
    EntryInfo();
    // An entry backed by a disk path; an empty name takes the file or directory name.
    EntryInfo(const QFileInfo &info, const QString &name);
    // A virtual entry (a folder the user made); the name is trimmed.
    EntryInfo(const QString &name, bool isDir);

    // An entry for a disk directory that is taken as a folder even while the directory is
    // absent (an unplugged drive stays a live folder).
    static EntryInfo directory(const QFileInfo &info, const QString &name);
    // An entry that a directory listing below the live folder at root has just read and found
    // usable, named as the disk spells it. The listing's answers stand: nothing asks the disk
    // about it again.
    static EntryInfo listed(
        const QString &root, const QString &path, const QString &name, bool isDir);

    EntryInfo(const EntryInfo &) = default;
    EntryInfo &operator=(const EntryInfo &) = default;

    // Compares the file information only; name and flags take no part.
    bool operator==(const EntryInfo &other) const { return QFileInfo::operator==(other); }
    bool operator!=(const EntryInfo &other) const { return !(*this == other); }

    QFileInfo fileInfo() const { return *this; }
    QString name() const { return entryName; }
    bool isVirtual() const { return virtualEntry; }
    bool isDir() const { return dirEntry; }
    // The live folder a listing found this entry in; empty for an entry the user added by
    // hand (whose path may be a link of their choosing).
    QString liveRoot() const { return root; }

    // The path is an existing directory, or an existing readable file; asked of the disk now,
    // unless a listing made this entry a moment ago.
    bool isUsable() const;

private:
    struct ListedUsable
    {
    };
    EntryInfo(
        const QString &root, const QString &path, const QString &name, bool isDir, ListedUsable);

    QString entryName;
    QString root;
    bool virtualEntry = true;
    bool dirEntry = false;
    bool listedUsable = false;
};
