#include "media/mediaprober.h"
#include "mediafixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

using Outcome = MediaProber::Outcome;

Q_DECLARE_METATYPE(MediaDetails)

namespace {

// What a test can say about details in one line each: a list compared whole, so a fact too
// many (a thumbnail for a photo, a frame rate for a still) fails as well as one missing.
QStringList facts(const MediaDetails &d)
{
    QStringList out;
    auto add = [&out](const char *key, const QString &value) {
        if (!value.isEmpty())
            out << QLatin1String(key) + QLatin1Char('=') + value;
    };
    auto number = [](qint64 n) { return n != 0 ? QString::number(n) : QString(); };
    add("container", d.container);
    if (d.durationMs >= 0)
        add("seconds", QString::number(qRound(d.durationMs / 1000.0)));
    if (d.bitrate > 0)
        out << QStringLiteral("bitrate");
    for (const StreamDetails &s : d.streams) {
        QStringList words { s.codec };
        if (!s.profile.isEmpty())
            words << s.profile;
        if (s.kind == StreamDetails::Kind::Video) {
            if (s.level >= 0)
                words << QString::number(s.level);
            words << QStringLiteral("%1x%2").arg(s.width).arg(s.height);
            if (s.frameRate > 0)
                words << QString::number(s.frameRate) + QLatin1String("fps");
            add(s.attachedPicture ? "cover" : "video", words.join(QLatin1Char(' ')));
        } else if (s.kind == StreamDetails::Kind::Audio) {
            words << QString::number(s.channels) + QLatin1String("ch")
                  << QString::number(s.sampleRate) + QLatin1String("Hz");
            if (s.bitsPerSample > 0)
                words << QString::number(s.bitsPerSample) + QLatin1String("bit");
            add("audio", words.join(QLatin1Char(' ')));
        } else if (s.kind == StreamDetails::Kind::Subtitle) {
            add("subtitle", (words << s.language).join(QLatin1Char(' ')));
        }
    }
    add("title", d.title);
    add("artist", d.artist);
    add("albumArtist", d.albumArtist);
    add("album", d.album);
    add("genre", d.genre);
    add("track", number(d.track));
    add("disc", number(d.disc));
    add("date", d.date);
    add("taken", d.taken);
    add("orientation", number(d.orientation));
    if (!d.thumbnail.isEmpty()) {
        const QImage thumb = QImage::fromData(d.thumbnail, "JPEG");
        add("thumb",
            thumb.isNull() ? QStringLiteral("not a JPEG")
                           : QStringLiteral("%1x%2").arg(thumb.width()).arg(thumb.height()));
    }
    return out;
}

QStringList list(std::initializer_list<const char *> texts)
{
    QStringList out;
    for (const char *text : texts)
        out << QString::fromUtf8(text);
    return out;
}

struct Answer
{
    MediaDetails details;
    Outcome outcome = Outcome::Unreadable;
    int order = 0;
};

} // namespace

class TestMediaProber : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void detailsTravelAsJson_data();
    void detailsTravelAsJson();
    void readsWhatEachFileIs_data();
    void readsWhatEachFileIs();
    void workerThatFailsCostsOnlyItsFile_data();
    void workerThatFailsCostsOnlyItsFile();
    void urgentFilesGoFirstAndEachIsReadOnce();
    void eachFileKeepsItsOwnCover();
    void noWorkerOutlivesTheProber();

private:
    QString sample(const QString &name) const { return QDir(media).filePath(name); }
    QString copy(const QString &name, const QString &as)
    {
        const QString to = dir.filePath(as);
        QFile::remove(to);
        return QFile::copy(sample(name), to) ? to : QString();
    }
    std::unique_ptr<MediaProber> prober()
    {
        auto p = std::make_unique<MediaProber>();
        p->setWorkerProgram(program);
        return p;
    }
    // Probes each path in turn and waits for every answer.
    QHash<QString, Answer> probeAll(
        MediaProber &prober, const QStringList &paths, int timeoutMs = 60000);

    QTemporaryDir dir;
    QString media;
    QString program;
};

