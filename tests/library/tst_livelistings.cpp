// Live folders as DLNA clients see them: a listing kept while its folder is unchanged must
// never show the folder as it was.
#include "library/livelistings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace {

bool write(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1;
}

QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// The folder as if last changed long ago, always at the same time; its change time (ctime)
// stays now.
bool age(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    return false;
#else
    struct timespec times[2] = { { 1'000'000'000, 0 }, { 1'000'000'000, 0 } };
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
#endif
}

} // namespace

class TestLiveListings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void keptListingFollowsTheFolder_data();
    void keptListingFollowsTheFolder();
    void youngListingIsNotKept();
    void fewFoldersAreKept();

private:
    QTemporaryDir *temp = nullptr;
    QString folder;
};

void TestLiveListings::init()
{
#ifdef Q_OS_WIN
    QSKIP("Windows listings are read afresh every time");
#endif
    delete temp;
    temp = new QTemporaryDir;
    folder = temp->path() + QStringLiteral("/f");
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/Sub")));
    QVERIFY(write(folder + QStringLiteral("/a.avi")));
    QVERIFY(write(folder + QStringLiteral("/b.avi")));
    QVERIFY(age(folder));
    // Files changed well before the listing is read (change times come from a coarse clock).
    QTest::qSleep(20);
}

void TestLiveListings::keptListingFollowsTheFolder_data()
{
    QTest::addColumn<QByteArray>("change");
    QTest::addColumn<QStringList>("names");

    QTest::addRow("unchanged: the kept listing") << QByteArray() << words("Sub a.avi b.avi");
    QTest::addRow("a file added") << QByteArray("add c.avi") << words("Sub a.avi b.avi c.avi");
    QTest::addRow("a file removed") << QByteArray("remove b.avi") << words("Sub a.avi");
    QTest::addRow("a file renamed") << QByteArray("rename b.avi") << words("Sub a.avi z.avi");
    QTest::addRow("a folder added") << QByteArray("mkdir New") << words("New Sub a.avi b.avi");
    // As rsync leaves a folder: its modification time set back after the change.
    QTest::addRow("a file added, the time put back")
        << QByteArray("add c.avi, age") << words("Sub a.avi b.avi c.avi");
    // A folder swapped for another that has the same times.
    QTest::addRow("the folder replaced")
        << QByteArray("replace") << words("Sub a.avi b.avi new.avi");
    // The folder stays as it was, so the names stand; the file must be checked again.
    QTest::addRow("a file's permissions changed")
        << QByteArray("chmod b.avi") << words("Sub a.avi b.avi");
}

void TestLiveListings::keptListingFollowsTheFolder()
{
    QFETCH(QByteArray, change);
    QFETCH(QStringList, names);

    LiveListings listings(8, 200'000, 0);
    const LivePlace place { folder, QString(), QString() };
    LiveListings::Listing listing;
    QVERIFY(listings.listing(place, &listing));
    QVERIFY(!listing.kept);
    QCOMPARE(listings.keptCount(place), 3);

    const QString word = QString::fromLatin1(change.split(' ').value(1)).remove(QLatin1Char(','));
    if (change.startsWith("add"))
        QVERIFY(write(folder + u'/' + word));
    else if (change.startsWith("remove"))
        QVERIFY(QFile::remove(folder + u'/' + word));
    else if (change.startsWith("rename"))
        QVERIFY(QFile::rename(folder + u'/' + word, folder + QStringLiteral("/z.avi")));
    else if (change.startsWith("mkdir"))
        QVERIFY(QDir(folder).mkdir(word));
    else if (change.startsWith("chmod")) {
        QTest::qSleep(20); // past the coarse clock's tick
        QVERIFY(QFile::setPermissions(folder + u'/' + word, QFileDevice::WriteOwner));
    }
    if (change.endsWith("age"))
        QVERIFY(age(folder));
    if (change == "replace") {
        QVERIFY(QDir(temp->path()).rename(QStringLiteral("f"), QStringLiteral("old")));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/Sub")));
        for (const char *name : { "a.avi", "b.avi", "new.avi" })
            QVERIFY(write(folder + u'/' + QLatin1String(name)));
        QVERIFY(age(folder));
    }

    QVERIFY(listings.listing(place, &listing));
    QCOMPARE(listing.names, names);
    QCOMPARE(listing.kept, change.isEmpty() || change.startsWith("chmod"));
    QCOMPARE(listing.folderCount, names.count(QStringLiteral("New")) + 1);
    // What the listing says of a file's facts, and whether it must be checked again.
    if (listing.kept) {
        qint64 size = -1;
        qint64 modified = 0;
        qint64 changed = 0;
        QVERIFY(listing.fileStatus(names.indexOf(u"b.avi"), &size, &modified, &changed));
        QCOMPARE(size, 1);
        QCOMPARE(listing.checked(changed), change.isEmpty());
    }
}

void TestLiveListings::youngListingIsNotKept()
{
    // Changed a moment ago: a second change within the same tick would not show.
    QVERIFY(write(folder + QStringLiteral("/c.avi")));
    LiveListings listings;
    const LivePlace place { folder, QString(), QString() };
    LiveListings::Listing listing;
    QVERIFY(listings.listing(place, &listing));
    QCOMPARE(listing.size(), 4);
    QCOMPARE(listings.keptCount(place), -1);
}

void TestLiveListings::fewFoldersAreKept()
{
    LiveListings listings(2, 200'000, 0);
    LiveListings::Listing listing;
    const LivePlace places[] = { { folder, QString(), QString() },
        { folder, QStringLiteral("Sub"), QString() }, { folder, QString(), QStringLiteral("a*") } };
    for (const LivePlace &place : places)
        QVERIFY(listings.listing(place, &listing));
    QCOMPARE(listings.keptCount(places[0]), -1);
    QCOMPARE(listings.keptCount(places[1]), 0);
    QCOMPARE(listings.keptCount(places[2]), 2);
}

QTEST_GUILESS_MAIN(TestLiveListings)
#include "tst_livelistings.moc"
