// Generates hearth.xml files with many library entries, or with deeply nested unknown
// elements, and times loading them through loadConfiguration(), the code start-up runs before
// the first player is answered. Printed beside a plain read of the same file through
// QXmlStreamReader, the floor any loader stands on.

#include "app/productstrings.h"
#include "app/startup.h"
#include "library/treewidget.h"
#include "library/userprompts.h"
#include "settings/configfile.h"
#include "settings/settings.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <time.h>

namespace {

// Answers nothing and counts what start-up would have shown.
class SilentPrompts final : public UserPrompts
{
public:
    QMessageBox::StandardButton message(QMessageBox::Icon, QWidget *, const QString &,
        const QString &, QMessageBox::StandardButtons) override
    {
        ++messages;
        return QMessageBox::NoButton;
    }
    QString getText(QWidget *, const QString &, const QString &, bool *ok) override
    {
        if (ok)
            *ok = false;
        return {};
    }
    QStringList getOpenFileNames(
        QWidget *, const QString &, const QString &, const QString &) override
    {
        return {};
    }
    QString getExistingDirectory(QWidget *, const QString &, const QString &) override
    {
        return {};
    }
    int messages = 0;
};

struct Case
{
    QString label;
    QByteArray xml;
    int expectedItems = 0; // items in the video library after loading
};

const QByteArray settingsElement = "    <settings>\n"
                                   "        <server name=\"Bench\"/>\n"
                                   "    </settings>\n";

QByteArray fileName(int i)
{
    return QByteArray("clip") + QByteArray::number(i).rightJustified(6, '0') + ".avi";
}

// count files that exist on disk (as in a real library) in one virtual folder, or at the top
// level of the video library.
Case filesCase(const QString &mediaDir, int count, bool inFolder)
{
    QByteArray xml = "<hearth>\n" + settingsElement + "    <video_tree>\n";
    if (inFolder)
        xml += "        <dir name=\"Films\">\n";
    const QByteArray dir = mediaDir.toUtf8();
    for (int i = 0; i < count; ++i) {
        xml += inFolder ? "            <file name=\"" : "        <file name=\"";
        xml += fileName(i) + "\" path=\"" + dir + '/' + fileName(i) + "\"/>\n";
    }
    if (inFolder)
        xml += "        </dir>\n";
    xml += "    </video_tree>\n    <audio_tree/>\n    <pictures_tree/>\n</hearth>\n";
    const QString where
        = inFolder ? QStringLiteral("in one folder") : QStringLiteral("at top level");
    return { QString::number(count) + QLatin1String(" files ") + where, xml,
        count + (inFolder ? 1 : 0) };
}

// depth unknown elements inside each other, after one ordinary folder.
Case nestedCase(int depth)
{
    QByteArray xml = "<hearth>\n" + settingsElement + "    <video_tree>\n"
        + "        <dir name=\"Films\"/>\n        ";
    for (int i = 0; i < depth; ++i)
        xml += "<x>";
    for (int i = 0; i < depth; ++i)
        xml += "</x>";
    xml += "\n    </video_tree>\n    <audio_tree/>\n    <pictures_tree/>\n</hearth>\n";
    return { QString::number(depth) + QLatin1String(" nested unknown elements"), xml, 1 };
}

int countItems(const QTreeWidgetItem *item)
{
    int count = 0;
    for (int i = 0; i < item->childCount(); ++i)
        count += 1 + countItems(item->child(i));
    return count;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Processor time of this process: on a shared machine it moves less with the load than the
// wall clock does.
double cpuSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Reading the file into the document alone (and freeing it), without the views.
double documentSeconds(const QString &path)
{
    QElapsedTimer timer;
    timer.start();
    {
        const ConfigurationRead read = readConfiguration(path);
        if (!read.problem.isEmpty())
            return -1;
    }
    return timer.nsecsElapsed() / 1e9;
}

double streamReadSeconds(const QString &path)
{
    QElapsedTimer timer;
    timer.start();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    QXmlStreamReader reader(&file);
    while (!reader.atEnd())
        reader.readNext();
    return timer.nsecsElapsed() / 1e9;
}

struct Result
{
    double loadSeconds = 0;
    double cpuSeconds = 0;
    double freeSeconds = 0;
    bool ok = false;
};

Result loadOnce(const QString &path, int expectedItems)
{
    SilentPrompts prompts;
    QList<TreeWidget *> libraries;
    Settings settings(defaultServerName());
    QElapsedTimer timer;
    const double cpuStart = cpuSeconds();
    timer.start();
    loadConfiguration(libraries, settings, path, prompts);
    Result result;
    result.loadSeconds = timer.nsecsElapsed() / 1e9;
    result.cpuSeconds = cpuSeconds() - cpuStart;
    result.ok = libraries.size() == 3 && prompts.messages == 0
        && countItems(libraries.at(0)->invisibleRootItem()) == expectedItems;
    timer.restart();
    qDeleteAll(libraries);
    result.freeSeconds = timer.nsecsElapsed() / 1e9;
    return result;
}

QList<int> numbersOf(const char *text)
{
    QList<int> numbers;
    for (const QByteArray &part : QByteArray(text).split(','))
        numbers.append(part.toInt());
    return numbers;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QList<int> sizes { 10000, 40000, 100000 };
    QList<int> nested { 100000 };
    int topLevel = 100000;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray option = argv[i];
        if (option == "--sizes")
            sizes = numbersOf(argv[i + 1]);
        else if (option == "--nested")
            nested = numbersOf(argv[i + 1]);
        else if (option == "--top-level")
            topLevel = atoi(argv[i + 1]);
        else if (option == "--runs")
            runs = std::max(1, atoi(argv[i + 1]));
    }

    QTemporaryDir temp;
    const QString mediaDir = temp.filePath(QStringLiteral("media"));
    QDir().mkpath(mediaDir);
    int largest = topLevel;
    for (int size : sizes)
        largest = std::max(largest, size);
    for (int i = 0; i < largest; ++i) {
        QFile file(mediaDir + QLatin1Char('/') + QString::fromLatin1(fileName(i)));
        if (!file.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot create %s\n", qPrintable(file.fileName()));
            return 1;
        }
    }

    std::vector<Case> cases;
    for (int size : sizes) {
        if (size > 0)
            cases.push_back(filesCase(mediaDir, size, true));
    }
    if (topLevel > 0)
        cases.push_back(filesCase(mediaDir, topLevel, false));
    for (int depth : nested) {
        if (depth > 0)
            cases.push_back(nestedCase(depth));
    }

    // load: loadConfiguration, wall clock and processor time; document: the part of it that
    // reads the file into the document; stream: a bare QXmlStreamReader pass, the floor;
    // free: deleting the views afterwards.
    std::printf("%-32s %8s %8s %8s %10s %8s %8s %7s\n", "hearth.xml", "size KiB", "load s", "cpu s",
        "document s", "stream s", "free s", "target");
    bool allOk = true;
    for (const Case &c : cases) {
        const QString path = temp.filePath(QStringLiteral("hearth.xml"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(c.xml) != c.xml.size())
            return 1;
        file.close();
        std::vector<double> load, cpu, document, release, read;
        bool ok = true;
        for (int run = 0; run < runs; ++run) {
            const Result result = loadOnce(path, c.expectedItems);
            ok = ok && result.ok;
            load.push_back(result.loadSeconds);
            cpu.push_back(result.cpuSeconds);
            release.push_back(result.freeSeconds);
            document.push_back(documentSeconds(path));
            read.push_back(streamReadSeconds(path));
        }
        allOk = allOk && ok;
        std::printf("%-32s %8lld %8.3f %8.3f %10.3f %8.3f %8.3f %7s%s\n", qPrintable(c.label),
            static_cast<long long>(c.xml.size() / 1024), median(load), median(cpu),
            median(document), median(read), median(release), "< 2 s", ok ? "" : "  WRONG RESULT");
        std::fflush(stdout);
    }
    return allOk ? 0 : 1;
}
