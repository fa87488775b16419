#include "app/commandline.h"
#include "app/startup.h"

#include <QApplication>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif
#ifdef Q_OS_WIN
#include "app/quitsignals.h"
#include "settings/configplace_win.h"
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// Our own categories (hearth.net, hearth.library, ...) speak as their rules allow: warnings a
// user should see, and with --verbose a line per request. The toolkit's own notes (an unset
// runtime directory, a platform plugin's limits) would only clutter a terminal or a journal;
// only its critical and fatal messages go through.
void quietMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const bool ours = context.category && std::strncmp(context.category, "hearth.", 7) == 0;
    if (ours)
        std::fprintf(stderr, "%s: %s\n", context.category, qPrintable(message));
    else if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// Every player holds a descriptor for its connection and one for the file it plays; the soft
// limit (often 1024) is far below what the system allows a process.
void raiseDescriptorLimit()
{
#ifdef Q_OS_UNIX
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
}

// A listing of a large folder allocates and frees a few megabytes at a time. By default the
// allocator maps such blocks afresh and hands freed memory back at once, so every listing
// paid again for page faults on memory it had just let go (about a tenth of a 10,000-file
// LIST). Blocks up to 4 MiB now come from the heap, and up to 32 MiB of free heap is kept.
void keepListingMemory()
{
#ifdef __GLIBC__
    ::mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    ::mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024);
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    // Read before the application object, which needs a display unless told otherwise.
    const CommandLine commandLine = parseCommandLine(arguments);
#ifdef Q_OS_WIN
    // A run without windows is controlled from its console; --help and --version answer there.
    const qsizetype platform = std::max(arguments.indexOf(QLatin1String("-platform")),
        arguments.indexOf(QLatin1String("--platform")));
    const bool headless
        = platform > 0 && !arguments.value(platform + 1).startsWith(QLatin1String("windows"));
    if (headless || commandLine.action != CommandLine::Run)
        QuitSignals::attachParentConsole();
#endif
    if (commandLine.action != CommandLine::Run) {
        std::FILE *out = commandLine.action == CommandLine::Refuse ? stderr : stdout;
        std::fputs(commandLine.text.toLocal8Bit().constData(), out);
        return commandLine.exitCode();
    }

    qInstallMessageHandler(quietMessages);
    // QT_LOGGING_RULES, read later, still has the last word.
    if (commandLine.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("hearth.*.info=true"));
    raiseDescriptorLimit();
    keepListingMemory();
    QApplication app(argc, argv);
    // Names the per-user configuration directory used when the program's own is read-only.
    QCoreApplication::setApplicationName(QStringLiteral("hearth"));

    HearthOptions options;
    options.applicationDir = QCoreApplication::applicationDirPath();
#ifdef Q_OS_WIN
    options.installedDir = windowsInstalledDir(options.applicationDir);
#else
    options.installedDir = QStringLiteral(HEARTH_INSTALL_BINDIR);
#endif
    if (!commandLine.configFile.isEmpty())
        options.configFile = QFileInfo(commandLine.configFile).absoluteFilePath();
    return runHearth(options);
}
