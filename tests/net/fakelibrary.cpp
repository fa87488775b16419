#include "fakelibrary.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <vector>

struct FakeLibrary::Node
{
    EntryInfo entry;
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
    return addFile(folderPath, diskPath);
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

QList<EntryInfo> FakeLibrary::listEntries(const QString &path, QChar separator) const
{
    const Node *node = root.get();
    QString diskDir;
    const QStringList parts
        = path.isEmpty() ? QStringList() : path.split(separator, Qt::KeepEmptyParts);
    auto entriesHere = [&]() {
        QList<EntryInfo> list;
        if (!diskDir.isEmpty()) {
            const QFileInfoList infos = QDir(diskDir).entryInfoList(
                QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                QDir::DirsFirst | QDir::Name);
            for (const QFileInfo &info : infos)
                list.append(EntryInfo(info, QString()));
        } else {
            for (const auto &child : node->children)
                list.append(child->entry);
        }
        return list;
    };
    for (const QString &part : parts) {
        if (part.isEmpty() && !diskDir.isEmpty())
            continue;
        bool found = false;
        for (const EntryInfo &entry : entriesHere()) {
            if (entry.name() != part || !entry.isDir())
                continue;
            if (entry.isVirtual()) {
                for (const auto &child : node->children) {
                    if (child->entry.isVirtual() && child->entry.name() == part) {
                        node = child.get();
                        break;
                    }
                }
            } else {
                diskDir = entry.filePath();
            }
            found = true;
            break;
        }
        if (!found)
            return {};
    }
    return entriesHere();
}

EntryInfo FakeLibrary::findEntry(const QString &path, QChar separator) const
{
    const qsizetype cut = path.lastIndexOf(separator);
    const QString folder = cut < 0 ? QString() : path.left(cut);
    const QString name = cut < 0 ? path : path.mid(cut + 1);
    for (const EntryInfo &entry : listEntries(folder, separator)) {
        if (entry.name() == name)
            return entry;
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
