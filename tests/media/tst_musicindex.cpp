// The music views: which tracks land where and in what order, ids that depend on names alone,
// and tracks coming, changing and going one at a time.
#include "media/musicindex.h"

#include <QRegularExpression>
#include <QTest>

namespace {

// "Artist/Album/01 x.flac;title=X;artist=A;albumartist=B;album=C;genre=D;disc=1;track=2"
void insertTrack(MusicIndex &index, const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(';'));
    MediaDetails details;
    for (const QString &part : parts.mid(1)) {
        const QString name = part.section(QLatin1Char('='), 0, 0);
        const QString value = part.section(QLatin1Char('='), 1);
        if (name == QLatin1String("title"))
            details.title = value;
        else if (name == QLatin1String("artist"))
            details.artist = value;
        else if (name == QLatin1String("albumartist"))
            details.albumArtist = value;
        else if (name == QLatin1String("album"))
            details.album = value;
        else if (name == QLatin1String("genre"))
            details.genre = value;
        else if (name == QLatin1String("disc"))
            details.disc = value.toInt();
        else if (name == QLatin1String("track"))
            details.track = value.toInt();
    }
    index.insert(parts.front(), details);
}

// The container that a view's path word and then titles name ("artists/ABBA/Arrival").
std::optional<MusicContainer> containerAt(const MusicIndex &index, const QString &path)
{
    const QStringList parts = path.split(QLatin1Char('/'));
    MusicContainer container;
    if (!MusicContainer::fromPath(parts.front().toLatin1(), &container))
        return std::nullopt;
    for (const QString &title : parts.mid(1)) {
        int total = 0;
        const QList<MusicEntry> children = index.children(container, 0, 0, &total);
        const auto found = std::find_if(children.begin(), children.end(),
            [&title](const MusicEntry &entry) { return entry.title == title; });
        if (found == children.end() || found->isTrack)
            return std::nullopt;
        container = found->container;
    }
    return container;
}

// Children as "title" for tracks, "title (n)" for containers, with " by artist" for albums.
QString listing(const MusicIndex &index, const QString &path)
{
    const std::optional<MusicContainer> container = containerAt(index, path);
    if (!container)
        return QStringLiteral("none");
    int total = 0;
    QStringList shown;
    for (const MusicEntry &entry : index.children(*container, 0, 0, &total)) {
        QString text = entry.title;
        if (!entry.isTrack)
            text += QStringLiteral(" (%1)").arg(entry.childCount);
        if (!entry.artist.isEmpty())
            text += QStringLiteral(" by ") + entry.artist;
        shown.append(text);
    }
    return shown.join(QStringLiteral(", "));
}

const QStringList library = {
    QStringLiteral(
        "M/Arrival/02.flac;title=Dancing Queen;artist=ABBA;album=Arrival;genre=Pop;track=2"),
    QStringLiteral("M/Arrival/01.flac;title=When I Kissed the Teacher;artist=abba "
                   ";album=Arrival;genre=pop;track=1"),
    QStringLiteral("M/Arrival/10.flac;title=Arrival;artist=ABBA;album=Arrival;genre=Pop;track=10"),
    QStringLiteral(
        "M/Hits/CD2/01.mp3;title=Zeta;artist=Queen;album=Greatest Hits;disc=2;track=1;genre=Rock"),
    QStringLiteral(
        "M/Hits/CD1/02.mp3;title=Beta;artist=Queen;album=Greatest Hits;disc=1;track=2;genre=Rock"),
    QStringLiteral(
        "M/Hits/CD1/01.mp3;title=Alpha;artist=Queen;album=Greatest Hits;disc=1;track=1;genre=Rock"),
    QStringLiteral(
        "M/Other/hits.mp3;title=Ring;artist=Édith Piaf;album=Greatest Hits;genre=Chanson"),
    QStringLiteral("M/Now/1.mp3;title=Song 10;artist=Queen;albumartist=Various;album=Now;track=10"),
    QStringLiteral("M/Now/2.mp3;title=Song 9;artist=ABBA;albumartist=Various;album=Now;track=9"),
    QStringLiteral("M/loose/untagged take.ogg"),
    QStringLiteral("M/loose/eclair.ogg;artist=édith PIAF"),
};

} // namespace

class TestMusicIndex : public QObject
{
    Q_OBJECT

private slots:
    void views_data();
    void views();
    void idsFromNames();
    void paths_data();
    void paths();
    void incremental();
    void paging();
};

