// The removal pass over a scripted operating system: which operations it calls, in which order,
// how often it retries, and what it defers.
#include "purge/oslayer.h"
#include "purge/removalpass.h"

#include <QtCore/QHash>
#include <QtCore/QList>
#include <QtTest/QTest>

namespace {

struct FakePath {
    bool directory = false;
    QList<unsigned> failures; // error code of each failing attempt; then the removal succeeds
};

QHash<QByteArray, FakePath> g_world;
QByteArray g_block;     // the environment block handed out; null for "cannot be had"
QStringList g_calls;
int g_blocksOut = 0;
unsigned g_lastError = 0;

void call(const char *what, const char *path)
{
    g_calls << QLatin1String(what) + QLatin1Char(' ') + QString::fromLatin1(path);
}

bool attempt(const char *path)
{
    FakePath &entry = g_world[path];
    if (entry.failures.isEmpty()) {
        g_world.remove(path);
        return true;
    }
    g_lastError = entry.failures.takeFirst();
    if (g_lastError == purge::os::kErrorFileNotFound || g_lastError == purge::os::kErrorPathNotFound)
        g_world.remove(path); // it went away meanwhile
    return false;
}

bool fakeDefer(const char *path)
{
    call("defer", path);
    return false; // a failing deferral must not stop the pass
}

} // namespace

namespace purge::os {

char *environmentBlock()
{
    if (g_block.isNull())
        return nullptr;
    ++g_blocksOut;
    return g_block.data();
}

void freeEnvironmentBlock(char *block)
{
    QCOMPARE(block, g_block.data());
    --g_blocksOut;
}

unsigned textLength(const char *text)
{
    return unsigned(qstrlen(text));
}

unsigned attributes(const char *path)
{
    call("attributes", path);
    if (!g_world.contains(path)) {
        g_lastError = kErrorFileNotFound;
        return kInvalidAttributes;
    }
    return g_world.value(path).directory ? kAttributeDirectory : kAttributeReadOnly;
}

bool setAttributes(const char *path, unsigned attributes)
{
    call(attributes == kAttributeNormal ? "normal" : "attributes?", path);
    return true;
}

bool deleteFile(const char *path)
{
    call("delete", path);
    return attempt(path);
}

bool removeDirectory(const char *path)
{
    call("rmdir", path);
    return attempt(path);
}

unsigned lastError()
{
    return g_lastError;
}

void pause(unsigned milliseconds)
{
    g_calls << QStringLiteral("pause %1").arg(milliseconds);
}

} // namespace purge::os

class TestPurgePass : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void pass_data();
    void pass();
    void noEnvironmentBlock();
};

void TestPurgePass::init()
{
    g_world.clear();
    g_calls.clear();
    g_block = QByteArray();
    g_blocksOut = 0;
    g_lastError = 0;
}

