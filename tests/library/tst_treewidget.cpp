// The library view: where additions go, name checks, lookups by path, editing through the
// prompts, and the enabling of the tab page's buttons.
#include "fakeprompts.h"
#include "libraryfixture.h"

#include "library/sharewidget.h"
#include "library/virtualdirtreeitem.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QDomDocument>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>

using namespace LibraryFixture;

class TestTreeWidget : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void namesAtEveryLevel_data();
    void namesAtEveryLevel();
    void listEntriesByPath_data();
    void listEntriesByPath();
    void findEntryByPath_data();
    void findEntryByPath();
    void virtualFolderNames_data();
    void virtualFolderNames();
    void addFilesPlacement_data();
    void addFilesPlacement();
    void addingIntoLiveFolderRefused_data();
    void addingIntoLiveFolderRefused();
    void removeNotConfirmed();
    void removeLiveContentRefused();
    void removeFolderWithItsChild();
    void removeLiveFolderItself();
    void keys();
    void editsAreSignalledBrowsingIsNot();
    void otherKeysTravelOn_data();
    void otherKeysTravelOn();
    void rightClickOnEmptySpaceClearsCurrent();
    void contextMenuEnabling();
    void shareWidgetButtons();
    void fileColours();
    void castByClassName();

private:
    QString disk(const QString &relative) const { return temp->filePath(relative); }
    // Video library: Films(Sub(deep.avi), a.avi), Live, top.avi.
    void buildLibrary();

    QTemporaryDir *temp = nullptr;
    FakePrompts *prompts = nullptr;
    TreeWidget *view = nullptr;
};

void TestTreeWidget::init()
{
    temp = new QTemporaryDir;
    QVERIFY(temp->isValid());
    for (const char *name : { "one/a.avi", "one/top.avi", "one/deep.avi", "two/a.avi",
             "two/b.avi", "Live/in.avi", "Live/sub/x.avi" })
        QVERIFY(writeFile(disk(QLatin1String(name))));
    prompts = new FakePrompts;
    view = new TreeWidget(QStringLiteral("Video"), 1, QStringLiteral("*.avi *.mp4"),
        QDomDocument(), *prompts);
}

void TestTreeWidget::cleanup()
{
    delete view;
    view = nullptr;
    delete prompts;
    prompts = nullptr;
    delete temp;
    temp = nullptr;
}

void TestTreeWidget::buildLibrary()
{
    TreeItem *films = view->addPath(QStringLiteral("Films"), nullptr, true);
    QVERIFY(films);
    QVERIFY(view->addPath(QStringLiteral("Sub"), films, true));
    QVERIFY(view->addPath(disk(QStringLiteral("one/deep.avi")), itemAt(*view, QStringLiteral("Films/Sub"))));
    QVERIFY(view->addPath(disk(QStringLiteral("one/a.avi")), films));
    QVERIFY(view->addPath(disk(QStringLiteral("Live")), nullptr));
    QVERIFY(view->addPath(disk(QStringLiteral("one/top.avi")), nullptr));
    QCOMPARE(shapeOf(*view), QStringLiteral("Films(Sub(deep.avi),a.avi),Live(sub,in.avi),top.avi"));
    QVERIFY(prompts->messages.isEmpty());
}

