// Files beside a media file: which subtitles a video has and which picture is a folder's cover,
// found by the same rules as a live folder's listing.
#include "media/sidecars.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestSidecars : public QObject
{
    Q_OBJECT

private slots:
    void found_data();
    void found();
    void coverBelowLiveFolder_data();
    void coverBelowLiveFolder();
    void mimeTypes();
};

void TestSidecars::found_data()
{
    // files: names in the folder; "name/" a directory, "@name" a link to the video.
    // video: the video to find subtitles of; empty to find the folder's cover art.
    // expected: "name mime language" for each subtitle, or the cover's name.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("video");
    QTest::addColumn<QStringList>("expected");

    const QString movie = QStringLiteral("Movie.mkv");
    QTest::newRow("same name") << QStringList { movie, QStringLiteral("Movie.srt") } << movie
                               << QStringList { QStringLiteral("Movie.srt text/srt ") };
    // No two names that differ in case only: Windows takes them for one file.
    QTest::newRow("languages, two and three letters, any case")
        << QStringList { movie, QStringLiteral("Movie.EN.srt"), QStringLiteral("Movie.eng.srt"),
               QStringLiteral("movie.fr.ass") }
        << movie
        << QStringList { QStringLiteral("Movie.EN.srt text/srt en"),
               QStringLiteral("Movie.eng.srt text/srt eng"),
               QStringLiteral("movie.fr.ass text/x-ass fr") };
    QTest::newRow("every format") << QStringList { movie, QStringLiteral("Movie.ssa"),
        QStringLiteral("Movie.smi"), QStringLiteral("Movie.vtt"), QStringLiteral("Movie.sub"),
        QStringLiteral("Movie.txt") }
                                  << movie
                                  << QStringList { QStringLiteral("Movie.smi smi/caption "),
                                         QStringLiteral("Movie.ssa text/x-ssa "),
                                         QStringLiteral("Movie.sub text/x-microdvd "),
                                         QStringLiteral("Movie.vtt text/vtt ") };
    QTest::newRow("other names") << QStringList { movie, QStringLiteral("Movie 2.srt"),
        QStringLiteral("Movies.srt"), QStringLiteral("Movie.english.srt"),
        QStringLiteral("Movie.e1.srt"), QStringLiteral("Movie.mkv.en.srt"),
        QStringLiteral("Other.srt") }
                                 << movie << QStringList();
    QTest::newRow("dots in the video's name")
        << QStringList { QStringLiteral("A.B.2019.mkv"), QStringLiteral("A.B.2019.de.srt"),
               QStringLiteral("A.B.srt") }
        << QStringLiteral("A.B.2019.mkv")
        << QStringList { QStringLiteral("A.B.2019.de.srt text/srt de") };
    QTest::newRow("VobSub pictures are no text")
        << QStringList { movie, QStringLiteral("Movie.sub"), QStringLiteral("Movie.IDX") } << movie
        << QStringList();
    QTest::newRow("a directory named like one")
        << QStringList { movie, QStringLiteral("Movie.srt/") } << movie << QStringList();
    QTest::newRow("cover in any case")
        << QStringList { QStringLiteral("Cover.JPG"), QStringLiteral("a.mp3") } << QString()
        << QStringList { QStringLiteral("Cover.JPG") };
    QTest::newRow("cover before folder before front") << QStringList {
        QStringLiteral("front.jpg"), QStringLiteral("folder.jpg"), QStringLiteral("cover.png")
    } << QString() << QStringList { QStringLiteral("cover.png") };
    QTest::newRow("a directory cover.jpg")
        << QStringList { QStringLiteral("cover.jpg/"), QStringLiteral("Folder.jpeg") } << QString()
        << QStringList { QStringLiteral("Folder.jpeg") };
    QTest::newRow("no cover") << QStringList { QStringLiteral("album.jpg"),
        QStringLiteral("covers.jpg"), QStringLiteral("cover.gif") }
                              << QString() << QStringList();
#ifndef Q_OS_WIN
    // Windows has neither links of this kind nor hidden dot-files.
    QTest::newRow("a link named like a subtitle")
        << QStringList { movie, QStringLiteral("@Movie.srt"), QStringLiteral("Movie.de.srt") }
        << movie << QStringList { QStringLiteral("Movie.de.srt text/srt de") };
    QTest::newRow("a hidden video's subtitle")
        << QStringList { QStringLiteral(".Movie.mkv"), QStringLiteral(".Movie.srt") }
        << QStringLiteral(".Movie.mkv") << QStringList();
    QTest::newRow("a link named cover.jpg, a hidden one") << QStringList {
        QStringLiteral("@cover.jpg"), QStringLiteral(".folder.jpg"), QStringLiteral("front.jpg")
    } << QString() << QStringList { QStringLiteral("front.jpg") };
#endif
}