void TestPurgePass::pass_data()
{
    // world: "f /name" or "d /name", optionally ":e1,e2,..." for failing attempts.
    QTest::addColumn<QByteArrayList>("entries");
    QTest::addColumn<QStringList>("world");
    QTest::addColumn<QStringList>("calls");

    const QString f4 = QStringLiteral("normal /f|delete /f");
    const QString retry = QStringLiteral("pause 500|normal /f|delete /f");
    auto calls = [](const QStringList &parts) { return parts.join(QLatin1Char('|')).split(QLatin1Char('|')); };

    QTest::newRow("file removed at once")
        << QByteArrayList{"/f"} << QStringList{QStringLiteral("f /f")}
        << calls({QStringLiteral("attributes /f"), f4});
    QTest::newRow("missing path skipped")
        << QByteArrayList{"/nothing"} << QStringList()
        << calls({QStringLiteral("attributes /nothing")});
    QTest::newRow("empty directory removed")
        << QByteArrayList{"/d"} << QStringList{QStringLiteral("d /d")}
        << calls({QStringLiteral("attributes /d|normal /d|rmdir /d")});
    QTest::newRow("non-empty directory deferred at once")
        << QByteArrayList{"/d"} << QStringList{QStringLiteral("d /d:145")}
        << calls({QStringLiteral("attributes /d|normal /d|rmdir /d|defer /d")});
    QTest::newRow("refused directory deferred at once")
        << QByteArrayList{"/d"} << QStringList{QStringLiteral("d /d:5")}
        << calls({QStringLiteral("attributes /d|normal /d|rmdir /d|defer /d")});
    QTest::newRow("busy file: 4 attempts, 3 pauses, deferred")
        << QByteArrayList{"/f"} << QStringList{QStringLiteral("f /f:32,32,32,32")}
        << calls({QStringLiteral("attributes /f"), f4, retry, retry, retry, QStringLiteral("defer /f")});
    QTest::newRow("refusals of any code but 0, 2, 3 retried")
        << QByteArrayList{"/f"} << QStringList{QStringLiteral("f /f:1,4,5,999")}
        << calls({QStringLiteral("attributes /f"), f4, retry, retry, retry, QStringLiteral("defer /f")});
    QTest::newRow("busy file freed by the third attempt")
        << QByteArrayList{"/f"} << QStringList{QStringLiteral("f /f:32,32")}
        << calls({QStringLiteral("attributes /f"), f4, retry, retry});
    QTest::newRow("file that vanished is left silently")
        << QByteArrayList{"/f"} << QStringList{QStringLiteral("f /f:2")}
        << calls({QStringLiteral("attributes /f"), f4});
    QTest::newRow("path that vanished is left silently")
        << QByteArrayList{"/f"} << QStringList{QStringLiteral("f /f:3")}
        << calls({QStringLiteral("attributes /f"), f4});
    QTest::newRow("failure without an error is left silently")
        << QByteArrayList{"/f"} << QStringList{QStringLiteral("f /f:0")}
        << calls({QStringLiteral("attributes /f"), f4});
    QTest::newRow("busy file vanished during the retries")
        << QByteArrayList{"/f"} << QStringList{QStringLiteral("f /f:32,2")}
        << calls({QStringLiteral("attributes /f"), f4, retry});
    QTest::newRow("entries in order, each on its own")
        << QByteArrayList{"/d", "/f", "/g"}
        << QStringList{QStringLiteral("d /d:145"), QStringLiteral("f /f:32,32,32,32"), QStringLiteral("f /g")}
        << calls({QStringLiteral("attributes /d|normal /d|rmdir /d|defer /d|attributes /f"), f4,
                  retry, retry, retry,
                  QStringLiteral("defer /f|attributes /g|normal /g|delete /g")});
    QTest::newRow("decoded path is used")
        << QByteArrayList{"/a%}b&&c%%"} << QStringList{QStringLiteral("f /a=b&c%")}
        << calls({QStringLiteral("attributes /a=b&c%|normal /a=b&c%|delete /a=b&c%")});
    QTest::newRow("empty first entry ends the block")
        << QByteArrayList{"", "/f"} << QStringList{QStringLiteral("f /f")} << QStringList();
    // Each of these would name a path the launcher did not: a cut path, one missing its
    // last byte, one shortened at a NUL. The entry after each is still read from its start.
    const QByteArray longPath = "/" + QByteArray(299, 'a');
    QTest::newRow("malformed entries skipped")
        << QByteArrayList{longPath, "/g", "/f%", "/g", "/f%@x", "/g"}
        << QStringList{QStringLiteral("f /") + QString(257, QLatin1Char('a')), QStringLiteral("f /f"),
                       QStringLiteral("f /g:32,2")}
        << calls({QStringLiteral("attributes /g|normal /g|delete /g|pause 500|normal /g|delete /g"
                                 "|attributes /g|attributes /g")});
}

void TestPurgePass::pass()
{
    QFETCH(QByteArrayList, entries);
    QFETCH(QStringList, world);
    QFETCH(QStringList, calls);

    for (const QString &pathLine : world) {
        const QStringList parts = pathLine.mid(2).split(QLatin1Char(':'));
        FakePath path;
        path.directory = pathLine.startsWith(QLatin1Char('d'));
        if (parts.size() > 1) {
            for (const QString &code : parts.at(1).split(QLatin1Char(',')))
                path.failures << code.toUInt();
        }
        g_world.insert(parts.at(0).toLatin1(), path);
    }
    g_block = entries.join('\0') + QByteArray(2, '\0');

    QCOMPARE(purge::removalPass(fakeDefer), 0);
    QCOMPARE(g_calls, calls);
    QCOMPARE(g_blocksOut, 0);
}

void TestPurgePass::noEnvironmentBlock()
{
    g_world.insert("/f", FakePath());
    QCOMPARE(purge::removalPass(fakeDefer), -1);
    QVERIFY(g_calls.isEmpty());
    QCOMPARE(g_blocksOut, 0);
}

QTEST_APPLESS_MAIN(TestPurgePass)
#include "tst_purgepass.moc"