void TestTreeWidget::namesAtEveryLevel_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("virtualDir");
    QTest::addColumn<QString>("expected");

    const QString unchanged = QStringLiteral("Films(Sub(deep.avi),a.avi),Live(sub,in.avi),top.avi");
    QTest::addRow("same file name, other directory, top") << QString() << QStringLiteral("two/a.avi") << false
        << QStringLiteral("Films(Sub(deep.avi),a.avi),Live(sub,in.avi),top.avi,a.avi");
    QTest::addRow("same file name in folder") << QStringLiteral("Films") << QStringLiteral("two/a.avi") << false << unchanged;
    QTest::addRow("same name before sibling in folder") << QStringLiteral("Films/Sub/deep.avi")
        << QStringLiteral("one/deep.avi") << false << unchanged;
    QTest::addRow("folder named like a top file") << QString() << QStringLiteral("top.avi") << true << unchanged;
    QTest::addRow("folder named like a folder, with blanks") << QString() << QStringLiteral("  Films ") << true << unchanged;
    QTest::addRow("other case is another name") << QString() << QStringLiteral("films") << true
        << QStringLiteral("Films(Sub(deep.avi),a.avi),Live(sub,in.avi),top.avi,films");
    QTest::addRow("directory named like the live folder") << QString() << QStringLiteral("Live") << false << unchanged;
    QTest::addRow("before a top-level file") << QStringLiteral("top.avi") << QStringLiteral("two/b.avi") << false
        << QStringLiteral("Films(Sub(deep.avi),a.avi),Live(sub,in.avi),b.avi,top.avi");
    QTest::addRow("before a file in a folder") << QStringLiteral("Films/a.avi") << QStringLiteral("two/b.avi") << false
        << QStringLiteral("Films(Sub(deep.avi),b.avi,a.avi),Live(sub,in.avi),top.avi");
    QTest::addRow("into a folder, appended") << QStringLiteral("Films") << QStringLiteral("two/b.avi") << false
        << QStringLiteral("Films(Sub(deep.avi),a.avi,b.avi),Live(sub,in.avi),top.avi");
    QTest::addRow("missing path adds nothing") << QString() << QStringLiteral("none.avi") << false << unchanged;
}

void TestTreeWidget::namesAtEveryLevel()
{
    QFETCH(QString, target);
    QFETCH(QString, path);
    QFETCH(bool, virtualDir);
    QFETCH(QString, expected);

    buildLibrary();
    TreeItem *targetItem = target.isEmpty() ? nullptr : itemAt(*view, target);
    QCOMPARE(targetItem == nullptr, target.isEmpty());
    const QString before = shapeOf(*view);
    const QString added = virtualDir ? path : disk(path);
    TreeItem *item = view->addPath(added, targetItem, virtualDir);
    QCOMPARE(shapeOf(*view), expected);
    QCOMPARE(item != nullptr, expected != before);
    QVERIFY(prompts->messages.isEmpty());
}

void TestTreeWidget::listEntriesByPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("expected");

    const QStringList top { QStringLiteral("Films"), QStringLiteral("Live"), QStringLiteral("top.avi"),
        QStringLiteral("a/b") };
    const QStringList films { QStringLiteral("Sub"), QStringLiteral("a.avi") };
    QTest::addRow("empty") << QString() << top;
    QTest::addRow("separators only") << QStringLiteral("///") << top;
    QTest::addRow("folder") << QStringLiteral("Films") << films;
    QTest::addRow("leading separator") << QStringLiteral("/Films") << films;
    QTest::addRow("trailing separator") << QStringLiteral("Films/") << films;
    QTest::addRow("nested") << QStringLiteral("Films/Sub") << QStringList { QStringLiteral("deep.avi") };
    QTest::addRow("case differs") << QStringLiteral("films") << QStringList();
    QTest::addRow("a file is no folder") << QStringLiteral("top.avi") << QStringList();
    QTest::addRow("missing") << QStringLiteral("Nothing/Here") << QStringList();
    QTest::addRow("live folder") << QStringLiteral("Live") << QStringList { QStringLiteral("sub"), QStringLiteral("in.avi") };
    QTest::addRow("inside live folder") << QStringLiteral("Films/../Live") << QStringList();
    // A separator inside a folder's name: listed, but its content is out of reach.
    QTest::addRow("separator in a name") << QStringLiteral("a/b") << QStringList();
}

void TestTreeWidget::listEntriesByPath()
{
    QFETCH(QString, path);
    QFETCH(QStringList, expected);

    buildLibrary();
    TreeItem *slashed = view->addPath(QStringLiteral("a/b"), nullptr, true);
    QVERIFY(slashed);
    QVERIFY(view->addPath(disk(QStringLiteral("two/b.avi")), slashed));
    QCOMPARE(names(view->listEntries(path, QLatin1Char('/'))), expected);
}

