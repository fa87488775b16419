#pragma once

#include "library/dirtreeinterface.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// A small stand-in for a library view: top-level files, virtual folders and live folders
// (disk directories read on every request with the library's own rules: subfolders first,
// hidden entries and links left out), looked up by display name.
class FakeLibrary : public DirTreeInterface
{
public:
    explicit FakeLibrary(int mediaType);
    ~FakeLibrary() override;

    // Each adds to the virtual folder at folderPath ("" for the top level) and returns
    // false when that folder does not exist.
    bool addFile(const QString &folderPath, const QString &diskPath);
    bool addLiveDir(const QString &folderPath, const QString &diskPath);
    bool addVirtualDir(const QString &folderPath, const QString &name);

    EntryInfo findEntry(const QString &path, QChar separator) const override;
    QList<EntryInfo> listEntries(const QString &path, QChar separator) const override;
    bool findLivePlace(const QString &path, QChar separator, LivePlace *place) const override;
    int mediaType() const override { return type; }

private:
    struct Node;
    Node *virtualFolder(const QString &path) const;
    const Node *walk(const QStringList &parts, qsizetype *taken) const;

    int type;
    std::unique_ptr<Node> root;
};
