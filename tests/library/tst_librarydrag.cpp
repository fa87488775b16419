// Rearranging a library by dragging its items, and drops from other applications.
#include "fakeprompts.h"
#include "libraryfixture.h"

#include <QDomDocument>
#include <QDropEvent>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using namespace LibraryFixture;

namespace {

// Synthetic drag events cannot travel through the application's dispatch without a real
// drag in progress, so the tests hand them to the handlers directly.
class DropView : public TreeWidget
{
public:
    using TreeWidget::TreeWidget;
    using TreeWidget::dragEnterEvent;
    using TreeWidget::dragMoveEvent;
    using TreeWidget::dropEvent;
};

} // namespace

class TestLibraryDrag : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void placeDraggedItems_data();
    void placeDraggedItems();
    void refusedDrags_data();
    void refusedDrags();
    void dropsFromOutside_data();
    void dropsFromOutside();
    void dragMoveHighlight_data();
    void dragMoveHighlight();
    void dragEnter_data();
    void dragEnter();

private:
    QString disk(const QString &relative) const { return temp->filePath(relative); }
    QPoint centreOf(const QString &path);

    QTemporaryDir *temp = nullptr;
    FakePrompts *prompts = nullptr;
    DropView *view = nullptr;
};

const QString initialShape = QStringLiteral(
    "FolderA(a1.avi,SubA(s1.avi)),FolderB(b1.avi),top.avi,Live(ls,lf.avi),a1.avi");

void TestLibraryDrag::init()
{
    temp = new QTemporaryDir;
    QVERIFY(temp->isValid());
    for (const char *name : { "one/a1.avi", "one/s1.avi", "one/b1.avi", "one/top.avi",
             "two/a1.avi", "Live/lf.avi", "Live/ls/inner.avi", "drop/d.avi" })
        QVERIFY(writeFile(disk(QLatin1String(name))));
    prompts = new FakePrompts;
    view = new DropView(QStringLiteral("Video"), 1, QStringLiteral("*.avi"), QDomDocument(),
        *prompts);

    TreeItem *a = view->addPath(QStringLiteral("FolderA"), nullptr, true);
    QVERIFY(view->addPath(disk(QStringLiteral("one/a1.avi")), a));
    TreeItem *sub = view->addPath(QStringLiteral("SubA"), a, true);
    QVERIFY(view->addPath(disk(QStringLiteral("one/s1.avi")), sub));
    TreeItem *b = view->addPath(QStringLiteral("FolderB"), nullptr, true);
    QVERIFY(view->addPath(disk(QStringLiteral("one/b1.avi")), b));
    QVERIFY(view->addPath(disk(QStringLiteral("one/top.avi")), nullptr));
    QVERIFY(view->addPath(disk(QStringLiteral("Live")), nullptr));
    QVERIFY(view->addPath(disk(QStringLiteral("two/a1.avi")), nullptr));
    QCOMPARE(shapeOf(*view), initialShape);
}

void TestLibraryDrag::cleanup()
{
    delete view;
    view = nullptr;
    delete prompts;
    prompts = nullptr;
    delete temp;
    temp = nullptr;
}

QPoint TestLibraryDrag::centreOf(const QString &path)
{
    if (path.isEmpty())
        return QPoint(10, view->viewport()->height() - 5);
    return view->visualItemRect(itemAt(*view, path)).center();
}