void TestTreeWidget::findEntryByPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("isVirtual");
    QTest::addColumn<bool>("isDir");

    QTest::addRow("top-level file") << QStringLiteral("top.avi") << QStringLiteral("top.avi") << false << false;
    QTest::addRow("top-level folder") << QStringLiteral("Films") << QStringLiteral("Films") << true << true;
    QTest::addRow("child of folder") << QStringLiteral("Films/a.avi") << QStringLiteral("a.avi") << false << false;
    QTest::addRow("leading separator") << QStringLiteral("/Films/Sub/deep.avi") << QStringLiteral("deep.avi") << false << false;
    QTest::addRow("live folder") << QStringLiteral("Live") << QStringLiteral("Live") << false << true;
    QTest::addRow("inside live folder") << QStringLiteral("Live/sub/x.avi") << QStringLiteral("x.avi") << false << false;
    QTest::addRow("missing name") << QStringLiteral("Films/none.avi") << QString() << true << false;
    QTest::addRow("case differs") << QStringLiteral("films/a.avi") << QString() << true << false;
    QTest::addRow("empty") << QString() << QString() << true << false;
}

void TestTreeWidget::findEntryByPath()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QFETCH(bool, isVirtual);
    QFETCH(bool, isDir);

    buildLibrary();
    const EntryInfo entry = view->findEntry(path, QLatin1Char('/'));
    QCOMPARE(entry.name(), name);
    QCOMPARE(entry.isVirtual(), isVirtual);
    QCOMPARE(entry.isDir(), isDir);
}

void TestTreeWidget::virtualFolderNames_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<bool>("made");
    QTest::addColumn<QString>("shown");

    QTest::addRow("plain") << QStringLiteral("Films") << true << true << QStringLiteral("Films");
    QTest::addRow("blanks around") << QStringLiteral("  Summer 2020\t") << true << true << QStringLiteral("Summer 2020");
    QTest::addRow("empty") << QString() << true << false << QString();
    QTest::addRow("blanks only") << QStringLiteral("   ") << true << false << QString();
    QTest::addRow("cancelled") << QStringLiteral("Films") << false << false << QString();
    QTest::addRow("odd characters") << QStringLiteral("<a & \"b\">") << true << true << QStringLiteral("<a & \"b\">");
}

void TestTreeWidget::virtualFolderNames()
{
    QFETCH(QString, typed);
    QFETCH(bool, accepted);
    QFETCH(bool, made);
    QFETCH(QString, shown);

    prompts->text = typed;
    prompts->textAccepted = accepted;
    QCOMPARE(view->makeDir(), made);
    QCOMPARE(prompts->asked, QStringList { QStringLiteral("New Directory") });
    QCOMPARE(view->topLevelItemCount(), made ? 1 : 0);
    if (made) {
        QCOMPARE(view->topLevelItem(0)->text(0), shown);
        const QList<EntryInfo> entries = view->listEntries(QString(), QLatin1Char('/'));
        QCOMPARE(names(entries), QStringList { shown });
        QVERIFY(entries.first().isVirtual());
        // A second folder of that name is refused.
        QVERIFY(!view->makeDir());
        QCOMPARE(view->topLevelItemCount(), 1);
    }
}

void TestTreeWidget::addFilesPlacement_data()
{
    QTest::addColumn<QString>("current");
    QTest::addColumn<bool>("root");
    QTest::addColumn<QString>("expected");

    QTest::addRow("no current item") << QString() << false
        << QStringLiteral("Films(Sub(deep.avi),a.avi),Live(sub,in.avi),top.avi,b.avi");
    QTest::addRow("current folder") << QStringLiteral("Films") << false
        << QStringLiteral("Films(Sub(deep.avi),a.avi,b.avi),Live(sub,in.avi),top.avi");
    QTest::addRow("current folder, root") << QStringLiteral("Films") << true
        << QStringLiteral("Films(Sub(deep.avi),a.avi),Live(sub,in.avi),top.avi,b.avi");
    QTest::addRow("current file in folder") << QStringLiteral("Films/Sub/deep.avi") << false
        << QStringLiteral("Films(Sub(b.avi,deep.avi),a.avi),Live(sub,in.avi),top.avi");
}

void TestTreeWidget::addFilesPlacement()
{
    QFETCH(QString, current);
    QFETCH(bool, root);
    QFETCH(QString, expected);

    buildLibrary();
    view->setCurrentItem(current.isEmpty() ? nullptr : itemAt(*view, current));
    // The second a.avi clashes with the one already in Films when placed there.
    prompts->files = QStringList { disk(QStringLiteral("two/b.avi")), disk(QStringLiteral("missing.avi")) };
    view->addFiles(root);
    QCOMPARE(shapeOf(*view), expected);
    QCOMPARE(prompts->lastFilter, QStringLiteral("Video (*.avi *.mp4)"));
    view->setFilters(QStringLiteral("*.mkv"));
    view->addFiles(root);
    QCOMPARE(prompts->lastFilter, QStringLiteral("Video (*.mkv)"));
    QCOMPARE(shapeOf(*view), expected);
    QVERIFY(prompts->messages.isEmpty());
}

