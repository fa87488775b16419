#include "media/mediainfo.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

// Reads nothing: answers each file after the delay its name asks for ("slow" 2 s, else
// 20 ms), the way the worker would, one reading at a time per call.
class StandInSource final : public DetailsSource
{
public:
    using DetailsSource::DetailsSource;

    void probe(const QString &path, bool urgent) override
    {
        asked.append(path);
        askedUrgently.append(urgent);
        const int delay = path.contains(QLatin1String("slow")) ? 2000 : 20;
        QTimer::singleShot(delay, this, [this, path] {
            MediaDetails details;
            details.title = path.section(QLatin1Char('/'), -1);
            Outcome outcome = Outcome::Read;
            if (path.contains(QLatin1String("hang")))
                outcome = Outcome::GaveUp;
            else if (path.contains(QLatin1String("junk")))
                outcome = Outcome::Unreadable;
            emit probed(path, details, outcome);
        });
    }

    QStringList asked;
    QList<bool> askedUrgently;
};

} // namespace

class tst_MediaInfo : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void waitIsBounded_data();
    void waitIsBounded();
    void awaitedFilesGoBeforeBackground();
    void givenUpAndUnreadableAreNotReadAgain_data();
    void givenUpAndUnreadableAreNotReadAgain();
    void goneContextIsNotCalled();

private:
    QString makeFile(const QString &name, const QByteArray &bytes = "data");

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<MediaCache> cache;
    std::unique_ptr<StandInSource> source;
    std::unique_ptr<MediaInfo> info;
};

void tst_MediaInfo::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    cache = std::make_unique<MediaCache>(dir->filePath(QStringLiteral("cache")));
    source = std::make_unique<StandInSource>();
    info = std::make_unique<MediaInfo>(*cache, *source);
}

void tst_MediaInfo::cleanup()
{
    info.reset();
    source.reset();
    cache.reset();
}

QString tst_MediaInfo::makeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

void tst_MediaInfo::waitIsBounded_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("known");
    QTest::addColumn<bool>("waitsFull");

    QTest::newRow("all quick: ready when read")
        << QStringLiteral("a b c d").split(QLatin1Char(' ')) << 4 << false;
    QTest::newRow("one slow: ready at the bound")
        << QStringLiteral("a slow b").split(QLatin1Char(' ')) << 2 << true;
    QTest::newRow("nothing to read") << QStringList {} << 0 << false;
    QTest::newRow("a file that is not there")
        << QStringList { QStringLiteral("missing") } << 0 << false;
}

void tst_MediaInfo::waitIsBounded()
{
    QFETCH(QStringList, names);
    QFETCH(int, known);
    QFETCH(bool, waitsFull);

    QStringList paths;
    for (const QString &name : names)
        paths.append(name == QLatin1String("missing") ? dir->filePath(name) : makeFile(name));
    constexpr int bound = 300;
    QElapsedTimer clock;
    clock.start();
    qint64 readyAfter = -1;
    info->whenKnown(paths, bound, this, [&] { readyAfter = clock.elapsed(); });
    // Never inside the call, even with nothing to wait for.
    QCOMPARE(readyAfter, qint64(-1));
    QTRY_VERIFY_WITH_TIMEOUT(readyAfter >= 0, 5000);
    // Well before the slow file's 2 s, however busy the machine.
    if (waitsFull)
        QVERIFY2(
            readyAfter >= bound - 10 && readyAfter < 1500, qPrintable(QString::number(readyAfter)));
    else
        QVERIFY2(readyAfter < bound - 50, qPrintable(QString::number(readyAfter)));

    int knownNow = 0;
    for (const QString &path : paths) {
        const MediaInfo::Answer answer = info->details(path);
        if (answer.status == MediaInfo::Status::Known) {
            QCOMPARE(answer.details.title, path.section(QLatin1Char('/'), -1));
            ++knownNow;
        }
    }
    QCOMPARE(knownNow, known);
    // The slow file goes on being read, and the next look shows it.
    if (waitsFull)
        QTRY_COMPARE_WITH_TIMEOUT(
            info->details(paths.at(1)).status, MediaInfo::Status::Known, 5000);
    // Each file was read once.
    QCOMPARE(source->asked.size(), known + (waitsFull ? 1 : 0));
}

void tst_MediaInfo::awaitedFilesGoBeforeBackground()
{
    for (int i = 0; i < 10; ++i)
        QCOMPARE(info->details(makeFile(QStringLiteral("back%1").arg(i))).status,
            MediaInfo::Status::Pending);
    const QString page = makeFile(QStringLiteral("page"));
    bool ready = false;
    info->whenKnown({ page }, 300, this, [&] { ready = true; });
    QTRY_VERIFY(ready);
    // It waited behind no more than what was being read when it came.
    QVERIFY(source->asked.indexOf(page) <= MediaInfo::inFlightLimit);
    QVERIFY(source->askedUrgently.at(source->asked.indexOf(page)));
    QTRY_COMPARE(info->queued(), 0);
    QTRY_COMPARE(
        info->details(dir->filePath(QStringLiteral("back9"))).status, MediaInfo::Status::Known);
    QCOMPARE(source->asked.size(), 11);
}

void tst_MediaInfo::givenUpAndUnreadableAreNotReadAgain_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("remembersAfterRestart");

    QTest::newRow("given up") << QStringLiteral("hang") << true;
    QTest::newRow("unreadable") << QStringLiteral("junk") << false;
}

void tst_MediaInfo::givenUpAndUnreadableAreNotReadAgain()
{
    QFETCH(QString, name);
    QFETCH(bool, remembersAfterRestart);

    const QString path = makeFile(name);
    QCOMPARE(info->details(path).status, MediaInfo::Status::Pending);
    QTRY_COMPARE(info->details(path).status, MediaInfo::Status::None);
    bool ready = false;
    info->whenKnown({ path }, 300, this, [&] { ready = true; });
    QTRY_VERIFY(ready);
    QCOMPARE(source->asked.size(), 1);

    // A new run with the same cache folder: a page waits while the cache is read, and what
    // the cache knows is not read again.
    info.reset();
    cache.reset();
    cache = std::make_unique<MediaCache>(dir->filePath(QStringLiteral("cache")));
    info = std::make_unique<MediaInfo>(*cache, *source);
    QVERIFY(!cache->isLoaded());
    bool readyAgain = false;
    info->whenKnown({ path }, 3000, this, [&] { readyAgain = true; });
    QTRY_VERIFY(readyAgain);
    QCOMPARE(info->details(path).status, MediaInfo::Status::None);
    const int askedBefore = remembersAfterRestart ? 1 : 2;
    QCOMPARE(source->asked.size(), askedBefore);

    // Once the file changes, it is read again.
    QVERIFY(!makeFile(name, "changed").isEmpty());
    QCOMPARE(info->details(path).status, MediaInfo::Status::Pending);
    QTRY_COMPARE(source->asked.size(), askedBefore + 1);
}

void tst_MediaInfo::goneContextIsNotCalled()
{
    auto context = std::make_unique<QObject>();
    bool called = false;
    info->whenKnown(
        { makeFile(QStringLiteral("slow")) }, 100, context.get(), [&] { called = true; });
    context.reset();
    bool later = false;
    info->whenKnown({ makeFile(QStringLiteral("slow too")) }, 200, this, [&] { later = true; });
    QTRY_VERIFY(later);
    QVERIFY(!called);
}

QTEST_GUILESS_MAIN(tst_MediaInfo)
#include "tst_mediainfo.moc"