void TestLibraryDrag::placeDraggedItems_data()
{
    QTest::addColumn<QStringList>("dragged");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("expected");

    const QString unchanged = initialShape;
    QTest::addRow("top-level item to empty space") << QStringList { QStringLiteral("top.avi") } << QString()
        << QStringLiteral("FolderA(a1.avi,SubA(s1.avi)),FolderB(b1.avi),Live(ls,lf.avi),a1.avi,top.avi");
    QTest::addRow("folder into its own sub-folder") << QStringList { QStringLiteral("FolderA") }
        << QStringLiteral("FolderA/SubA") << unchanged;
    QTest::addRow("folder onto a file inside it") << QStringList { QStringLiteral("FolderA") }
        << QStringLiteral("FolderA/SubA/s1.avi") << unchanged;
    QTest::addRow("folder onto itself") << QStringList { QStringLiteral("FolderA") }
        << QStringLiteral("FolderA") << unchanged;
    QTest::addRow("onto its own parent folder") << QStringList { QStringLiteral("FolderA/a1.avi") }
        << QStringLiteral("FolderA") << unchanged;
    QTest::addRow("onto a file in another folder") << QStringList { QStringLiteral("FolderA/SubA/s1.avi") }
        << QStringLiteral("FolderB/b1.avi")
        << QStringLiteral("FolderA(a1.avi,SubA),FolderB(s1.avi,b1.avi),top.avi,Live(ls,lf.avi),a1.avi");
    QTest::addRow("before a sibling in its own folder") << QStringList { QStringLiteral("FolderA/SubA") }
        << QStringLiteral("FolderA/a1.avi")
        << QStringLiteral("FolderA(SubA(s1.avi),a1.avi),FolderB(b1.avi),top.avi,Live(ls,lf.avi),a1.avi");
    QTest::addRow("into a folder") << QStringList { QStringLiteral("top.avi") } << QStringLiteral("FolderB")
        << QStringLiteral("FolderA(a1.avi,SubA(s1.avi)),FolderB(b1.avi,top.avi),Live(ls,lf.avi),a1.avi");
    QTest::addRow("onto a top-level file") << QStringList { QStringLiteral("a1.avi") } << QStringLiteral("top.avi")
        << QStringLiteral("FolderA(a1.avi,SubA(s1.avi)),FolderB(b1.avi),a1.avi,top.avi,Live(ls,lf.avi)");
    QTest::addRow("from a folder onto a top-level file") << QStringList { QStringLiteral("FolderA/SubA/s1.avi") }
        << QStringLiteral("top.avi")
        << QStringLiteral("FolderA(a1.avi,SubA),FolderB(b1.avi),s1.avi,top.avi,Live(ls,lf.avi),a1.avi");
    QTest::addRow("name taken at the top") << QStringList { QStringLiteral("FolderA/a1.avi") } << QString()
        << unchanged;
    QTest::addRow("name taken in the folder") << QStringList { QStringLiteral("a1.avi") }
        << QStringLiteral("FolderA") << unchanged;
    QTest::addRow("name taken beside the target") << QStringList { QStringLiteral("a1.avi") }
        << QStringLiteral("FolderA/SubA") << QStringLiteral(
               "FolderA(a1.avi,SubA(s1.avi,a1.avi)),FolderB(b1.avi),top.avi,Live(ls,lf.avi)");
    QTest::addRow("name taken before a file in the folder") << QStringList { QStringLiteral("a1.avi") }
        << QStringLiteral("FolderA/a1.avi") << unchanged;
    QTest::addRow("live file copied into a folder") << QStringList { QStringLiteral("Live/lf.avi") }
        << QStringLiteral("FolderB")
        << QStringLiteral("FolderA(a1.avi,SubA(s1.avi)),FolderB(b1.avi,lf.avi),top.avi,Live(ls,lf.avi),a1.avi");
    QTest::addRow("live file copied before a file") << QStringList { QStringLiteral("Live/lf.avi") }
        << QStringLiteral("FolderB/b1.avi")
        << QStringLiteral("FolderA(a1.avi,SubA(s1.avi)),FolderB(lf.avi,b1.avi),top.avi,Live(ls,lf.avi),a1.avi");
    QTest::addRow("live file copied to empty space") << QStringList { QStringLiteral("Live/lf.avi") } << QString()
        << initialShape + QStringLiteral(",lf.avi");
    QTest::addRow("live file onto its live folder") << QStringList { QStringLiteral("Live/lf.avi") }
        << QStringLiteral("Live") << initialShape + QStringLiteral(",lf.avi");
    QTest::addRow("live file copied twice") << QStringList { QStringLiteral("Live/lf.avi"), QStringLiteral("Live/lf.avi") }
        << QString() << initialShape + QStringLiteral(",lf.avi");
    QTest::addRow("live sub-folder skipped in a group")
        << QStringList { QStringLiteral("Live/ls"), QStringLiteral("top.avi") } << QStringLiteral("FolderB")
        << QStringLiteral("FolderA(a1.avi,SubA(s1.avi)),FolderB(b1.avi,top.avi),Live(ls,lf.avi),a1.avi");
    QTest::addRow("live folder moves whole") << QStringList { QStringLiteral("Live") } << QStringLiteral("FolderB")
        << QStringLiteral("FolderA(a1.avi,SubA(s1.avi)),FolderB(b1.avi,Live(ls,lf.avi)),top.avi,a1.avi");
    QTest::addRow("several keep their order, a refused one stays")
        << QStringList { QStringLiteral("top.avi"), QStringLiteral("FolderA/a1.avi"), QStringLiteral("a1.avi") }
        << QStringLiteral("FolderB")
        << QStringLiteral("FolderA(SubA(s1.avi)),FolderB(b1.avi,top.avi,a1.avi),Live(ls,lf.avi),a1.avi");
    QTest::addRow("nothing goes into a live folder") << QStringList { QStringLiteral("top.avi") }
        << QStringLiteral("Live/lf.avi") << unchanged;
}