void TestMusicIndex::views_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    QTest::newRow("artists: grouped without case and blanks, accents sorted as letters")
        << QStringLiteral("artists")
        << QStringLiteral("ABBA (2), Édith Piaf (2), Queen (2), Unknown artist (1)");
    QTest::newRow("album artists fall back to artists")
        << QStringLiteral("albumartists")
        << QStringLiteral("ABBA (1), Édith Piaf (2), Queen (1), Unknown artist (1), Various (1)");
    QTest::newRow("albums: same name, other folder and artist")
        << QStringLiteral("albums")
        << QStringLiteral("Arrival (3) by ABBA, Greatest Hits (1) by Édith Piaf, Greatest Hits (3) "
                          "by Queen, Now (2) by Various, Unknown album (2)");
    QTest::newRow("album in track order, numbers as numbers") << QStringLiteral(
        "albums/Arrival") << QStringLiteral("When I Kissed the Teacher, Dancing Queen, Arrival");
    QTest::newRow("discs in disc folders are one album")
        << QStringLiteral("artists/Queen/Greatest Hits") << QStringLiteral("Alpha, Beta, Zeta");
    QTest::newRow("artist's albums") << QStringLiteral("artists/ABBA")
                                     << QStringLiteral("Arrival (3) by ABBA, Now (1) by Various");
    QTest::newRow("artist's share of a compilation")
        << QStringLiteral("artists/ABBA/Now") << QStringLiteral("Song 9");
    QTest::newRow("album artist's album whole")
        << QStringLiteral("albumartists/Various/Now") << QStringLiteral("Song 9, Song 10");
    QTest::newRow("genres") << QStringLiteral("genres")
                            << QStringLiteral("Chanson (1), Pop (1), Rock (1), Unknown genre (2)");
    QTest::newRow("genre's albums") << QStringLiteral("genres/Unknown genre")
                                    << QStringLiteral("Now (2) by Various, Unknown album (2)");
    QTest::newRow("untagged: file name as title") << QStringLiteral(
        "artists/Unknown artist/Unknown album") << QStringLiteral("untagged take");
    QTest::newRow("all tracks by title, naturally")
        << QStringLiteral("tracks")
        << QStringLiteral("Alpha, Arrival, Beta, Dancing Queen, eclair, Ring, Song 9, Song 10, "
                          "untagged take, When I Kissed the Teacher, Zeta");
    QTest::newRow("no such group") << QStringLiteral("artists/Nobody") << QStringLiteral("none");
}

void TestMusicIndex::views()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    MusicIndex index;
    for (const QString &track : library)
        insertTrack(index, track);
    QCOMPARE(index.trackCount(), library.size());
    QCOMPARE(listing(index, path), expected);
}

// The same names give the same paths whatever order the tracks came in; the names shown are
// the ones seen first.
void TestMusicIndex::idsFromNames()
{
    MusicIndex forward;
    MusicIndex backward;
    for (const QString &track : library)
        insertTrack(forward, track);
    for (auto it = library.crbegin(); it != library.crend(); ++it)
        insertTrack(backward, *it);
    const QRegularExpression safe(QStringLiteral("^[a-z]+(/[A-Za-z0-9_-]{16}){0,2}$"));
    for (const QString &path :
        { QStringLiteral("artists/ABBA/Arrival"), QStringLiteral("albumartists/Various/Now"),
            QStringLiteral("albums/Unknown album"), QStringLiteral("genres/Rock/Greatest Hits") }) {
        const std::optional<MusicContainer> first = containerAt(forward, path);
        QVERIFY2(first, qPrintable(path));
        const QByteArray text = first->toPath();
        QVERIFY2(safe.match(QString::fromLatin1(text)).hasMatch(), text.constData());
        MusicContainer again;
        QVERIFY(MusicContainer::fromPath(text, &again));
        const std::optional<MusicEntry> entry = backward.entry(again);
        QVERIFY2(entry, text.constData());
        QCOMPARE(entry->title.toCaseFolded(), path.section(QLatin1Char('/'), -1).toCaseFolded());
    }
    int total = 0;
    QCOMPARE(forward.children(*containerAt(forward, QStringLiteral("artists")), 1, 1, &total)
                 .front()
                 .title,
        QStringLiteral("Édith Piaf"));
    QCOMPARE(backward.children(*containerAt(backward, QStringLiteral("artists")), 1, 1, &total)
                 .front()
                 .title,
        QStringLiteral("édith PIAF"));
}

