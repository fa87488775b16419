// Live folders read the disk: listing order and filters, refusal of paths that leave the
// folder, and keeping the shown children in line with the directory.
#include "fakeprompts.h"
#include "libraryfixture.h"

#include "library/itemicons.h"
#include "library/livedirtreeitem.h"

#include <QDomDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace LibraryFixture;

class TestLiveItems : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listing_data();
    void listing();
    void findEntryBelowLiveFolder_data();
    void findEntryBelowLiveFolder();
    void missingDirectory();
    void syncFollowsTheDisk();
    void collapseKeepsChildren();
    void removedDirectoryTurnsRed();
    void entryInfoAnswersFromDiskNow();
    void entryInfoOfMissingPath();

private:
    TreeItem *addLiveFolder();

    QTemporaryDir *temp = nullptr;
    QString live;
    FakePrompts prompts;
    TreeWidget *view = nullptr;
};

void TestLiveItems::init()
{
    temp = new QTemporaryDir;
    QVERIFY(temp->isValid());
    live = temp->filePath(QStringLiteral("Live"));
    for (const char *name : { "b.jpg", "A.JPG", "a.jpg", "c.png", "notes.txt", ".hidden.jpg",
             "Bdir/x.jpg", "adir/inner/deep.jpg", ".hiddendir/h.jpg" })
        QVERIFY(writeFile(live + QLatin1Char('/') + QLatin1String(name)));
    QVERIFY(writeFile(temp->filePath(QStringLiteral("outside/secret.jpg"))));
    QVERIFY(QFile::link(temp->filePath(QStringLiteral("outside")),
        live + QStringLiteral("/linkdir")));
    QVERIFY(QFile::link(live + QStringLiteral("/b.jpg"), live + QStringLiteral("/link.jpg")));
    view = new TreeWidget(QStringLiteral("Pictures"), 3, QStringLiteral("*.jpg"),
        QDomDocument(), prompts);
}

void TestLiveItems::cleanup()
{
    delete view;
    view = nullptr;
    delete temp;
    temp = nullptr;
}

TreeItem *TestLiveItems::addLiveFolder()
{
    return view->addPath(live, nullptr);
}

void TestLiveItems::listing_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("expected");

    const QStringList dirs { QStringLiteral("Bdir"), QStringLiteral("adir") };
    QTest::addRow("dirs first, capitals first, case-insensitive pattern")
        << QStringLiteral("*.jpg") << QString()
        << dirs + QStringList { QStringLiteral("A.JPG"), QStringLiteral("a.jpg"), QStringLiteral("b.jpg") };
    QTest::addRow("empty filter lists every file")
        << QString() << QString()
        << dirs + QStringList { QStringLiteral("A.JPG"), QStringLiteral("a.jpg"), QStringLiteral("b.jpg"),
               QStringLiteral("c.png"), QStringLiteral("notes.txt") };
    QTest::addRow("several patterns, extra blanks")
        << QStringLiteral("  *.png   *.TXT ") << QString()
        << dirs + QStringList { QStringLiteral("c.png"), QStringLiteral("notes.txt") };
    QTest::addRow("one component") << QStringLiteral("*.jpg") << QStringLiteral("adir")
                                   << QStringList { QStringLiteral("inner") };
    QTest::addRow("two components") << QStringLiteral("*.jpg") << QStringLiteral("adir/inner")
                                    << QStringList { QStringLiteral("deep.jpg") };
    QTest::addRow("doubled and trailing separators")
        << QStringLiteral("*.jpg") << QStringLiteral("adir//inner/")
        << QStringList { QStringLiteral("deep.jpg") };
    QTest::addRow("missing directory") << QStringLiteral("*.jpg") << QStringLiteral("nothere")
                                       << QStringList();
    QTest::addRow("case matters") << QStringLiteral("*.jpg") << QStringLiteral("ADIR")
                                  << QStringList();
    QTest::addRow("a file is no folder") << QStringLiteral("*.jpg") << QStringLiteral("b.jpg")
                                         << QStringList();
    QTest::addRow("parent") << QStringLiteral("*.jpg") << QStringLiteral("..") << QStringList();
    QTest::addRow("parent below a folder")
        << QStringLiteral("*.jpg") << QStringLiteral("adir/..") << QStringList();
    QTest::addRow("up and back in") << QStringLiteral("*.jpg")
                                    << QStringLiteral("adir/../adir") << QStringList();
    QTest::addRow("up twice to outside")
        << QStringLiteral("*.jpg") << QStringLiteral("adir/inner/../../../outside")
        << QStringList();
    QTest::addRow("dot") << QStringLiteral("*.jpg") << QStringLiteral(".") << QStringList();
    QTest::addRow("hidden directory")
        << QStringLiteral("*.jpg") << QStringLiteral(".hiddendir") << QStringList();
    QTest::addRow("link to a directory outside")
        << QStringLiteral("*.jpg") << QStringLiteral("linkdir") << QStringList();
}