void TestMediaProber::initTestCase()
{
    QVERIFY(dir.isValid());
    media = makeTestMedia(dir);
    QVERIFY2(!media.isEmpty() && QFile::exists(sample(QStringLiteral("tagged.mp3"))),
        "make_media.py could not make the media (is ffmpeg installed?)");
    program = QString::fromUtf8(HEARTH_PROBE_PROGRAM);
#ifdef Q_OS_WIN
    if (program.startsWith(QLatin1Char('/')))
        program.prepend(QLatin1String("Z:"));
#endif
}

QHash<QString, Answer> TestMediaProber::probeAll(
    MediaProber &prober, const QStringList &paths, int timeoutMs)
{
    QHash<QString, Answer> answers;
    int order = 0;
    const auto connection = connect(&prober, &MediaProber::probed, this,
        [&](const QString &path, const MediaDetails &d, Outcome o) {
            answers.insert(path, Answer { d, o, order++ });
        });
    for (const QString &path : paths)
        prober.probe(path);
    QElapsedTimer clock;
    clock.start();
    while (answers.size() < paths.size() && clock.elapsed() < timeoutMs)
        QTest::qWait(10);
    disconnect(connection);
    return answers;
}

void TestMediaProber::detailsTravelAsJson_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<MediaDetails>("expected");

    MediaDetails full;
    full.container = QStringLiteral("matroska,webm");
    full.durationMs = 5400123;
    full.bitrate = 8000000;
    StreamDetails video;
    video.kind = StreamDetails::Kind::Video;
    video.index = 0;
    video.codec = QStringLiteral("hevc");
    video.profile = QStringLiteral("Main 10");
    video.level = 0;
    video.width = 3840;
    video.height = 2160;
    video.frameRate = 23.976;
    video.pixelFormat = QStringLiteral("yuv420p10le");
    video.isDefault = true;
    StreamDetails audio;
    audio.kind = StreamDetails::Kind::Audio;
    audio.index = 1;
    audio.codec = QStringLiteral("flac");
    audio.channels = 6;
    audio.sampleRate = 96000;
    audio.bitsPerSample = 24;
    audio.language = QStringLiteral("fra");
    audio.title = QStringLiteral("Commentaire \u00e9");
    StreamDetails cover;
    cover.kind = StreamDetails::Kind::Video;
    cover.attachedPicture = true;
    full.streams = { cover, video, audio };
    full.title = QStringLiteral("T\u00eate \"quoted\"\n");
    full.artist = QStringLiteral("A");
    full.albumArtist = QStringLiteral("AA");
    full.album = QStringLiteral("B");
    full.genre = QStringLiteral("G");
    full.composer = QStringLiteral("C");
    full.date = QStringLiteral("2019-04-12");
    full.track = 3;
    full.disc = 2;
    full.taken = QStringLiteral("2021:07:14 18:02:33");
    full.orientation = 8;
    full.thumbnail = QByteArray("\xff\xd8\x00\x01\xff\xd9", 6);
    QVERIFY(full.firstStream(StreamDetails::Kind::Video) == &full.streams[1]);
    QTest::newRow("every field, back as it went")
        << QJsonDocument(full.toJson()).toJson(QJsonDocument::Compact) << full;
    QTest::newRow("nothing known") << QByteArray("{}") << MediaDetails();

    // A garbled line gives defaults, never numbers out of range.
    MediaDetails garbled;
    StreamDetails plain;
    plain.kind = StreamDetails::Kind::Video;
    garbled.streams = { plain };
    QTest::newRow("wrong types and ranges") << QByteArray(
        "{\"durationMs\":\"12\",\"bitrate\":1e300,\"track\":-7,\"orientation\":9,"
        "\"disc\":4294967296,\"title\":5,\"thumbnail\":\"***\","
        "\"streams\":[1,\"x\",{\"kind\":\"video\",\"width\":-5,\"frameRate\":-1,"
        "\"level\":2.5e10}]}") << garbled;
}

