#include "app/startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Names the per-user configuration directory used when the program's own is read-only.
    QCoreApplication::setApplicationName(QStringLiteral("hearth"));

    HearthOptions options;
    options.applicationDir = QCoreApplication::applicationDirPath();
    return runHearth(options);
}
