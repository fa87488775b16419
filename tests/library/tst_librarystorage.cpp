// Libraries in the configuration document: loading any shape of elements, and writing the
// same shape back.
#include "fakeprompts.h"
#include "libraryfixture.h"

#include <QDomDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace LibraryFixture;

namespace {

// Element, sorted attributes and children, as one line; attribute order carries no meaning.
QString canonical(const QDomElement &element)
{
    QStringList attributes;
    const QDomNamedNodeMap map = element.attributes();
    for (int i = 0; i < map.count(); ++i) {
        const QDomAttr attribute = map.item(i).toAttr();
        attributes.append(attribute.name() + QLatin1Char('=') + attribute.value());
    }
    std::sort(attributes.begin(), attributes.end());
    QString text = element.tagName() + QLatin1Char('[') + attributes.join(QLatin1Char(' '))
        + QLatin1Char(']');
    QStringList children;
    for (QDomElement child = element.firstChildElement(); !child.isNull();
         child = child.nextSiblingElement())
        children.append(canonical(child));
    if (!children.isEmpty())
        text += QLatin1Char('(') + children.join(QLatin1Char(',')) + QLatin1Char(')');
    return text;
}

QDomDocument parse(const QString &xml)
{
    QDomDocument document;
    document.setContent(xml);
    return document;
}

} // namespace

class TestLibraryStorage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void roundTrip_data();
    void roundTrip();
    void eachLibraryItsElement();
    void missingPathsLoadRedAndStay();
    void deepNestingIsCut();
    void awkwardCharactersKeepTheFileReadable_data();
    void awkwardCharactersKeepTheFileReadable();
    void emptyOrBrokenDocuments_data();
    void emptyOrBrokenDocuments();

private:
    QString withTemp(QString text) const
    {
        return text.replace(QStringLiteral("%T"), temp->path());
    }
    QString saved(const TreeWidget &view) const;

    QTemporaryDir *temp = nullptr;
    FakePrompts prompts;
};

void TestLibraryStorage::init()
{
    temp = new QTemporaryDir;
    QVERIFY(temp->isValid());
    for (const char *name : { "x.avi", "y.avi", "sub/x.avi", "L/in.avi", "L/deeper/z.avi" })
        QVERIFY(writeFile(temp->filePath(QLatin1String(name))));
}

void TestLibraryStorage::cleanup()
{
    delete temp;
    temp = nullptr;
}

QString TestLibraryStorage::saved(const TreeWidget &view) const
{
    QDomDocument document;
    document.appendChild(document.createElement(QStringLiteral("hearth")));
    view.saveTree(document);
    const QDomElement root = document.documentElement();
    [&] { QCOMPARE(root.childNodes().count(), 1); }();
    return canonical(root.firstChildElement());
}

