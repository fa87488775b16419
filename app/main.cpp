#include "app/commandline.h"
#include "app/startup.h"

#include <QApplication>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {

// The program writes no diagnostics: the toolkit's own debug notes and warnings (an unset
// runtime directory, a platform plugin's limits) would only clutter a terminal or a journal.
// Critical and fatal messages still go through.
void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
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

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    // Read before the application object, which needs a display unless told otherwise.
    const CommandLine commandLine = parseCommandLine(arguments);
    if (commandLine.action != CommandLine::Run) {
        std::FILE *out = commandLine.action == CommandLine::Refuse ? stderr : stdout;
        std::fputs(commandLine.text.toLocal8Bit().constData(), out);
        return commandLine.exitCode();
    }

    qInstallMessageHandler(quietMessages);
    raiseDescriptorLimit();
    QApplication app(argc, argv);
    // Names the per-user configuration directory used when the program's own is read-only.
    QCoreApplication::setApplicationName(QStringLiteral("hearth"));

    HearthOptions options;
    options.applicationDir = QCoreApplication::applicationDirPath();
    return runHearth(options);
}
