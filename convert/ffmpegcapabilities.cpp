#include "convert/ffmpegcapabilities.h"

#include <QPointer>
#include <QProcess>
#include <QTimer>

#include <memory>

namespace FfmpegCapabilities {

namespace {

// Encoders: the lines after the legend's "------", each " V....D name  description".
QSet<QByteArray> encodersListed(const QByteArray &listing)
{
    QSet<QByteArray> names;
    bool listed = false;
    for (const QByteArray &line : listing.split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (!listed) {
            listed = words.value(0).startsWith("------");
            continue;
        }
        if (words.size() >= 2)
            names.insert(words.at(1));
    }
    return names;
}

// Filters: " ... name  V->V  description" (the legend's lines have no arrow).
bool hasFilter(const QByteArray &listing, QByteArrayView name)
{
    for (const QByteArray &line : listing.split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() >= 3 && words.at(1) == name && words.at(2).contains("->"))
            return true;
    }
    return false;
}

void run(const QString &program, const QString &what, QObject *context,
    std::function<void(QByteArray)> done)
{
    auto *process = new QProcess(context);
    auto finished = std::make_shared<bool>(false);
    const auto finish = [process, finished, done](QByteArray output) {
        if (*finished)
            return;
        *finished = true;
        process->disconnect();
        process->kill();
        process->deleteLater();
        done(output);
    };
    QObject::connect(process, &QProcess::finished, process,
        [process, finish] { finish(process->readAllStandardOutput()); });
    QObject::connect(
        process, &QProcess::errorOccurred, process, [finish](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart)
                finish({});
        });
    QTimer::singleShot(5000, process, [finish] { finish({}); });
    process->setStandardInputFile(QProcess::nullDevice());
    process->start(program, { QStringLiteral("-hide_banner"), what });
}

} // namespace

DecisionOptions fromListings(const QByteArray &encoders, const QByteArray &filters)
{
    DecisionOptions options;
    const QSet<QByteArray> found = encodersListed(encoders);
    // No listing: no ffmpeg that runs, so nothing is offered converted.
    options.converter = !found.isEmpty();
    if (!found.isEmpty())
        options.encoders = found;
    options.canBurnSubtitles = hasFilter(filters, "subtitles");
    return options;
}

void ask(const QString &program, QObject *context, std::function<void(DecisionOptions)> done)
{
    if (program.isEmpty()) {
        QTimer::singleShot(0, context, [done] { done(fromListings({}, {})); });
        return;
    }
    QPointer<QObject> guard(context);
    run(program, QStringLiteral("-encoders"), context,
        [program, context, guard, done](const QByteArray &encoders) {
            if (!guard)
                return;
            run(program, QStringLiteral("-filters"), context,
                [encoders, guard, done](const QByteArray &filters) {
                    if (guard)
                        done(fromListings(encoders, filters));
                });
        });
}

} // namespace FfmpegCapabilities
