#pragma once

#include "library/dirtreeitem.h"
#include "library/treeitem.h"
#include "library/treewidget.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTreeWidgetItem>

namespace LibraryFixture {

inline bool writeFile(const QString &path, const QByteArray &content = QByteArrayLiteral("x"))
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

inline QStringList names(const QList<EntryInfo> &entries)
{
    QStringList result;
    for (const EntryInfo &entry : entries)
        result.append(entry.name());
    return result;
}

// The item a "/"-separated path of display texts names, or null.
inline TreeItem *itemAt(const TreeWidget &view, const QString &path)
{
    QTreeWidgetItem *current = nullptr;
    for (const QString &part : path.split(QLatin1Char('/'))) {
        QTreeWidgetItem *found = nullptr;
        const int count = current ? current->childCount() : view.topLevelItemCount();
        for (int i = 0; i < count && !found; ++i) {
            QTreeWidgetItem *candidate = current ? current->child(i) : view.topLevelItem(i);
            if (candidate->text(0) == part)
                found = candidate;
        }
        if (!found)
            return nullptr;
        current = found;
    }
    return dynamic_cast<TreeItem *>(current);
}

inline QString shapeOf(const QTreeWidgetItem *item)
{
    QString text = item->text(0);
    if (item->childCount() > 0) {
        QStringList children;
        for (int i = 0; i < item->childCount(); ++i)
            children.append(shapeOf(item->child(i)));
        text += QLatin1Char('(') + children.join(QLatin1Char(',')) + QLatin1Char(')');
    }
    return text;
}

// The whole tree as text, e.g. "A(x,B(y)),z".
inline QString shapeOf(const TreeWidget &view)
{
    QStringList parts;
    for (int i = 0; i < view.topLevelItemCount(); ++i)
        parts.append(shapeOf(view.topLevelItem(i)));
    return parts.join(QLatin1Char(','));
}

} // namespace LibraryFixture
