#pragma once

#include <QWidget>

#include <memory>

class QPushButton;
class QTreeWidgetItem;
class QVBoxLayout;
class TreeWidget;
class UserPrompts;

// A tab page: a library view above its four editing buttons.
class ShareWidget : public QWidget
{
    Q_OBJECT

public:
    // Without a view a placeholder library is made.
    explicit ShareWidget(TreeWidget *view, QWidget *parent = nullptr);
    ~ShareWidget() override;

    TreeWidget *view() const { return tree; }
    QPushButton *addFilesButtonWidget() const { return addFilesButton; }
    QPushButton *newFolderButtonWidget() const { return newFolderButton; }
    QPushButton *addLiveFolderButtonWidget() const { return addLiveFolderButton; }
    QPushButton *removeButtonWidget() const { return removeButton; }

public slots:
    void newSelections();
    void currentChanged(QTreeWidgetItem *current, QTreeWidgetItem *previous);

private:
    void createButtonRow(QVBoxLayout *layout);

    TreeWidget *tree = nullptr;
    // Only a placeholder view, made here, asks through prompts of the page's own.
    std::unique_ptr<UserPrompts> placeholderPrompts;
    QPushButton *newFolderButton = nullptr;
    QPushButton *addLiveFolderButton = nullptr;
    QPushButton *addFilesButton = nullptr;
    QPushButton *removeButton = nullptr;
};