void TestMediaProber::detailsTravelAsJson()
{
    QFETCH(QByteArray, json);
    QFETCH(MediaDetails, expected);
    const MediaDetails read = MediaDetails::fromJson(QJsonDocument::fromJson(json).object());
    QCOMPARE(QJsonDocument(read.toJson()).toJson(), QJsonDocument(expected.toJson()).toJson());
    QVERIFY(read == expected);
}

void TestMediaProber::readsWhatEachFileIs_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("H.264 and AAC in MP4, tagged")
        << QStringLiteral("h264_aac.mp4") << Outcome::Read
        << list({ "container=mov,mp4,m4a,3gp,3g2,mj2", "seconds=3", "bitrate",
               "video=h264 High 31 320x240 25fps", "audio=aac LC 1ch 48000Hz", "title=A Clip",
               "artist=Ann", "albumArtist=The Band", "album=Tests", "genre=Jazz", "track=3",
               "disc=1", "date=2019-04-12", "thumb=160x120" });
    QTest::newRow("portrait video, turned upright")
        << QStringLiteral("portrait.mp4") << Outcome::Read
        << list({ "container=mov,mp4,m4a,3gp,3g2,mj2", "seconds=3", "bitrate",
               "video=h264 High 31 320x240 25fps", "thumb=120x160" });
    QTest::newRow("MPEG-2 in MPEG-TS")
        << QStringLiteral("mpeg2.ts") << Outcome::Read
        << list({ "container=mpegts", "seconds=2", "bitrate",
               "video=mpeg2video Main 8 320x240 25fps", "audio=mp2 2ch 48000Hz", "thumb=160x120" });
    QTest::newRow("HEVC, AC-3, DTS and subtitles in Matroska")
        << QStringLiteral("hevc_ac3_dts.mkv") << Outcome::Read
        << list({ "container=matroska,webm", "seconds=2", "bitrate",
               "video=hevc Main 60 320x240 25fps", "audio=ac3 6ch 48000Hz",
               "audio=dts DTS 2ch 48000Hz", "subtitle=subrip eng", "thumb=160x120" });
    QTest::newRow("MP3 with ID3 tags and cover art")
        << QStringLiteral("tagged.mp3") << Outcome::Read
        << list({ "container=mp3", "seconds=2", "bitrate", "audio=mp3 1ch 44100Hz",
               "cover=mjpeg Baseline 300x200", "title=Song", "artist=Bob", "album=Album",
               "genre=Rock", "track=4", "disc=2", "date=2001", "thumb=160x107" });
    QTest::newRow("MP3 whose ID3 tag outgrows FFmpeg's first reads")
        << QStringLiteral("bigcover.mp3") << Outcome::Read
        << list({ "container=mp3", "seconds=1", "bitrate", "audio=mp3 1ch 44100Hz",
               "cover=mjpeg Baseline 1200x1200", "title=Big", "thumb=160x160" });
    QTest::newRow("two ID3 tags in a row")
        << QStringLiteral("twotags.mp3") << Outcome::Read
        << list({ "container=mp3", "seconds=1", "bitrate", "audio=mp3 1ch 44100Hz",
               "cover=mjpeg Baseline 1200x1200", "title=First", "thumb=160x160" });
    QTest::newRow("ADTS AAC after an ID3 tag")
        << QStringLiteral("tagged.aac") << Outcome::Read
        << list({ "container=aac", "seconds=1", "bitrate", "audio=aac LC 1ch 44100Hz",
               "title=ADTS with a tag" });
    QTest::newRow("FLAC with Vorbis comments and cover art")
        << QStringLiteral("tagged.flac") << Outcome::Read
        << list({ "container=flac", "seconds=1", "bitrate", "audio=flac 1ch 44100Hz 16bit",
               "cover=png 300x200", "title=Lossless", "artist=Cleo", "albumArtist=Cleo & Co",
               "track=7", "disc=1", "date=2020", "thumb=160x107" });
    QTest::newRow("WAV") << QStringLiteral("plain.wav") << Outcome::Read
                         << list({ "container=wav", "seconds=1", "bitrate",
                                "audio=pcm_s16le 2ch 44100Hz 16bit" });
    QTest::newRow("JPEG with EXIF date and orientation")
        << QStringLiteral("photo.jpg") << Outcome::Read
        << list({ "container=image2", "video=mjpeg Baseline 320x240", "taken=2021:07:14 18:02:33",
               "orientation=6" });
    QTest::newRow("PNG") << QStringLiteral("picture.png") << Outcome::Read
                         << list({ "container=png_pipe", "video=png 320x240" });

    // A copy of the WAV: the name reaches the worker whole, with blanks, accents, "%", "#", and
    // where the file system allows, a colon and a line break (the framing's line end).
