#include "library/sharewidget.h"

#include "library/treewidget.h"
#include "library/userprompts.h"

#include <QDomDocument>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

ShareWidget::ShareWidget(TreeWidget *view, QWidget *parent)
    : QWidget(parent)
    , tree(view)
{
    if (!tree) {
        placeholderPrompts = std::make_unique<QtUserPrompts>();
        tree = new TreeWidget(
            QStringLiteral("NoName"), 0, QString(), QDomDocument(), *placeholderPrompts);
    }

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(tree);
    layout->addSpacing(5);
    createButtonRow(layout);
    layout->addSpacing(5);

    connect(tree, &QTreeWidget::itemSelectionChanged, this, &ShareWidget::newSelections);
    newSelections();
    connect(tree, &QTreeWidget::currentItemChanged, this, &ShareWidget::currentChanged);
}

ShareWidget::~ShareWidget() = default;

void ShareWidget::createButtonRow(QVBoxLayout *layout)
{
    auto *row = new QHBoxLayout;
    row->addStretch();
    addFilesButton = new QPushButton(QStringLiteral("&Add Files"), this);
    newFolderButton = new QPushButton(QStringLiteral("&New Folder"), this);
    addLiveFolderButton = new QPushButton(QStringLiteral("Add &Live Folder"), this);
    removeButton = new QPushButton(QStringLiteral("&Remove"), this);
    for (QPushButton *button :
        { addFilesButton, newFolderButton, addLiveFolderButton, removeButton }) {
        row->addWidget(button);
        row->addStretch();
    }
    layout->addLayout(row);

    TreeWidget *view = tree;
    connect(addFilesButton, &QPushButton::clicked, view, [view] { view->addFiles(); });
    connect(newFolderButton, &QPushButton::clicked, view, [view] { view->makeDir(); });
    connect(addLiveFolderButton, &QPushButton::clicked, view, [view] { view->addLiveDir(); });
    connect(removeButton, &QPushButton::clicked, view, &TreeWidget::deleteSelected);
}

void ShareWidget::newSelections()
{
    removeButton->setEnabled(tree->canRemove());
}

void ShareWidget::currentChanged(QTreeWidgetItem *, QTreeWidgetItem *)
{
    const bool adding = tree->canAdd();
    addFilesButton->setEnabled(adding);
    newFolderButton->setEnabled(adding);
    addLiveFolderButton->setEnabled(adding);
}
