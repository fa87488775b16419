// hearth.xml from arbitrary bytes, read the way start-up reads it (the settings and the three
// library views), then saved and read again: whatever was loaded must survive a save, so the
// second save writes the same bytes as the first.
#include "app/productstrings.h"
#include "app/startup.h"
#include "library/treewidget.h"
#include "library/userprompts.h"
#include "settings/settings.h"

#include <QApplication>
#include <QDomDocument>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QTemporaryDir *dir = nullptr;
UserPrompts *prompts = nullptr;

void require(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_config: %s\n", what);
    std::abort();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Loads path as start-up does and saves the result to savedPath; returns what was written.
QByteArray loadAndSave(const QString &path, const QString &savedPath)
{
    QList<TreeWidget *> libraries;
    Settings settings(defaultServerName());
    loadConfiguration(libraries, settings, path, *prompts);
    saveConfiguration(libraries, settings, savedPath);
    qDeleteAll(libraries);
    return readAll(savedPath);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    // The toolkit would take its own options out of the fuzzer's.
    static int qtArgc = 1;
    static char name[] = "fuzz_config";
    static char *qtArgv[] = { name, nullptr };
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(qtArgc, qtArgv);
    dir = new QTemporaryDir;
    std::atexit([] { delete dir; });
    prompts = new QtUserPrompts;
    return dir->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString input = dir->filePath(QStringLiteral("input.xml"));
    const QString first = dir->filePath(QStringLiteral("first.xml"));
    const QString second = dir->filePath(QStringLiteral("second.xml"));
    QFile file(input);
    require(file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size),
        "cannot write the input file");
    file.close();

    const QByteArray saved = loadAndSave(input, first);
    // Whole XML, or the next start would lose everything after the fault.
    require(!saved.isEmpty() && QDomDocument().setContent(saved), "saved file does not parse");
    require(loadAndSave(first, second) == saved, "saved libraries do not read back the same");
    return 0;
}
