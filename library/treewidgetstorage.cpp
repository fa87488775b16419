// Reading and writing a library's element of the configuration document.
#include "library/treewidget.h"

#include "library/dirtreeitem.h"
#include "library/librarylog.h"
#include "library/treeitem.h"

namespace {

// Folders nested deeper than any real library are dropped rather than risk the stack
// while loading or deleting them.
constexpr int maximumDepth = 200;

int depthOf(const QTreeWidgetItem *item)
{
    int depth = 0;
    for (; item; item = item->parent())
        ++depth;
    return depth;
}

// Adds the entry that element describes, with its subtree, at the end of level: the view's
// invisible root item, or a folder levelDepth folders deep. names holds the texts that the
// level's children show, so a large folder is not scanned once for every entry.
void loadElement(QTreeWidgetItem *level, int levelDepth, LibraryLevel::Names &names,
    const QDomElement &element, int mediaType, QStringList &gone)
{
    if (levelDepth >= maximumDepth)
        return;

    const QString name = element.attribute(QStringLiteral("name"));
    const QString path = element.attribute(QStringLiteral("path"));
    const QString tag = element.tagName();

    EntryInfo entry;
    bool live = false;
    if (tag == QLatin1String("file")) {
        entry = EntryInfo(QFileInfo(path), name);
    } else if (tag == QLatin1String("dir")) {
        entry = EntryInfo(name, true);
    } else if (tag == QLatin1String("livedir")) {
        entry = EntryInfo::directory(QFileInfo(path), name);
        live = true;
    } else {
        // Never written by us; skipped with whatever it holds.
        return;
    }

    TreeItem *item = LibraryLevel::add(level, entry, mediaType, live, names);
    if (!item)
        return;
    item->refresh();
    if (!path.isEmpty() && !entry.exists())
        gone.append(path);

    // Only a virtual folder takes stored children: a "file" element that now names a
    // directory has become a live folder, whose content comes from the disk alone.
    if (!item->isDir() || item->isLive())
        return;
    LibraryLevel::Names childNames(item);
    for (QDomNode node = element.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (node.isElement())
            loadElement(item, levelDepth + 1, childNames, node.toElement(), mediaType, gone);
    }
}

} // namespace

QString TreeWidget::elementName() const
{
    return libraryName.toLower() + QLatin1String("_tree");
}

void TreeWidget::loadTree(const QDomDocument &document)
{
    const QDomElement library = document.documentElement().firstChildElement(elementName());
    LibraryLevel::Names names(invisibleRootItem());
    for (QDomNode node = library.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (node.isElement())
            loadElement(invisibleRootItem(), 0, names, node.toElement(), typeCode, goneAtLoad);
    }
}

void TreeWidget::loadTreeElement(DirTreeItem *parentDir, const QDomElement &element)
{
    // Nothing goes into a live folder: it stands for the top level, as in addEntryAt.
    if (parentDir && parentDir->isLive())
        parentDir = nullptr;
    QTreeWidgetItem *level
        = parentDir ? static_cast<QTreeWidgetItem *>(parentDir) : invisibleRootItem();
    LibraryLevel::Names names(level);
    loadElement(level, depthOf(parentDir), names, element, typeCode, goneAtLoad);
}

void TreeWidget::reportGoneAtLoad()
{
    if (goneAtLoad.isEmpty())
        return;
    // One line however many: a library on an unplugged drive would otherwise print a line per
    // entry on every start, and a journal drops lines past its rate limit.
    constexpr int examples = 3;
    QStringList shown = goneAtLoad.mid(0, examples);
    for (QString &path : shown)
        path = QLatin1Char('"') + path + QLatin1Char('"');
    QString line = libraryName + QLatin1String(": ") + QString::number(goneAtLoad.size())
        + (goneAtLoad.size() == 1 ? QLatin1String(" stored path is gone (")
                                  : QLatin1String(" stored paths are gone ("))
        + shown.join(QLatin1String(", "));
    if (goneAtLoad.size() > examples)
        line += QLatin1String(", ...; --verbose lists them all");
    line += QLatin1String("); kept in the library, shown in red");
    qCWarning(lcLibrary).noquote() << line;
    for (const QString &path : std::as_const(goneAtLoad))
        qCInfo(lcLibrary).noquote() << path << "is gone; kept in its library, shown in red";
    goneAtLoad.clear();
}

void TreeWidget::saveTree(QDomDocument &document) const
{
    QDomElement root = document.documentElement();
    if (root.isNull())
        return;
    QDomElement library = document.createElement(elementName());
    root.appendChild(library);
    QDomNode node = library;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        if (const TreeItem *item = topLevelTreeItem(i))
            item->saveXml(node, document);
    }
}