void TestLiveItems::listing()
{
    QFETCH(QString, filter);
    QFETCH(QString, path);
    QFETCH(QStringList, expected);

    view->setFilters(filter);
    QVERIFY(addLiveFolder());
    const QList<EntryInfo> entries = view->listEntries(QStringLiteral("Live/") + path,
        QLatin1Char('/'));
    QCOMPARE(names(entries), expected);
    for (const EntryInfo &entry : entries) {
        QVERIFY(!entry.isVirtual());
        QCOMPARE(entry.isDir(), entry.fileInfo().isDir());
        QVERIFY(entry.isUsable());
    }
}

void TestLiveItems::findEntryBelowLiveFolder_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("found");

    QTest::addRow("file") << QStringLiteral("Live/a.jpg") << true;
    QTest::addRow("deep file") << QStringLiteral("/Live/adir/inner/deep.jpg") << true;
    QTest::addRow("folder") << QStringLiteral("Live/adir") << true;
    QTest::addRow("filtered out") << QStringLiteral("Live/c.png") << false;
    QTest::addRow("hidden file") << QStringLiteral("Live/.hidden.jpg") << false;
    QTest::addRow("linked file") << QStringLiteral("Live/link.jpg") << false;
    QTest::addRow("through parent")
        << QStringLiteral("Live/adir/../../outside/secret.jpg") << false;
    QTest::addRow("through link") << QStringLiteral("Live/linkdir/secret.jpg") << false;
    QTest::addRow("parent itself") << QStringLiteral("Live/..") << false;
    QTest::addRow("hidden folder's file") << QStringLiteral("Live/.hiddendir/h.jpg") << false;
}

void TestLiveItems::findEntryBelowLiveFolder()
{
    QFETCH(QString, path);
    QFETCH(bool, found);

    QVERIFY(addLiveFolder());
    const EntryInfo entry = view->findEntry(path, QLatin1Char('/'));
    QCOMPARE(entry.isUsable(), found);
    QCOMPARE(entry.isVirtual(), !found);
    if (found)
        QCOMPARE(entry.name(), path.section(QLatin1Char('/'), -1));
    else
        QVERIFY(entry.name().isEmpty());
}

void TestLiveItems::missingDirectory()
{
    TreeItem *item = addLiveFolder();
    QVERIFY(item);
    QVERIFY(QDir(live).removeRecursively());
    QVERIFY(view->listEntries(QStringLiteral("Live"), QLatin1Char('/')).isEmpty());
    QVERIFY(view->listEntries(QStringLiteral("Live/adir"), QLatin1Char('/')).isEmpty());
    // The folder itself is still listed at the top, but no longer usable.
    const EntryInfo top = view->findEntry(QStringLiteral("Live"), QLatin1Char('/'));
    QVERIFY(!top.isUsable());
}