void TestLibraryStorage::roundTrip_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("shape");

    QTest::addRow("empty library") << QString() << QStringLiteral("video_tree[]") << QString();
    QTest::addRow("nested shape and order")
        << QStringLiteral("<video_tree><dir name=\"A\"><file name=\"x.avi\" path=\"%T/x.avi\"/>"
                          "<dir name=\"B\"><livedir name=\"L\" path=\"%T/L\"/></dir>"
                          "<file path=\"%T/sub/x.avi\" name=\"x.avi\"/></dir>"
                          "<file name=\"y.avi\" path=\"%T/y.avi\"/><dir name=\"C\"/></video_tree>")
        << QStringLiteral("video_tree[](dir[name=A](file[name=x.avi path=%T/x.avi],dir[name=B]("
                          "livedir[name=L path=%T/L])),file[name=y.avi path=%T/y.avi],dir[name=C])")
        << QStringLiteral("A(x.avi,B(L(deeper,in.avi))),y.avi,C");
    QTest::addRow("file name comes from the path")
        << QStringLiteral("<video_tree><file name=\"Other\" path=\"%T/x.avi\"/></video_tree>")
        << QStringLiteral("video_tree[](file[name=x.avi path=%T/x.avi])")
        << QStringLiteral("x.avi");
    QTest::addRow("missing paths stay")
        << QStringLiteral("<video_tree><livedir name=\"Gone\" path=\"%T/gone\"/>"
                          "<file name=\"n\" path=\"%T/none.avi\"/></video_tree>")
        << QStringLiteral(
               "video_tree[](livedir[name=gone path=%T/gone],file[name=none.avi path=%T/none.avi])")
        << QStringLiteral("gone,none.avi");
    QTest::addRow("children of livedir and file dropped")
        << QStringLiteral("<video_tree><livedir path=\"%T/L\"><file path=\"%T/x.avi\"/></livedir>"
                          "<file path=\"%T/y.avi\"><dir name=\"D\"/></file></video_tree>")
        << QStringLiteral("video_tree[](livedir[name=L path=%T/L],file[name=y.avi path=%T/y.avi])")
        << QStringLiteral("L(deeper,in.avi),y.avi");
    QTest::addRow("duplicates dropped with their subtree")
        << QStringLiteral("<video_tree><dir name=\"A\"><file path=\"%T/x.avi\"/><file "
                          "path=\"%T/sub/x.avi\"/></dir>"
                          "<dir name=\"A\"><file path=\"%T/y.avi\"/></dir><file path=\"%T/y.avi\"/>"
                          "<dir name=\"y.avi\"><dir name=\"E\"/></dir></video_tree>")
        << QStringLiteral("video_tree[](dir[name=A](file[name=x.avi "
                          "path=%T/x.avi]),file[name=y.avi path=%T/y.avi])")
        << QStringLiteral("A(x.avi),y.avi");
    QTest::addRow("names compare exactly, each level on its own")
        << QStringLiteral(
               "<video_tree><dir name=\"a\"/><dir name=\"A\"/><dir name=\" a\"/>"
               "<file path=\"%T/x.avi\"/><dir name=\"x.avi\"/><livedir path=\"%T/L\"/>"
               "<dir name=\"L\"/><dir name=\"B\"><dir name=\"a\"/><dir name=\"a\"/></dir>"
               "</video_tree>")
        << QStringLiteral("video_tree[](dir[name=a],dir[name=A],file[name=x.avi path=%T/x.avi],"
                          "livedir[name=L path=%T/L],dir[name=B](dir[name=a]))")
        << QStringLiteral("a,A,x.avi,L(deeper,in.avi),B(a)");
    QTest::addRow("blanks around folder names")
        << QStringLiteral("<video_tree><dir name=\"  A b \"/><dir name=\"\tC\"/></video_tree>")
        << QStringLiteral("video_tree[](dir[name=A b],dir[name=C])") << QStringLiteral("A b,C");
    QTest::addRow("unknown elements, text and comments skipped")
        << QStringLiteral("<video_tree>text<thing name=\"q\" path=\"%T/x.avi\"/><!-- note -->"
                          "<dir name=\"A\"><other><file path=\"%T/x.avi\"/></other>"
                          "<file path=\"%T/y.avi\"/></dir></video_tree>")
        << QStringLiteral("video_tree[](dir[name=A](file[name=y.avi path=%T/y.avi]))")
        << QStringLiteral("A(y.avi)");
    QTest::addRow("file naming a directory is a live folder without stored children")
        << QStringLiteral(
               "<video_tree><file path=\"%T/L\"><file path=\"%T/x.avi\"/></file></video_tree>")
        << QStringLiteral("video_tree[](livedir[name=L path=%T/L])")
        << QStringLiteral("L(deeper,in.avi)");
    QTest::addRow("path of a dir ignored")
        << QStringLiteral("<video_tree><dir name=\"A\" path=\"%T/L\"/></video_tree>")
        << QStringLiteral("video_tree[](dir[name=A])") << QStringLiteral("A");
    QTest::addRow("second library element ignored")
        << QStringLiteral("<video_tree><dir name=\"First\"/></video_tree>"
                          "<video_tree><dir name=\"Second\"/></video_tree>")
        << QStringLiteral("video_tree[](dir[name=First])") << QStringLiteral("First");
    QTest::addRow("missing attributes")
        << QStringLiteral("<video_tree><dir/><file/><livedir/></video_tree>")
        << QStringLiteral("video_tree[](dir[name=])") << QString();
}

void TestLibraryStorage::roundTrip()
{
    QFETCH(QString, content);
    QFETCH(QString, expected);
    QFETCH(QString, shape);

    const QDomDocument document = parse(QStringLiteral("<hearth><settings/>") + withTemp(content)
        + QStringLiteral("<audio_tree><dir name=\"Other library\"/></audio_tree></hearth>"));
    TreeWidget view(QStringLiteral("Video"), 1, QString(), document, prompts);
    QCOMPARE(shapeOf(view), shape);
    QCOMPARE(saved(view), withTemp(expected));

    // Written back and read again, nothing changes.
    QDomDocument second;
    second.appendChild(second.createElement(QStringLiteral("hearth")));
    view.saveTree(second);
    TreeWidget again(QStringLiteral("Video"), 1, QString(), second, prompts);
    QCOMPARE(shapeOf(again), shape);
    QCOMPARE(saved(again), withTemp(expected));
    QVERIFY(prompts.messages.isEmpty());
}