#ifdef Q_OS_WIN
    const QString oddName = QStringLiteral("copy of \u00e9t\u00e9 %20 #1 ;x.wav");
#else
    const QString oddName = QStringLiteral("copy of \u00e9t\u00e9 %20 #1 x:y\nz.wav");
#endif
    QTest::newRow("odd name") << oddName << Outcome::Read
                              << list({ "container=wav", "seconds=1", "bitrate",
                                     "audio=pcm_s16le 2ch 44100Hz 16bit" });
    QTest::newRow("text") << QStringLiteral("notmedia.txt") << Outcome::Unreadable << QStringList();
    QTest::newRow("zeros named .mp4")
        << QStringLiteral("zeros.mp4") << Outcome::Unreadable << QStringList();
    QTest::newRow("truncated MP4")
        << QStringLiteral("truncated.mp4") << Outcome::Unreadable << QStringList();
    QTest::newRow("ID3 tag, nothing after it")
        << QStringLiteral("tagonly.mp3") << Outcome::Unreadable << QStringList();
    QTest::newRow("ID3 tag claiming more than the file")
        << QStringLiteral("tagpastend.mp3") << Outcome::Unreadable << QStringList();
    QTest::newRow("empty") << QStringLiteral("empty.mp3") << Outcome::Unreadable << QStringList();
    QTest::newRow("missing") << QStringLiteral("missing.mp3") << Outcome::Unreadable
                             << QStringList();
    QTest::newRow("folder") << QStringLiteral(".") << Outcome::Unreadable << QStringList();
#ifdef Q_OS_UNIX
    // Opening a FIFO for reading would wait for a writer forever.
    QTest::newRow("FIFO") << QStringLiteral("fifo.mp3") << Outcome::Unreadable << QStringList();
#endif
}