void TestLibraryDrag::placeDraggedItems()
{
    QFETCH(QStringList, dragged);
    QFETCH(QString, target);
    QFETCH(QString, expected);

    QList<TreeItem *> items;
    for (const QString &path : dragged) {
        items.append(itemAt(*view, path));
        QVERIFY(items.last());
    }
    TreeItem *targetItem = target.isEmpty() ? nullptr : itemAt(*view, target);
    QCOMPARE(targetItem == nullptr, target.isEmpty());

    view->placeDraggedItems(items, targetItem);
    QCOMPARE(shapeOf(*view), expected);
    for (TreeItem *item : std::as_const(items)) {
        if (item != targetItem)
            QVERIFY(item->isSelected());
    }
    if (targetItem && !items.contains(targetItem))
        QVERIFY(!targetItem->isSelected());
    QVERIFY(prompts->messages.isEmpty());
}

void TestLibraryDrag::refusedDrags_data()
{
    QTest::addColumn<QStringList>("dragged");
    QTest::addColumn<bool>("refused");

    QTest::addRow("a live sub-folder alone") << QStringList { QStringLiteral("Live/ls") } << true;
    QTest::addRow("a live sub-folder with others")
        << QStringList { QStringLiteral("Live/ls"), QStringLiteral("top.avi") } << false;
    QTest::addRow("a live folder") << QStringList { QStringLiteral("Live") } << false;
    QTest::addRow("a live file") << QStringList { QStringLiteral("Live/lf.avi") } << false;
    QTest::addRow("a virtual folder") << QStringList { QStringLiteral("FolderA") } << false;
}

void TestLibraryDrag::refusedDrags()
{
    QFETCH(QStringList, dragged);
    QFETCH(bool, refused);

    QList<TreeItem *> items;
    for (const QString &path : dragged)
        items.append(itemAt(*view, path));
    QCOMPARE(TreeWidget::refusesDragOf(items), refused);
}

void TestLibraryDrag::dropsFromOutside_data()
{
    QTest::addColumn<QStringList>("urls");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("uriList");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("expected");

    QTest::addRow("directory onto empty space") << QStringList { QStringLiteral("%T/drop") } << QString()
        << true << true << initialShape + QStringLiteral(",drop(d.avi)");
    QTest::addRow("directory onto a file")
        << QStringList { QStringLiteral("%T/drop") } << QStringLiteral("top.avi") << true << true
        << QStringLiteral("FolderA(a1.avi,SubA(s1.avi)),FolderB(b1.avi),drop(d.avi),top.avi,Live(ls,lf.avi),a1.avi");
    QTest::addRow("files onto a folder, in order")
        << QStringList { QStringLiteral("%T/drop/d.avi"), QStringLiteral("%T/one/top.avi") }
        << QStringLiteral("FolderB") << true << true
        << QStringLiteral("FolderA(a1.avi,SubA(s1.avi)),FolderB(b1.avi,d.avi,top.avi),top.avi,Live(ls,lf.avi),a1.avi");
    QTest::addRow("a taken name and a missing path skipped")
        << QStringList { QStringLiteral("%T/one/top.avi"), QStringLiteral("%T/none.avi"), QStringLiteral("%T/drop/d.avi") }
        << QString() << true << true << initialShape + QStringLiteral(",d.avi");
    QTest::addRow("not local files") << QStringList { QStringLiteral("https://127.0.0.1/x.avi") }
        << QString() << true << true << initialShape;
    QTest::addRow("no file list") << QStringList() << QString() << false << false << initialShape;
}

