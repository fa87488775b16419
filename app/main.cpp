#include "app/startup.h"

#include <QApplication>

#include <cstdio>

namespace {

// The program writes no diagnostics: the toolkit's own debug notes and warnings (an unset
// runtime directory, a platform plugin's limits) would only clutter a terminal or a journal.
// Critical and fatal messages still go through.
void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(quietMessages);
    QApplication app(argc, argv);
    // Names the per-user configuration directory used when the program's own is read-only.
    QCoreApplication::setApplicationName(QStringLiteral("hearth"));

    HearthOptions options;
    options.applicationDir = QCoreApplication::applicationDirPath();
    return runHearth(options);
}