void TestSidecars::found()
{
    QFETCH(QStringList, files);
    QFETCH(QString, video);
    QFETCH(QStringList, expected);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString folder = temp.filePath(QStringLiteral("Films"));
    QVERIFY(QDir().mkpath(folder));
    QFile target(temp.filePath(QStringLiteral("elsewhere.srt")));
    QVERIFY(target.open(QIODevice::WriteOnly));
    for (const QString &name : files) {
        const QString path = folder + QLatin1Char('/') + name;
        if (name.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir().mkpath(path));
        } else if (name.startsWith(QLatin1Char('@'))) {
            QVERIFY(QFile::link(target.fileName(), folder + QLatin1Char('/') + name.mid(1)));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }

    QStringList shown;
    if (video.isEmpty()) {
        const EntryInfo cover = Sidecars::coverArt(folder);
        if (!cover.name().isEmpty()) {
            shown.append(cover.name());
            QCOMPARE(cover.filePath(), folder + QLatin1Char('/') + cover.name());
        }
    } else {
        const QList<Sidecars::Subtitle> subtitles
            = Sidecars::subtitlesOf(folder + QLatin1Char('/') + video);
        for (const Sidecars::Subtitle &subtitle : subtitles) {
            shown.append(subtitle.file.name() + QLatin1Char(' ') + subtitle.mimeType
                + QLatin1Char(' ') + subtitle.language);
            QCOMPARE(subtitle.format, subtitle.file.suffix().toLower());
        }
    }
    QCOMPARE(shown, expected);
}

// A folder's cover is looked for from the live folder down: a folder on the way exchanged for
// a link to another one leads nowhere.
void TestSidecars::coverBelowLiveFolder_data()
{
    QTest::addColumn<QString>("album");
    QTest::addColumn<bool>("found");
    QTest::addRow("a folder") << QStringLiteral("Real") << true;
#ifndef Q_OS_WIN
    QTest::addRow("a link to a folder") << QStringLiteral("Linked") << false;
#endif
}

void TestSidecars::coverBelowLiveFolder()
{
    QFETCH(QString, album);
    QFETCH(bool, found);
    QTemporaryDir temp;
    const QString live = temp.filePath(QStringLiteral("Live"));
    for (const QString &folder :
        QStringList { temp.filePath(QStringLiteral("outside")), live + u"/Real" }) {
        QVERIFY(QDir().mkpath(folder));
        QFile cover(folder + u"/cover.jpg");
        QVERIFY(cover.open(QIODevice::WriteOnly) && cover.write("x") == 1);
    }
    QVERIFY(QFile::link(temp.filePath(QStringLiteral("outside")), live + u"/Linked"));
    const QString name = QStringLiteral("song.mp3");
    const EntryInfo song = EntryInfo::listed(live, live + u'/' + album + u'/' + name, name, false);
    QString root;
    QString relative;
    QVERIFY(Sidecars::folderOf(song, &root, &relative));
    QCOMPARE(relative, album);
    QCOMPARE(Sidecars::coverArt(root, relative).name().isEmpty(), !found);
}

void TestSidecars::mimeTypes()
{
    QCOMPARE(Sidecars::subtitleMimeType(QStringLiteral("a.b.VTT")), QStringLiteral("text/vtt"));
    QCOMPARE(Sidecars::subtitleMimeType(QStringLiteral("srt")), QString());
    QCOMPARE(Sidecars::subtitleMimeType(QStringLiteral("a.idx")), QString());
}

QTEST_GUILESS_MAIN(TestSidecars)
#include "tst_sidecars.moc"
