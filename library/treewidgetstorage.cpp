// Reading and writing a library's element of the configuration document.
#include "library/treewidget.h"

#include "library/dirtreeitem.h"
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

} // namespace

QString TreeWidget::elementName() const
{
    return libraryName.toLower() + QLatin1String("_tree");
}

void TreeWidget::loadTree(const QDomDocument &document)
{
    const QDomElement library = document.documentElement().firstChildElement(elementName());
    for (QDomNode node = library.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (node.isElement())
            loadTreeElement(nullptr, node.toElement());
    }
}

void TreeWidget::loadTreeElement(DirTreeItem *parentDir, const QDomElement &element)
{
    if (parentDir && depthOf(parentDir) >= maximumDepth)
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

    TreeItem *item = addEntryAt(entry, live, parentDir);
    if (!item)
        return;
    item->refresh();

    // Only a virtual folder takes stored children: a "file" element that now names a
    // directory has become a live folder, whose content comes from the disk alone.
    if (!item->isDir() || item->isLive())
        return;
    auto *folder = dynamic_cast<DirTreeItem *>(item);
    if (!folder)
        return;
    for (QDomNode node = element.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (node.isElement())
            loadTreeElement(folder, node.toElement());
    }
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
