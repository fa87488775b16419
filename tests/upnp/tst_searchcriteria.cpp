// Search and sort criteria: what is accepted and what it matches, what is refused, and the
// order sorting gives.
#include "upnp/searchcriteria.h"

#include <QCollator>
#include <QHash>
#include <QLocale>
#include <QTest>

namespace {

// An object written as "property=value;property=value"; a property given twice has two values.
class FakeObject final : public SearchObject
{
public:
    explicit FakeObject(const QString &text)
    {
        for (const QString &pair : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const qsizetype equal = pair.indexOf(QLatin1Char('='));
            properties[pair.left(equal)].append(pair.mid(equal + 1));
        }
    }
    QStringList values(const QString &property) const override
    {
        return properties.value(property);
    }

private:
    QHash<QString, QStringList> properties;
};

const QString song = QStringLiteral("upnp:class=object.item.audioItem.musicTrack;"
                                    "dc:title=Blue Monday;upnp:artist=New Order;"
                                    "upnp:genre=Synth-pop;upnp:genre=Dance;"
                                    "upnp:originalTrackNumber=9;dc:date=1983-03-07");
const QString reference = song + QStringLiteral(";@refID=1.abc");
const QString film = QStringLiteral("upnp:class=object.item.videoItem.movie;dc:title=Alien;"
                                    "res@duration=1:57:00.000");
const QString album
    = QStringLiteral("upnp:class=object.container.album.musicAlbum;dc:title=Power, Corruption");

} // namespace

class TestSearchCriteria : public QObject
{
    Q_OBJECT

private slots:
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void sortKeys_data();
    void sortKeys();
    void sortOrder();
};

void TestSearchCriteria::accepted_data()
{
    QTest::addColumn<QString>("criteria");
    QTest::addColumn<QString>("object");
    QTest::addColumn<bool>("matches");

    const QString wmp = QStringLiteral(
        "upnp:class derivedfrom \"object.item.audioItem\" and @refID exists false");
    QTest::newRow("star") << QStringLiteral(" * ") << film << true;
    QTest::newRow("wmp: track") << wmp << song << true;
    QTest::newRow("wmp: reference") << wmp << reference << false;
    QTest::newRow("wmp: film") << wmp << film << false;
    QTest::newRow("derivedfrom itself")
        << QStringLiteral("upnp:class derivedfrom \"object.item.audioItem.musicTrack\"") << song
        << true;
    QTest::newRow("derivedfrom stops at a dot")
        << QStringLiteral("upnp:class derivedfrom \"object.item.audio\"") << song << false;
    QTest::newRow("derivedfrom any case")
        << QStringLiteral("upnp:class DERIVEDFROM \"OBJECT.container\"") << album << true;
    QTest::newRow("= any case") << QStringLiteral("dc:title = \"blue MONDAY\"") << song << true;
    QTest::newRow("= no blanks") << QStringLiteral("dc:title=\"Blue Monday\"") << song << true;
    QTest::newRow("= other") << QStringLiteral("dc:title = \"Blue\"") << song << false;
    QTest::newRow("!=") << QStringLiteral("dc:title != \"Blue\"") << song << true;
    QTest::newRow("!= missing property") << QStringLiteral("upnp:album != \"x\"") << song << false;
    QTest::newRow("contains") << QStringLiteral("dc:title contains \"e mon\"") << song << true;
    QTest::newRow("contains missing")
        << QStringLiteral("dc:title contains \"tuesday\"") << song << false;
    QTest::newRow("doesNotContain")
        << QStringLiteral("dc:title doesNotContain \"tuesday\"") << song << true;
    QTest::newRow("one of several values")
        << QStringLiteral("upnp:genre = \"dance\"") << song << true;
    QTest::newRow("!= fails on one value")
        << QStringLiteral("upnp:genre != \"dance\"") << song << false;
    QTest::newRow("doesNotContain fails on one value")
        << QStringLiteral("upnp:genre doesnotcontain \"pop\"") << song << false;
    QTest::newRow("numbers as numbers")
        << QStringLiteral("upnp:originalTrackNumber < \"10\"") << song << true;
    QTest::newRow("numbers equal as numbers")
        << QStringLiteral("upnp:originalTrackNumber = \"9.0\"") << song << true;
    QTest::newRow("text as text") << QStringLiteral("dc:title >= \"blue\"") << song << true;
    QTest::newRow("text <") << QStringLiteral("dc:title < \"Blue\"") << song << false;
    QTest::newRow("date as text") << QStringLiteral("dc:date > \"1983-01-01\"") << song << true;
    QTest::newRow("<= with number text") << QStringLiteral("dc:date <= \"1983\"") << song << false;
    QTest::newRow("durations as numbers")
        << QStringLiteral("res@duration > \"0:59:59.5\" and res@duration < \"10:00:00\"") << film
        << true;
    QTest::newRow("nan is text") << QStringLiteral("dc:title = \"nan\"")
                                 << QStringLiteral("dc:title=NaN") << true;
    QTest::newRow("exists true") << QStringLiteral("res@duration exists true") << film << true;
    QTest::newRow("exists TRUE missing")
        << QStringLiteral("res@duration exists TRUE") << song << false;
    QTest::newRow("escapes") << QStringLiteral("dc:title = \"say \\\"hi\\\" \\\\o/\"")
                             << QStringLiteral("dc:title=say \"hi\" \\o/") << true;
    QTest::newRow("and before or")
        << QStringLiteral("dc:title = \"x\" and dc:title = \"y\" or upnp:artist = \"new order\"")
        << song << true;
    QTest::newRow("and before or, other side")
        << QStringLiteral("upnp:artist = \"new order\" or dc:title = \"x\" and dc:title = \"y\"")
        << song << true;
    QTest::newRow("parentheses") << QStringLiteral(
        "(dc:title = \"x\" or upnp:artist = \"New Order\") and upnp:genre = \"rock\"")
                                 << song << false;
    QTest::newRow("nested parentheses")
        << QStringLiteral("((((upnp:class derivedfrom \"object.item\"))))") << film << true;
    QTest::newRow("blanks of all kinds")
        << QStringLiteral("\t(dc:title\n=\r\"Alien\"\f)\v") << film << true;
    QTest::newRow("and/or words any case")
        << QStringLiteral("dc:title = \"x\" OR dc:title = \"Alien\" AND res@duration exists true")
        << film << true;
    QTest::newRow("unknown property matches nothing")
        << QStringLiteral("upnp:foo = \"\"") << film << false;
    QTest::newRow("empty value contained")
        << QStringLiteral("dc:title contains \"\"") << film << true;
    QTest::newRow("32 levels") << QString(QString(32, QLatin1Char('('))
        + QStringLiteral("dc:title exists true") + QString(32, QLatin1Char(')')))
                               << film << true;
    QTest::newRow("long chain")
        << QStringList(150, QStringLiteral("dc:title = \"Alien\"")).join(QStringLiteral(" and "))
        << film << true;
}