void TestLiveItems::syncFollowsTheDisk()
{
    TreeItem *item = addLiveFolder();
    QVERIFY(item);
    // Refreshed while collapsed and empty: one level is read so it can be expanded.
    QCOMPARE(shapeOf(item), QStringLiteral("Live(Bdir,adir,A.JPG,a.jpg,b.jpg)"));
    view->expandItem(item);
    // Expanded: each sub-folder reads its own first level.
    QCOMPARE(shapeOf(item), QStringLiteral("Live(Bdir(x.jpg),adir(inner),A.JPG,a.jpg,b.jpg)"));
    QCOMPARE(item->icon(0).cacheKey(), ItemIcons::folder(true, true).cacheKey());

    QVERIFY(writeFile(live + QStringLiteral("/B.jpg")));
    QVERIFY(writeFile(live + QStringLiteral("/Cdir/y.jpg")));
    QVERIFY(QFile::remove(live + QStringLiteral("/a.jpg")));
    view->refresh();
    QCOMPARE(shapeOf(item),
        QStringLiteral("Live(Bdir(x.jpg),Cdir(y.jpg),adir(inner),A.JPG,B.jpg,b.jpg)"));
    QCOMPARE(item->foreground(0).color(), QColor(0, 0, 0));

    // A file renamed: one goes, one comes, the count stays.
    QVERIFY(QFile::rename(live + QStringLiteral("/b.jpg"), live + QStringLiteral("/d.jpg")));
    view->refresh();
    QCOMPARE(shapeOf(item),
        QStringLiteral("Live(Bdir(x.jpg),Cdir(y.jpg),adir(inner),A.JPG,B.jpg,d.jpg)"));
}

void TestLiveItems::collapseKeepsChildren()
{
    TreeItem *item = addLiveFolder();
    QVERIFY(item);
    view->expandItem(item);
    const int children = item->childCount();
    QVERIFY(children > 0);
    view->collapseItem(item);
    QCOMPARE(item->childCount(), children);
    QCOMPARE(item->icon(0).cacheKey(), ItemIcons::folder(true, false).cacheKey());
}

void TestLiveItems::removedDirectoryTurnsRed()
{
    TreeItem *item = addLiveFolder();
    QVERIFY(item);
    view->expandItem(item);
    const QString before = shapeOf(item);
    QVERIFY(QDir(live).removeRecursively());
    view->refresh();
    QCOMPARE(item->foreground(0).color(), QColor(255, 0, 0));
    QCOMPARE(shapeOf(item), before);

    // Back again: black, and its content follows the disk.
    QVERIFY(writeFile(live + QStringLiteral("/new.jpg")));
    view->refresh();
    QCOMPARE(item->foreground(0).color(), QColor(0, 0, 0));
    QCOMPARE(shapeOf(item), QStringLiteral("Live(new.jpg)"));
}

void TestLiveItems::entryInfoAnswersFromDiskNow()
{
    const QString path = temp->filePath(QStringLiteral("later.jpg"));
    QVERIFY(writeFile(path));
    TreeItem *item = view->addPath(path, nullptr);
    QVERIFY(item);
    QVERIFY(QFile::remove(path));
    QCOMPARE(names(view->listEntries(QString(), QLatin1Char('/'))),
        QStringList { QStringLiteral("New Something") });
    // The file comes back: listed by its name again, without a restart.
    QVERIFY(writeFile(path));
    const QList<EntryInfo> entries = view->listEntries(QString(), QLatin1Char('/'));
    QCOMPARE(names(entries), QStringList { QStringLiteral("later.jpg") });
    QVERIFY(entries.first().isUsable());
    QVERIFY(view->findEntry(QStringLiteral("later.jpg"), QLatin1Char('/')).isUsable());
}

void TestLiveItems::entryInfoOfMissingPath()
{
    const EntryInfo missing(QFileInfo(temp->filePath(QStringLiteral("none.jpg"))),
        QStringLiteral("given"));
    QCOMPARE(missing.name(), QStringLiteral("New Something"));
    QVERIFY(!missing.isDir());
    QVERIFY(!missing.isVirtual());
    QVERIFY(!missing.isUsable());
    QVERIFY(!EntryInfo().isUsable());
    QVERIFY(!EntryInfo(QStringLiteral("folder"), true).isUsable());

    // Equality looks at the file information only.
    const QFileInfo file(live + QStringLiteral("/a.jpg"));
    QVERIFY(EntryInfo(file, QStringLiteral("one")) == EntryInfo(file, QStringLiteral("two")));
    QVERIFY(EntryInfo(file, QString()) != EntryInfo(QFileInfo(live + QStringLiteral("/b.jpg")), QString()));
}

QTEST_MAIN(TestLiveItems)
#include "tst_liveitems.moc"
