#include "fakelibrary.h"

#include "library/livedirectory.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <vector>

struct FakeLibrary::Node
{
    EntryInfo entry;
    bool live = false;
    std::vector<std::unique_ptr<Node>> children; // virtual folders only
};

FakeLibrary::FakeLibrary(int mediaType)
    : type(mediaType)
    , root(std::make_unique<Node>())
{ }

FakeLibrary::~FakeLibrary() = default;

FakeLibrary::Node *FakeLibrary::virtualFolder(const QString &path) const
{
    Node *node = root.get();
    if (path.isEmpty())
        return node;
    for (const QString &name : path.split(QLatin1Char('/'))) {
        Node *next = nullptr;
        for (const auto &child : node->children) {
            if (child->entry.isVirtual() && child->entry.name() == name)
                next = child.get();
        }
        if (!next)
            return nullptr;
        node = next;
    }
    return node;
}

bool FakeLibrary::addFile(const QString &folderPath, const QString &diskPath)
{
    Node *folder = virtualFolder(folderPath);
    if (!folder)
        return false;
    auto node = std::make_unique<Node>();
    node->entry = EntryInfo(QFileInfo(diskPath), QString());
    folder->children.push_back(std::move(node));
    return true;
}

bool FakeLibrary::addLiveDir(const QString &folderPath, const QString &diskPath)
{
    if (!addFile(folderPath, diskPath))
        return false;
    virtualFolder(folderPath)->children.back()->live = true;
    return true;
}

bool FakeLibrary::addVirtualDir(const QString &folderPath, const QString &name)
{
    Node *folder = virtualFolder(folderPath);
    if (!folder)
        return false;
    auto node = std::make_unique<Node>();
    node->entry = EntryInfo(name, true);
    folder->children.push_back(std::move(node));
    return true;
}

// The node that the leading components of parts name among the virtual folders, and how many
// components that took; a live folder ends the walk.
const FakeLibrary::Node *FakeLibrary::walk(const QStringList &parts, qsizetype *taken) const
{
    const Node *node = root.get();
    for (*taken = 0; *taken < parts.size(); ++*taken) {
        if (node->live)
            return node;
        const Node *next = nullptr;
        for (const auto &child : node->children) {
            if (child->entry.isDir() && child->entry.name() == parts.at(*taken)) {
                next = child.get();
                break;
            }
        }
        if (!next)
            return nullptr;
        node = next;
    }
    return node;
}

QList<EntryInfo> FakeLibrary::listEntries(const QString &path, QChar separator) const
{
    const QStringList parts
        = path.isEmpty() ? QStringList() : path.split(separator, Qt::KeepEmptyParts);
    qsizetype taken = 0;
    const Node *node = walk(parts, &taken);
    if (!node)
        return {};
    // Below a live folder the disk is read with the library's own rules.
    if (node->live)
        return LiveDirectory::list(
            node->entry.filePath(), parts.mid(taken).join(QLatin1Char('/')), QString());
    if (node != root.get() && !node->entry.isVirtual())
        return {};
    QList<EntryInfo> list;
    for (const auto &child : node->children)
        list.append(child->entry);
    return list;
}

EntryInfo FakeLibrary::findEntry(const QString &path, QChar separator) const
{
    const QStringList parts = path.split(separator, Qt::KeepEmptyParts);
    qsizetype taken = 0;
    const Node *node = walk(parts.mid(0, parts.size() - 1), &taken);
    if (!node)
        return EntryInfo();
    const QString name = parts.last();
    if (node->live)
        return LiveDirectory::find(node->entry.filePath(),
            parts.mid(taken, parts.size() - 1 - taken).join(QLatin1Char('/')), name, QString());
    if (node != root.get() && !node->entry.isVirtual())
        return EntryInfo();
    for (const auto &child : node->children) {
        if (child->entry.name() == name)
            return child->entry;
    }
    return EntryInfo();
}

bool FakeLibrary::findLivePlace(const QString &path, QChar separator, LivePlace *place) const
{
    const QStringList parts = path.split(separator);
    const Node *node = root.get();
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const Node *next = nullptr;
        for (const auto &child : node->children) {
            if (child->entry.isDir() && child->entry.name() == parts.at(i))
                next = child.get();
        }
        if (!next)
            return false;
        if (!next->entry.isVirtual()) {
            *place = LivePlace { next->entry.filePath(), parts.mid(i + 1).join(QLatin1Char('/')),
                QString() };
            return true;
        }
        node = next;
    }
    return false;
}