void TestMediaProber::readsWhatEachFileIs()
{
    QFETCH(QString, file);
    QFETCH(Outcome, outcome);
    QFETCH(QStringList, expected);
    QString path = sample(file);
    if (file.startsWith(QLatin1String("copy of ")))
        path = copy(QStringLiteral("plain.wav"), file);
#ifdef Q_OS_UNIX
    if (file == QLatin1String("fifo.mp3")) {
        path = dir.filePath(file);
        QVERIFY(QFile::exists(path) || ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    }
#endif
    auto p = prober();
    const Answer answer = probeAll(*p, { path }, 20000).value(path);
    QCOMPARE(answer.outcome, outcome);
    QStringList found = facts(answer.details);
    found.sort();
    expected.sort();
    QCOMPARE(found, expected);
}

void TestMediaProber::workerThatFailsCostsOnlyItsFile_data()
{
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("noProgram");

    QTest::newRow("worker crashes on one file")
        << QStringLiteral("HEARTH_PROBE_TEST_CRASH") << QString() << false;
    QTest::newRow("worker hangs on one file")
        << QStringLiteral("HEARTH_PROBE_TEST_HANG") << QString() << false;
    QTest::newRow("no worker program") << QString() << QString() << true;
#ifdef Q_OS_UNIX
    // Stand-in workers: one that floods its output without ending a line, one that ends at
    // once, one that answers every request with a wrong id.
    QTest::newRow("worker floods")
        << QString() << QStringLiteral("exec head -c 50000000 /dev/zero") << false;
    QTest::newRow("worker exits") << QString() << QStringLiteral("exit 0") << false;
    QTest::newRow("worker answers another file")
        << QString()
        << QStringLiteral("while read id path; do echo '{\"id\":0,\"outcome\":\"read\"}'; done")
        << false;
#endif
}

void TestMediaProber::workerThatFailsCostsOnlyItsFile()
{
    QFETCH(QString, variable);
    QFETCH(QString, script);
    QFETCH(bool, noProgram);
#ifdef Q_OS_WIN
    // Under Wine starting the worker alone can take seconds on a busy machine.
    const int limitMs = 8000;
#else
    const int limitMs = 1500;
#endif
    auto p = prober();
    p->setTimeLimit(limitMs);
    // One worker: it holds the file after the victim when it fails, which must still be read.
    p->setWorkerCount(1);
    const QString victim = copy(QStringLiteral("tagged.mp3"), QStringLiteral("victim.mp3"));
    QStringList paths { sample(QStringLiteral("plain.wav")), victim,
        sample(QStringLiteral("tagged.flac")), sample(QStringLiteral("photo.jpg")) };
    if (!variable.isEmpty())
        qputenv(variable.toLatin1().constData(), "victim.mp3");
    if (noProgram)
        p->setWorkerProgram(dir.filePath(QStringLiteral("no-such-program")));
    if (!script.isEmpty()) {
        const QString standIn = dir.filePath(QStringLiteral("stand-in.sh"));
        QFile file(standIn);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!/bin/sh\n" + script.toUtf8() + "\n");
        file.close();
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
        p->setWorkerProgram(standIn);
    }
    // Many files behind them: a program that cannot start fails each without recursion.
    if (noProgram) {
        for (int i = 0; i < 200; ++i)
            paths << dir.filePath(QStringLiteral("absent-%1.mp3").arg(i));
    }

    QElapsedTimer clock;
    clock.start();
    const QHash<QString, Answer> answers = probeAll(*p, paths, 30000);
    if (!variable.isEmpty())
        qunsetenv(variable.toLatin1().constData());
    QVERIFY(clock.elapsed() < 10 * limitMs);

    const bool standInOrMissing = noProgram || !script.isEmpty();
    for (const QString &path : paths) {
        // A program that cannot start holds nothing against the files: they are read later.
        const Outcome expected = noProgram       ? Outcome::Unreadable
            : path == victim || standInOrMissing ? Outcome::GaveUp
                                                 : Outcome::Read;
        QVERIFY2(answers.value(path).outcome == expected, qPrintable(path));
    }
    QCOMPARE(answers.size(), paths.size());
}

void TestMediaProber::urgentFilesGoFirstAndEachIsReadOnce()
{
    const QStringList background = list({ "h264_aac.mp4", "mpeg2.ts", "tagged.mp3", "tagged.flac",
        "plain.wav", "picture.png", "notmedia.txt", "zeros.mp4" });
    auto p = prober();
    p->setWorkerCount(1);
    QStringList order;
    connect(p.get(), &MediaProber::probed, this,
        [&order](const QString &path, const MediaDetails &, Outcome) { order << path; });
    for (const QString &name : background)
        p->probe(sample(name));
    // Asked again: still one answer each.
    p->probe(sample(QStringLiteral("mpeg2.ts")));
    p->probe(sample(QStringLiteral("h264_aac.mp4")));
    p->probe(sample(QStringLiteral("zeros.mp4")), true);
    p->probe(sample(QStringLiteral("photo.jpg")), true);
    QCOMPARE(p->pending(), background.size() + 1);
    QTRY_COMPARE_WITH_TIMEOUT(order.size(), background.size() + 1, 60000);
    QCOMPARE(p->pending(), 0);
    // The first two files were already with the worker; the urgent ones come next, in order.
    QCOMPARE(order.mid(0, 4),
        (QStringList { sample(QStringLiteral("h264_aac.mp4")), sample(QStringLiteral("mpeg2.ts")),
            sample(QStringLiteral("zeros.mp4")), sample(QStringLiteral("photo.jpg")) }));
    QCOMPARE(order.last(), sample(QStringLiteral("notmedia.txt")));
    QCOMPARE(QSet<QString>(order.cbegin(), order.cend()).size(), order.size());
}

void TestMediaProber::eachFileKeepsItsOwnCover()
{
    // One worker reads them in turn, remembering the covers it has just made thumbnails of.
    auto p = prober();
    p->setWorkerCount(1);
    const QString big = sample(QStringLiteral("bigcover.mp3"));
    const QString other = sample(QStringLiteral("othercover.mp3"));
    const QString again = copy(QStringLiteral("bigcover.mp3"), QStringLiteral("again.mp3"));
    const QHash<QString, Answer> answers = probeAll(*p, { big, other, again });
    const QByteArray first = answers.value(big).details.thumbnail;
    QVERIFY(!first.isEmpty());
    QVERIFY(answers.value(other).details.thumbnail != first);
    QCOMPARE(answers.value(again).details.thumbnail, first);
}

void TestMediaProber::noWorkerOutlivesTheProber()
{
#ifdef Q_OS_LINUX
    // Our children called hearth-probe, from /proc.
    auto workers = [] {
        int count = 0;
        const QString self = QString::number(::getpid());
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            const QByteArray line = stat.readAll();
            const qsizetype close = line.lastIndexOf(')');
            const QList<QByteArray> fields = line.mid(close + 2).split(' ');
            if (line.contains("(hearth-probe)") && fields.size() > 1
                && QString::fromLatin1(fields[1]) == self && fields[0] != "Z") {
                ++count;
            }
        }
        return count;
    };
    auto p = prober();
    p->setWorkerCount(2);
    const QString a = sample(QStringLiteral("tagged.mp3"));
    const QString b = sample(QStringLiteral("plain.wav"));
    probeAll(*p, { a, b });
    QCOMPARE(workers(), 2);
    p.reset();
    QTRY_COMPARE(workers(), 0);

    // A parent killed outright takes its worker along: a shell starts one (its input a pipe
    // that stays open for 30 s, so the end of input is not what ends it), names it, becomes
    // `sleep`, and once the worker has answered a first request, is killed.
    QProcess parent;
    parent.start(QStringLiteral("sh"),
        { QStringLiteral("-c"),
            QStringLiteral("(echo 1 L25vbmU=; sleep 30) | \"$0\" --parent $$ & echo $!; "
                           "exec sleep 60"),
            program });
    QVERIFY(parent.waitForReadyRead(5000));
    const QString worker = QString::fromLatin1(parent.readLine().trimmed());
    // Its answer: it runs, past its start.
    QTRY_VERIFY(parent.canReadLine());
    QVERIFY(parent.readLine().contains("unreadable"));
    const QString status = QStringLiteral("/proc/%1/status").arg(worker);
    // /proc files have no size: read line by line. A zombie is gone, waiting to be reaped.
    auto alive = [&status] {
        QFile file(status);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        for (QByteArray line = file.readLine(); !line.isEmpty(); line = file.readLine()) {
            if (line.startsWith("State:"))
                return !line.contains('Z');
        }
        return false;
    };
    QVERIFY(alive());
    parent.kill();
    QVERIFY(parent.waitForFinished(5000));
    QTRY_VERIFY_WITH_TIMEOUT(!alive(), 3000);
#else
    QSKIP("reads the process table from /proc");
#endif
}

QTEST_GUILESS_MAIN(TestMediaProber)
#include "tst_mediaprober.moc"