void TestSearchCriteria::accepted()
{
    QFETCH(QString, criteria);
    QFETCH(QString, object);
    QFETCH(bool, matches);
    const SearchCriteria parsed = SearchCriteria::parse(criteria);
    QVERIFY2(parsed.isValid(), qPrintable(parsed.errorString()));
    QCOMPARE(parsed.matches(FakeObject(object)), matches);
}

void TestSearchCriteria::refused_data()
{
    QTest::addColumn<QString>("criteria");

    QTest::newRow("empty") << QString();
    QTest::newRow("blanks") << QStringLiteral("  ");
    QTest::newRow("star among") << QStringLiteral("* and dc:title exists true");
    QTest::newRow("unbalanced open") << QStringLiteral("(dc:title = \"a\"");
    QTest::newRow("unbalanced close") << QStringLiteral("dc:title = \"a\")");
    QTest::newRow("empty parentheses") << QStringLiteral("()");
    QTest::newRow("missing operand") << QStringLiteral("dc:title = ");
    QTest::newRow("missing operator") << QStringLiteral("dc:title \"a\"");
    QTest::newRow("missing right side") << QStringLiteral("dc:title = \"a\" and");
    QTest::newRow("missing left side") << QStringLiteral("or dc:title = \"a\"");
    QTest::newRow("unquoted value") << QStringLiteral("dc:title = a");
    QTest::newRow("bad escape") << QStringLiteral("dc:title = \"a\\n\"");
    QTest::newRow("escape at end") << QStringLiteral("dc:title = \"a\\");
    QTest::newRow("unterminated") << QStringLiteral("dc:title = \"a");
    QTest::newRow("unknown operator") << QStringLiteral("dc:title like \"a\"");
    QTest::newRow("==") << QStringLiteral("dc:title == \"a\"");
    QTest::newRow("lone !") << QStringLiteral("dc:title ! \"a\"");
    QTest::newRow("exists needs a truth") << QStringLiteral("dc:title exists \"true\"");
    QTest::newRow("exists yes") << QStringLiteral("dc:title exists yes");
    QTest::newRow("two relations without and")
        << QStringLiteral("dc:title = \"a\" dc:title = \"b\"");
    QTest::newRow("bad property") << QStringLiteral("dc: = \"a\"");
    QTest::newRow("property starting with digit") << QStringLiteral("1dc = \"a\"");
    QTest::newRow("two @") << QStringLiteral("res@a@b = \"a\"");
    QTest::newRow("odd character") << QStringLiteral("dc:title = \"a\" & dc:title = \"b\"");
    QTest::newRow("too deep") << QString(QString(33, QLatin1Char('('))
        + QStringLiteral("dc:title exists true") + QString(33, QLatin1Char(')')));
    QTest::newRow("deep and unbalanced") << QString(100000, QLatin1Char('('));
    QTest::newRow("too long") << QString(QStringLiteral("dc:title = \"")
        + QString(SearchCriteria::maxLength, QLatin1Char('a')) + QLatin1Char('"'));
}

