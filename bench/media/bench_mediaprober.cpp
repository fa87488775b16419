// Reads every file of a folder through MediaProber and prints how long it took.
//   bench_mediaprober WORKER FOLDER [WORKERS]
#include "media/mediaprober.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;
    MediaProber prober;
    prober.setWorkerProgram(args.at(1));
    if (args.size() > 3)
        prober.setWorkerCount(args.at(3).toInt());
    const QDir folder(args.at(2));
    const QStringList names = folder.entryList(QDir::Files, QDir::Name);
    int left = int(names.size());
    int read = 0;
    QElapsedTimer clock;
    QObject::connect(&prober, &MediaProber::probed, &app,
        [&](const QString &, const MediaDetails &d, MediaProber::Outcome o) {
            read += o == MediaProber::Outcome::Read && !d.title.isEmpty() ? 1 : 0;
            if (--left == 0)
                app.quit();
        });
    clock.start();
    for (const QString &name : names)
        prober.probe(folder.filePath(name));
    if (left > 0)
        app.exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    QTextStream(stdout) << names.size() << " files (" << read << " with a title) in " << seconds
                        << " s: " << names.size() / seconds << " files/s\n";
    return 0;
}