void TestTreeWidget::addingIntoLiveFolderRefused_data()
{
    QTest::addColumn<QString>("current");
    QTest::addRow("live folder") << QStringLiteral("Live");
    QTest::addRow("file inside") << QStringLiteral("Live/in.avi");
    QTest::addRow("folder inside") << QStringLiteral("Live/sub");
}

void TestTreeWidget::addingIntoLiveFolderRefused()
{
    QFETCH(QString, current);

    buildLibrary();
    const QString before = shapeOf(*view);
    view->setCurrentItem(itemAt(*view, current));
    QVERIFY(!view->canAdd());
    prompts->text = QStringLiteral("New");
    QVERIFY(!view->makeDir());
    prompts->directory = disk(QStringLiteral("one"));
    view->addLiveDir();
    prompts->files = QStringList { disk(QStringLiteral("two/b.avi")) };
    view->addFiles();
    QCOMPARE(shapeOf(*view), before);
    QCOMPARE(prompts->messages.size(), 3);
    for (const auto &message : std::as_const(prompts->messages)) {
        QCOMPARE(message.first, QStringLiteral("Live Content"));
        QCOMPARE(message.second, QStringLiteral("You can not add content to live folders"));
    }
    // At the top level the same additions are fine.
    view->addLiveDir(true);
    QCOMPARE(prompts->messages.size(), 3);
    QVERIFY(itemAt(*view, QStringLiteral("one")));
}

void TestTreeWidget::removeNotConfirmed()
{
    buildLibrary();
    const QString before = shapeOf(*view);
    itemAt(*view, QStringLiteral("Films"))->setSelected(true);
    itemAt(*view, QStringLiteral("top.avi"))->setSelected(true);
    prompts->messageAnswers = { QMessageBox::Cancel };
    view->deleteSelected();
    QCOMPARE(shapeOf(*view), before);
    QCOMPARE(prompts->messages.size(), 1);
    QCOMPARE(prompts->messages.first().first, QStringLiteral("Remove?"));
    QCOMPARE(prompts->messages.first().second, QStringLiteral("Remove all selected files and folders?"));
}

void TestTreeWidget::removeLiveContentRefused()
{
    buildLibrary();
    const QString before = shapeOf(*view);
    itemAt(*view, QStringLiteral("top.avi"))->setSelected(true);
    itemAt(*view, QStringLiteral("Live/in.avi"))->setSelected(true);
    QVERIFY(!view->canRemove());
    view->deleteSelected();
    QCOMPARE(shapeOf(*view), before);
    QCOMPARE(prompts->messages.size(), 2);
    QCOMPARE(prompts->messages.last().first, QStringLiteral("Live Content"));
    QCOMPARE(prompts->messages.last().second, QStringLiteral("Contents of live folders can not be removed"));
}

void TestTreeWidget::removeFolderWithItsChild()
{
    buildLibrary();
    // Children first in the selection order, then their folder, then a grandchild.
    itemAt(*view, QStringLiteral("Films/a.avi"))->setSelected(true);
    itemAt(*view, QStringLiteral("Films"))->setSelected(true);
    itemAt(*view, QStringLiteral("Films/Sub/deep.avi"))->setSelected(true);
    QVERIFY(view->canRemove());
    view->deleteSelected();
    QCOMPARE(shapeOf(*view), QStringLiteral("Live(sub,in.avi),top.avi"));
    QVERIFY(view->listEntries(QStringLiteral("Films"), QLatin1Char('/')).isEmpty());
}

void TestTreeWidget::removeLiveFolderItself()
{
    buildLibrary();
    itemAt(*view, QStringLiteral("Live"))->setSelected(true);
    QVERIFY(view->canRemove());
    view->deleteSelected();
    QCOMPARE(shapeOf(*view), QStringLiteral("Films(Sub(deep.avi),a.avi),top.avi"));
}