void TestLibraryDrag::dropsFromOutside()
{
    QFETCH(QStringList, urls);
    QFETCH(QString, target);
    QFETCH(bool, uriList);
    QFETCH(bool, accepted);
    QFETCH(QString, expected);

    view->resize(300, 400);
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));

    QMimeData data;
    if (uriList) {
        QList<QUrl> list;
        for (QString url : urls) {
            url.replace(QStringLiteral("%T"), temp->path());
            list.append(QDir::isAbsolutePath(url) ? QUrl::fromLocalFile(url) : QUrl(url));
        }
        data.setUrls(list);
    } else {
        data.setText(disk(QStringLiteral("drop")));
    }
    QDropEvent drop(centreOf(target), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
        Qt::NoModifier);
    drop.setAccepted(!accepted);
    view->dropEvent(&drop);
    QCOMPARE(drop.isAccepted(), accepted);
    if (accepted)
        QCOMPARE(drop.dropAction(), Qt::CopyAction);
    QCOMPARE(shapeOf(*view), expected);
    QVERIFY(prompts->messages.isEmpty());
}

void TestLibraryDrag::dragMoveHighlight_data()
{
    QTest::addColumn<QString>("over");
    QTest::addColumn<bool>("uriList");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QStringList>("selected");

    QTest::addRow("a file") << QStringLiteral("top.avi") << true << true << QStringList { QStringLiteral("top.avi") };
    QTest::addRow("a folder") << QStringLiteral("FolderB") << true << true << QStringList { QStringLiteral("FolderB") };
    QTest::addRow("empty space") << QString() << true << true << QStringList();
    QTest::addRow("a live folder") << QStringLiteral("Live") << true << false << QStringList();
    QTest::addRow("without a file list") << QStringLiteral("top.avi") << false << false
                                         << QStringList { QStringLiteral("FolderA") };
}

void TestLibraryDrag::dragMoveHighlight()
{
    QFETCH(QString, over);
    QFETCH(bool, uriList);
    QFETCH(bool, accepted);
    QFETCH(QStringList, selected);

    view->resize(300, 400);
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));
    itemAt(*view, QStringLiteral("FolderA"))->setSelected(true);

    QMimeData data;
    if (uriList)
        data.setUrls({ QUrl::fromLocalFile(disk(QStringLiteral("drop"))) });
    else
        data.setText(QStringLiteral("words"));
    QDragMoveEvent move(centreOf(over), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
        Qt::NoModifier);
    move.setAccepted(!accepted);
    view->dragMoveEvent(&move);
    QCOMPARE(move.isAccepted(), accepted);
    if (accepted)
        QCOMPARE(move.dropAction(), Qt::CopyAction);
    QStringList shown;
    for (const QTreeWidgetItem *item : view->selectedItems())
        shown.append(item->text(0));
    QCOMPARE(shown, selected);
}

void TestLibraryDrag::dragEnter_data()
{
    QTest::addColumn<bool>("uriList");
    QTest::addRow("file list") << true;
    QTest::addRow("text only") << false;
}

void TestLibraryDrag::dragEnter()
{
    QFETCH(bool, uriList);

    QMimeData data;
    if (uriList)
        data.setUrls({ QUrl::fromLocalFile(disk(QStringLiteral("drop"))) });
    else
        data.setText(QStringLiteral("words"));
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
        Qt::NoModifier);
    enter.setAccepted(!uriList);
    view->dragEnterEvent(&enter);
    QCOMPARE(enter.isAccepted(), uriList);
    if (uriList)
        QCOMPARE(enter.dropAction(), Qt::CopyAction);
}

QTEST_MAIN(TestLibraryDrag)
#include "tst_librarydrag.moc"