void TestMusicIndex::paths_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("valid");

    QTest::newRow("view") << QByteArray("genres") << true;
    QTest::newRow("album of a genre") << QByteArray("genres/abc/def") << true;
    QTest::newRow("tracks") << QByteArray("tracks") << true;
    QTest::newRow("below tracks") << QByteArray("tracks/abc") << false;
    QTest::newRow("below an album") << QByteArray("albums/abc/def") << false;
    QTest::newRow("too deep") << QByteArray("artists/a/b/c") << false;
    QTest::newRow("unknown view") << QByteArray("composers") << false;
    QTest::newRow("empty id") << QByteArray("artists//b") << false;
    QTest::newRow("odd character") << QByteArray("artists/a.b") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestMusicIndex::paths()
{
    QFETCH(QByteArray, path);
    QFETCH(bool, valid);
    MusicContainer container;
    QCOMPARE(MusicContainer::fromPath(path, &container), valid);
    if (valid)
        QCOMPARE(container.toPath(), path);
}

// Adding, retagging and removing tracks one by one moves them between groups; a group whose
// last track goes is gone, and comes back under the same id.
void TestMusicIndex::incremental()
{
    MusicIndex index;
    for (const QString &track : library)
        insertTrack(index, track);
    const QByteArray piaf = containerAt(index, QStringLiteral("artists/Édith Piaf"))->toPath();

    insertTrack(index, QStringLiteral("M/loose/eclair.ogg;artist=Queen;title=Eclair"));
    QCOMPARE(index.trackCount(), library.size());
    QCOMPARE(
        listing(index, QStringLiteral("artists/Queen/Unknown album")), QStringLiteral("Eclair"));
    QCOMPARE(listing(index, QStringLiteral("artists/Édith Piaf")),
        QStringLiteral("Greatest Hits (1) by Édith Piaf"));

    QVERIFY(index.remove(QStringLiteral("M/Other/hits.mp3")));
    QVERIFY(!index.remove(QStringLiteral("M/Other/hits.mp3")));
    QCOMPARE(listing(index, QStringLiteral("artists/Édith Piaf")), QStringLiteral("none"));
    MusicContainer gone;
    QVERIFY(MusicContainer::fromPath(piaf, &gone));
    QVERIFY(!index.entry(gone));
    int total = -1;
    QVERIFY(index.children(gone, 0, 0, &total).isEmpty());
    QCOMPARE(total, 0);

    // Removing from the middle of a sorted album keeps the rest in order.
    QVERIFY(index.remove(QStringLiteral("M/Arrival/02.flac")));
    QCOMPARE(listing(index, QStringLiteral("albums/Arrival")),
        QStringLiteral("When I Kissed the Teacher, Arrival"));
    insertTrack(index, QStringLiteral("M/Piaf/x.mp3;artist=ÉDITH PIAF;album=Best"));
    QCOMPARE(containerAt(index, QStringLiteral("artists/ÉDITH PIAF"))->toPath(), piaf);
    QCOMPARE(listing(index, QStringLiteral("artists")),
        QStringLiteral("ABBA (2), ÉDITH PIAF (1), Queen (3), Unknown artist (1)"));

    for (const QString &track : library)
        index.remove(track.section(QLatin1Char(';'), 0, 0));
    index.remove(QStringLiteral("M/Piaf/x.mp3"));
    QCOMPARE(index.trackCount(), 0);
    for (const MusicEntry &view : index.views())
        QCOMPARE(view.childCount, 0);
    QCOMPARE(listing(index, QStringLiteral("tracks")), QString());
}

void TestMusicIndex::paging()
{
    MusicIndex index;
    for (const QString &track : library)
        insertTrack(index, track);
    MusicContainer tracks;
    QVERIFY(MusicContainer::fromPath("tracks", &tracks));
    int total = 0;
    const QList<MusicEntry> page = index.children(tracks, 9, 5, &total);
    QCOMPARE(total, library.size());
    QCOMPARE(page.size(), 2);
    QCOMPARE(page.front().title, QStringLiteral("When I Kissed the Teacher"));
    QCOMPARE(page.front().trackKey, QStringLiteral("M/Arrival/01.flac"));
    QVERIFY(index.children(tracks, 20, 5, &total).isEmpty());
    const MusicEntry arrival = *index.entry(*containerAt(index, QStringLiteral("albums/Arrival")));
    QCOMPARE(arrival.upnpClass, QStringLiteral("object.container.album.musicAlbum"));
    QCOMPARE(arrival.trackKey, QStringLiteral("M/Arrival/01.flac"));
    QCOMPARE(index.entry(*containerAt(index, QStringLiteral("genres/Rock")))->upnpClass,
        QStringLiteral("object.container.genre.musicGenre"));
    QCOMPARE(index.entry(*containerAt(index, QStringLiteral("albumartists/Various")))->upnpClass,
        QStringLiteral("object.container.person.musicArtist"));
}

QTEST_GUILESS_MAIN(TestMusicIndex)
#include "tst_musicindex.moc"