// Clients that keep listings learn of edits; opening folders in the view is no edit.
void TestTreeWidget::editsAreSignalledBrowsingIsNot()
{
    QSignalSpy edited(view, &TreeWidget::edited);
    buildLibrary();
    QVERIFY(edited.count() > 0);
    edited.clear();
    view->expandItem(itemAt(*view, QStringLiteral("Live")));
    view->collapseItem(itemAt(*view, QStringLiteral("Live")));
    view->setFilters(view->filters());
    QCOMPARE(edited.count(), 0);
    view->setFilters(QStringLiteral("*.mkv"));
    QCOMPARE(edited.count(), 1);
    itemAt(*view, QStringLiteral("top.avi"))->setSelected(true);
    view->deleteSelected();
    QCOMPARE(edited.count(), 2);
    view->placeDraggedItems({ itemAt(*view, QStringLiteral("Films/a.avi")) }, nullptr);
    QCOMPARE(edited.count(), 3);
}

void TestTreeWidget::keys()
{
    buildLibrary();
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));
    view->setCurrentItem(itemAt(*view, QStringLiteral("top.avi")));
    itemAt(*view, QStringLiteral("top.avi"))->setSelected(true);
    QTest::keyClick(view, Qt::Key_Delete);
    QCOMPARE(prompts->messages.size(), 1);
    QCOMPARE(shapeOf(*view), QStringLiteral("Films(Sub(deep.avi),a.avi),Live(sub,in.avi)"));

    QVERIFY(QFile::remove(disk(QStringLiteral("one/a.avi"))));
    view->expandItem(itemAt(*view, QStringLiteral("Films")));
    QVERIFY(writeFile(disk(QStringLiteral("Live/new.avi"))));
    view->expandItem(itemAt(*view, QStringLiteral("Live")));
    QVERIFY(QFile::remove(disk(QStringLiteral("Live/new.avi"))));
    QTest::keyClick(view, Qt::Key_F5);
    QCOMPARE(itemAt(*view, QStringLiteral("Films/a.avi"))->foreground(0).color(), QColor(255, 0, 0));
    QVERIFY(!itemAt(*view, QStringLiteral("Live/new.avi")));
}

void TestTreeWidget::otherKeysTravelOn_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");

    QTest::addRow("delete") << int(Qt::Key_Delete) << QString() << true;
    QTest::addRow("F5") << int(Qt::Key_F5) << QString() << true;
    // Keys the item view itself acts on still reach the parent widget afterwards.
    QTest::addRow("down") << int(Qt::Key_Down) << QString() << false;
    QTest::addRow("up") << int(Qt::Key_Up) << QString() << false;
    QTest::addRow("letter") << int(Qt::Key_T) << QStringLiteral("t") << false;
    QTest::addRow("return") << int(Qt::Key_Return) << QStringLiteral("\r") << false;
    QTest::addRow("escape") << int(Qt::Key_Escape) << QString() << false;
}

void TestTreeWidget::otherKeysTravelOn()
{
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(bool, accepted);

    buildLibrary();
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));
    view->setCurrentItem(itemAt(*view, QStringLiteral("Films")));
    prompts->messageAnswers = { QMessageBox::Cancel };
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(view, &event);
    QCOMPARE(event.isAccepted(), accepted);
    // The item view's own handling came first.
    if (key == Qt::Key_Down)
        QCOMPARE(view->currentItem(), itemAt(*view, QStringLiteral("Live")));
}

void TestTreeWidget::rightClickOnEmptySpaceClearsCurrent()
{
    buildLibrary();
    view->resize(300, 400);
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));
    TreeItem *films = itemAt(*view, QStringLiteral("Films"));
    view->setCurrentItem(films);
    QCOMPARE(view->currentItem(), films);
    QTest::mouseClick(view->viewport(), Qt::RightButton, {}, QPoint(10, 390));
    QCOMPARE(view->currentItem(), nullptr);

    prompts->files = QStringList { disk(QStringLiteral("two/b.avi")) };
    view->addFiles();
    QCOMPARE(shapeOf(*view), QStringLiteral("Films(Sub(deep.avi),a.avi),Live(sub,in.avi),top.avi,b.avi"));
}