void TestSearchCriteria::refused()
{
    QFETCH(QString, criteria);
    const SearchCriteria parsed = SearchCriteria::parse(criteria);
    QVERIFY(!parsed.isValid());
    QVERIFY(!parsed.errorString().isEmpty());
    QVERIFY(!parsed.matches(FakeObject(film)));
}

void TestSearchCriteria::sortKeys_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("keys"); // as "+a,-b"; "!" when refused

    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("two") << QStringLiteral("+dc:title,-dc:date")
                         << QStringLiteral("+dc:title,-dc:date");
    QTest::newRow("no sign, blanks, empty parts")
        << QStringLiteral(" dc:title , ,-dc:date,") << QStringLiteral("+dc:title,-dc:date");
    QTest::newRow("unknown property")
        << QStringLiteral("+dc:title,+upnp:rating") << QStringLiteral("!");
    QTest::newRow("malformed") << QStringLiteral("+dc:title+dc:date") << QStringLiteral("!");
    QTest::newRow("sign alone") << QStringLiteral("-") << QStringLiteral("!");
}

void TestSearchCriteria::sortKeys()
{
    QFETCH(QString, text);
    QFETCH(QString, keys);
    const SortCriteria criteria
        = SortCriteria::parse(text, { QStringLiteral("dc:title"), QStringLiteral("dc:date") });
    if (keys == QLatin1String("!")) {
        QVERIFY(!criteria.isValid());
        QVERIFY(!criteria.errorString().isEmpty());
        return;
    }
    QVERIFY(criteria.isValid());
    QStringList written;
    for (const SortCriteria::Key &key : criteria.keys())
        written.append(QLatin1Char(key.descending ? '-' : '+') + key.property);
    QCOMPARE(written.join(QLatin1Char(',')), keys);
}

// Natural order without regard to case, objects without the property first; the second key
// breaks ties, descending; compare() and sort() agree.
void TestSearchCriteria::sortOrder()
{
    QCollator caseless { QLocale(QLocale::English) };
    caseless.setCaseSensitivity(Qt::CaseInsensitive);
    if (caseless.sortKey(QStringLiteral("Track")).compare(caseless.sortKey(QStringLiteral("track")))
        != 0)
        QSKIP("this system's sort keys keep case apart (Wine's do)");
    const QStringList texts = { QStringLiteral("dc:title=track 10;dc:date=2001"),
        QStringLiteral("dc:title=Track 2;dc:date=1999"), QStringLiteral("dc:date=2005"),
        QStringLiteral("dc:title=track 2;dc:date=2003"), QStringLiteral("dc:title=Éclair"),
        QStringLiteral("dc:title=apple") };
    std::vector<FakeObject> objects;
    for (const QString &text : texts)
        objects.emplace_back(text);
    std::vector<const SearchObject *> pointers;
    for (const FakeObject &object : objects)
        pointers.push_back(&object);

    const SortCriteria criteria = SortCriteria::parse(QStringLiteral("+dc:title,-dc:date"),
        { QStringLiteral("dc:title"), QStringLiteral("dc:date") });
    criteria.sort(pointers);
    QList<int> order;
    for (const SearchObject *pointer : pointers)
        order.append(int(static_cast<const FakeObject *>(pointer) - objects.data()));
    QCOMPARE(order, (QList<int> { 2, 5, 4, 3, 1, 0 }));
    for (std::size_t i = 0; i + 1 < pointers.size(); ++i)
        QVERIFY(criteria.compare(*pointers[i], *pointers[i + 1]) < 0);
    QCOMPARE(criteria.compare(objects[0], objects[0]), 0);
}

QTEST_GUILESS_MAIN(TestSearchCriteria)
#include "tst_searchcriteria.moc"