void TestLibraryStorage::eachLibraryItsElement()
{
    const QDomDocument document = parse(withTemp(QStringLiteral(
        "<anything><pictures_tree><file path=\"%T/y.avi\"/></pictures_tree>"
        "<video_tree><dir name=\"V\"/></video_tree><audio_tree><dir name=\"A\"/></audio_tree>"
        "<Video_tree><dir name=\"wrong case\"/></Video_tree></anything>")));
    const struct
    {
        const char *name;
        int type;
        const char *element;
        const char *shape;
    } libraries[] = { { "Video", 1, "video_tree", "V" }, { "Audio", 2, "audio_tree", "A" },
        { "Pictures", 3, "pictures_tree", "y.avi" } };
    for (const auto &library : libraries) {
        TreeWidget view(QLatin1String(library.name), library.type, QString(), document, prompts);
        QCOMPARE(shapeOf(view), QLatin1String(library.shape));
        QVERIFY(saved(view).startsWith(QLatin1String(library.element) + QLatin1Char('[')));
    }
}

void TestLibraryStorage::missingPathsLoadRedAndStay()
{
    QString gone;
    for (int i = 0; i < 5; ++i)
        gone += QStringLiteral("<file path=\"%T/gone%1.avi\"/>").arg(i);
    const QDomDocument document
        = parse(withTemp(QStringLiteral("<hearth><video_tree><livedir path=\"%T/later\"/><file "
                                        "path=\"%T/x.avi\"/>%1</video_tree></hearth>")
                             .arg(gone)));
    // One line for the library, however many paths are gone, with a few of them.
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
    QTest::ignoreMessage(QtWarningMsg,
        QRegularExpression(QStringLiteral("^Video: 6 stored paths are gone \\(\".*/later\", "
                                          "\".*/gone0.avi\", \".*/gone1.avi\", \\.\\.\\.; "
                                          "--verbose lists them all\\)")));
    TreeWidget view(QStringLiteral("Video"), 1, QString(), document, prompts);
    view.reportGoneAtLoad();
    TreeItem *folder = itemAt(view, QStringLiteral("later"));
    QVERIFY(folder);
    QVERIFY(folder->isDir() && folder->isLive());
    QCOMPARE(folder->foreground(0).color(), QColor(255, 0, 0));
    QCOMPARE(itemAt(view, QStringLiteral("x.avi"))->foreground(0).color(), QColor(0, 0, 0));
    QVERIFY(view.listEntries(QStringLiteral("later"), QLatin1Char('/')).isEmpty());

    // The drive comes back.
    QVERIFY(writeFile(temp->filePath(QStringLiteral("later/back.avi"))));
    view.refresh();
    QCOMPARE(folder->foreground(0).color(), QColor(0, 0, 0));
    QCOMPARE(shapeOf(view),
        QStringLiteral("later(back.avi),x.avi,gone0.avi,gone1.avi,gone2.avi,gone3.avi,gone4.avi"));
    QCOMPARE(names(view.listEntries(QStringLiteral("later"), QLatin1Char('/'))),
        QStringList { QStringLiteral("back.avi") });
}

void TestLibraryStorage::deepNestingIsCut()
{
    QString xml = QStringLiteral("<hearth><video_tree>");
    const int depth = 5000;
    for (int i = 0; i < depth; ++i)
        xml += QStringLiteral("<dir name=\"d\">");
    for (int i = 0; i < depth; ++i)
        xml += QStringLiteral("</dir>");
    xml += QStringLiteral("</video_tree></hearth>");
    TreeWidget view(QStringLiteral("Video"), 1, QString(), parse(xml), prompts);
    int levels = 0;
    for (QTreeWidgetItem *item = view.topLevelItem(0); item; item = item->child(0))
        ++levels;
    QVERIFY(levels >= 100);
    QVERIFY(levels < depth);
}