void TestTreeWidget::contextMenuEnabling()
{
    buildLibrary();
    const QStringList texts { QStringLiteral("&Add Files"), QStringLiteral("&New Folder"),
        QStringLiteral("Add &Live Folder"), QStringLiteral("&Remove"), QStringLiteral("Refresh") };
    auto enabled = [&] {
        const std::unique_ptr<QMenu> menu = view->createContextMenu();
        QStringList shown;
        QList<bool> states;
        for (const QAction *action : menu->actions()) {
            shown.append(action->text());
            states.append(action->isEnabled());
        }
        [&] { QCOMPARE(shown, texts); }();
        return states;
    };
    QCOMPARE(enabled(), (QList<bool> { true, true, true, false, true }));
    view->setCurrentItem(itemAt(*view, QStringLiteral("Films")));
    QCOMPARE(enabled(), (QList<bool> { true, true, true, true, true }));
    view->setCurrentItem(itemAt(*view, QStringLiteral("Live")));
    QCOMPARE(enabled(), (QList<bool> { false, false, false, true, true }));
    view->setCurrentItem(itemAt(*view, QStringLiteral("Live/in.avi")));
    QCOMPARE(enabled(), (QList<bool> { false, false, false, false, true }));
}

void TestTreeWidget::shareWidgetButtons()
{
    buildLibrary();
    ShareWidget page(view);
    QCOMPARE(page.view(), view);
    QCOMPARE(view->parentWidget(), &page);
    QVERIFY(page.addFilesButtonWidget()->isEnabled());
    QVERIFY(!page.removeButtonWidget()->isEnabled());

    view->setCurrentItem(itemAt(*view, QStringLiteral("Live/in.avi")));
    QVERIFY(!page.addFilesButtonWidget()->isEnabled());
    QVERIFY(!page.newFolderButtonWidget()->isEnabled());
    QVERIFY(!page.addLiveFolderButtonWidget()->isEnabled());
    QVERIFY(!page.removeButtonWidget()->isEnabled());

    view->setCurrentItem(itemAt(*view, QStringLiteral("top.avi")));
    QVERIFY(page.addFilesButtonWidget()->isEnabled());
    QVERIFY(page.removeButtonWidget()->isEnabled());

    // The buttons drive the view.
    prompts->text = QStringLiteral("Made");
    page.newFolderButtonWidget()->click();
    QVERIFY(itemAt(*view, QStringLiteral("Made")));
    prompts->messageAnswers = { QMessageBox::Ok };
    view->clearSelection();
    itemAt(*view, QStringLiteral("Made"))->setSelected(true);
    page.removeButtonWidget()->click();
    QVERIFY(!itemAt(*view, QStringLiteral("Made")));
    QVERIFY(!page.removeButtonWidget()->isEnabled());
    view = nullptr; // owned by the page now

    ShareWidget placeholder(nullptr);
    QCOMPARE(placeholder.view()->name(), QStringLiteral("NoName"));
    QCOMPARE(placeholder.view()->mediaType(), 0);
}

void TestTreeWidget::fileColours()
{
    const QString path = disk(QStringLiteral("one/top.avi"));
    TreeItem *item = view->addPath(path, nullptr);
    QVERIFY(item);
    QCOMPARE(item->foreground(0).color(), QColor(0, 0, 0));
    QCOMPARE(item->toolTip(0), QLatin1String("file path:\n") + QDir::toNativeSeparators(path));
    QVERIFY(QFile::remove(path));
    view->refresh();
    QCOMPARE(item->foreground(0).color(), QColor(255, 0, 0));
    QVERIFY(writeFile(path));
    view->refresh();
    QCOMPARE(item->foreground(0).color(), QColor(0, 0, 0));
}

void TestTreeWidget::castByClassName()
{
    // The network side is handed the views as the interface part of each object.
    QObject *object = view;
    QCOMPARE(object->qt_metacast("TreeWidget"), static_cast<void *>(view));
    QCOMPARE(object->qt_metacast("DirTreeInterface"),
        static_cast<void *>(static_cast<DirTreeInterface *>(view)));
    QCOMPARE(static_cast<DirTreeInterface *>(view)->mediaType(), 1);
}

QTEST_MAIN(TestTreeWidget)
#include "tst_treewidget.moc"