void TestLibraryStorage::awkwardCharactersKeepTheFileReadable_data()
{
    QTest::addColumn<QString>("element");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reloaded");

    // Control characters other than tab and line breaks, and U+FFFE/U+FFFF, cannot appear in
    // XML at all: one of them would make the whole file unreadable at the next start.
    QTest::addRow("control character in a file name") << QStringLiteral(
        "file") << QStringLiteral("x\x01.avi") << QStringLiteral("Before(in.avi),y.avi");
    QTest::addRow("escape in a live folder's name") << QStringLiteral(
        "livedir") << QStringLiteral("d\x1b[1m") << QStringLiteral("Before(in.avi),y.avi");
    QTest::addRow("control character in a folder name") << QStringLiteral("dir")
                                                        << QStringLiteral("A\x02"
                                                                          "B")
                                                        << QStringLiteral("Before(in.avi),A\uFFFD"
                                                                          "B,y.avi");
    QTest::addRow("noncharacter in a folder name")
        << QStringLiteral("dir") << QStringLiteral("A") + QChar(0xFFFF) + QStringLiteral("B")
        << QStringLiteral("Before(in.avi),A\uFFFD"
                          "B,y.avi");
    QTest::addRow("folder names apart only by such a character stay apart")
        << QStringLiteral("dir") << QStringLiteral("Before\x03")
        << QStringLiteral("Before(in.avi),Before\uFFFD,y.avi");
    QTest::addRow("tab inside a folder name kept") << QStringLiteral(
        "dir") << QStringLiteral("A\tB") << QStringLiteral("Before(in.avi),A\tB,y.avi");
    QTest::addRow("line break in a file name kept")
        << QStringLiteral("file") << QStringLiteral("two\nlines.avi")
        << QStringLiteral("Before(in.avi),two\nlines.avi,y.avi");
    QTest::addRow("other scripts kept")
        << QStringLiteral("file") << QStringLiteral("caf\u00e9 \u6620\u753b.avi")
        << QStringLiteral("Before(in.avi),caf\u00e9 \u6620\u753b.avi,y.avi");
}

void TestLibraryStorage::awkwardCharactersKeepTheFileReadable()
{
    QFETCH(QString, element);
    QFETCH(QString, name);
    QFETCH(QString, reloaded);

    TreeWidget view(QStringLiteral("Video"), 1, QString(), QDomDocument(), prompts);
    TreeItem *before = view.addPath(QStringLiteral("Before"), nullptr, true);
    QVERIFY(before);
    QVERIFY(view.addPath(temp->filePath(QStringLiteral("L/in.avi")), before));
    if (element == QLatin1String("dir")) {
        QVERIFY(view.addPath(name, nullptr, true));
    } else {
        const QString path = temp->filePath(
            element == QLatin1String("file") ? name : name + QStringLiteral("/in.avi"));
#ifdef Q_OS_WIN
        if (std::any_of(name.cbegin(), name.cend(), [](QChar c) { return c.unicode() < 32; }))
            QSKIP("Windows file names cannot hold control characters");
#endif
        QVERIFY(writeFile(path));
        QVERIFY(view.addPath(temp->filePath(name), nullptr));
    }
    QVERIFY(view.addPath(temp->filePath(QStringLiteral("y.avi")), nullptr));
    view.topLevelItem(2)->setText(0, QStringLiteral("y.avi")); // only the text is compared

    // Through the bytes that go to disk, as at quit and the next start.
    QDomDocument document;
    document.appendChild(document.createElement(QStringLiteral("hearth")));
    view.saveTree(document);
    document.documentElement().appendChild(document.createElement(QStringLiteral("audio_tree")));
    QDomDocument read;
    QVERIFY(bool(read.setContent(document.toByteArray(4))));
    QVERIFY(!read.documentElement().firstChildElement(QStringLiteral("audio_tree")).isNull());
    TreeWidget again(QStringLiteral("Video"), 1, QString(), read, prompts);
    QString shape = shapeOf(again);
    shape.replace(QStringLiteral("y.avi"), QStringLiteral("y.avi"));
    QCOMPARE(shape, reloaded);
}

void TestLibraryStorage::emptyOrBrokenDocuments_data()
{
    QTest::addColumn<QString>("xml");
    QTest::addRow("nothing") << QString();
    QTest::addRow("not xml") << QStringLiteral("this is no xml");
    QTest::addRow("no library element") << QStringLiteral("<hearth><settings/></hearth>");
    QTest::addRow("library nested too deep")
        << QStringLiteral("<hearth><x><video_tree><dir name=\"A\"/></video_tree></x></hearth>");
}

void TestLibraryStorage::emptyOrBrokenDocuments()
{
    QFETCH(QString, xml);
    TreeWidget view(QStringLiteral("Video"), 1, QString(), parse(xml), prompts);
    QCOMPARE(view.topLevelItemCount(), 0);
    QCOMPARE(saved(view), QStringLiteral("video_tree[]"));

    // A document without a root gets nothing written into it.
    QDomDocument bare;
    view.saveTree(bare);
    QVERIFY(bare.documentElement().isNull());
}

QTEST_MAIN(TestLibraryStorage)
#include "tst_librarystorage.moc"
