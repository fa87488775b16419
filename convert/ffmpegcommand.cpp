#include "convert/ffmpegcommand.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

QString seconds(double value)
{
    return QString::number(value, 'f', 3);
}

// Backslashes every character a parser level treats specially, and blanks (trimmed at the
// ends otherwise). Letters, digits and what paths are made of pass as they are; escaping more
// than needed is harmless, as "\x" reads as "x".
QString escaped(const QString &text)
{
    QString out;
    out.reserve(text.size() * 2);
    for (const QChar c : text) {
        const bool plain = c.unicode() >= 0x80 || c.isLetterOrNumber() || c == QLatin1Char('/')
            || c == QLatin1Char('.') || c == QLatin1Char('_') || c == QLatin1Char('-');
        if (!plain)
            out += QLatin1Char('\\');
        out += c;
    }
    return out;
}

QString videoFilters(const ConversionPlan &plan, const QString &input)
{
    QStringList filters;
    if (plan.maxWidth > 0 || plan.maxHeight > 0) {
        // Within the bounds, the picture's shape kept, sizes even as encoders want them.
        const int width = plan.maxWidth > 0 ? plan.maxWidth : 16384;
        const int height = plan.maxHeight > 0 ? plan.maxHeight : 16384;
        filters << QStringLiteral("scale=w=%1:h=%2:force_original_aspect_ratio=decrease:"
                                  "force_divisible_by=2")
                       .arg(width)
                       .arg(height);
    }
    if (!plan.subtitleFile.isEmpty()) {
        filters << QStringLiteral("subtitles=filename=")
                + FfmpegCommand::filterValue(QStringLiteral("file:") + plan.subtitleFile);
    } else if (plan.subtitleStream >= 0) {
        // The filter opens the input again by name and counts subtitle streams only.
        filters << QStringLiteral("subtitles=filename=")
                + FfmpegCommand::filterValue(QStringLiteral("file:") + input)
                + QStringLiteral(":si=") + QString::number(plan.subtitleStream);
    }
    return filters.join(QLatin1Char(','));
}

} // namespace

namespace FfmpegCommand {

QString filterValue(const QString &text)
{
    // Once for the filter's options (':' parts them, quotes and backslashes), once more for
    // the graph ('[', ']', ',', ';' and the same quotes and backslashes).
    return escaped(escaped(text));
}

QStringList arguments(
    const ConversionPlan &plan, const QString &input, const Span &span, const QString &output)
{
    QStringList args { QStringLiteral("-nostdin"), QStringLiteral("-hide_banner"),
        QStringLiteral("-loglevel"), QStringLiteral("error") };
    // Before the input: ffmpeg seeks in the file rather than decoding up to the time.
    if (span.start > 0)
        args << QStringLiteral("-ss") << seconds(span.start);
    // Local files only: a container that names others (a playlist) reaches no network.
    args << QStringLiteral("-protocol_whitelist") << QStringLiteral("file");
    args << QStringLiteral("-i") << QStringLiteral("file:") + input;
    if (span.end >= 0 && span.end > span.start)
        args << QStringLiteral("-t") << seconds(span.end - span.start);

    if (plan.videoStream >= 0)
        args << QStringLiteral("-map") << QStringLiteral("0:") + QString::number(plan.videoStream);
    if (plan.audioStream >= 0)
        args << QStringLiteral("-map") << QStringLiteral("0:") + QString::number(plan.audioStream);
    if (plan.videoStream < 0 && plan.audioStream < 0) {
        // No stream named: the first of each kind there is.
        args << QStringLiteral("-map") << QStringLiteral("0:v:0?") << QStringLiteral("-map")
             << QStringLiteral("0:a:0?");
    }

    const QString videoCodec
        = QString::fromLatin1(plan.videoCodec.isEmpty() ? "copy" : plan.videoCodec);
    args << QStringLiteral("-c:v") << videoCodec;
    if (videoCodec != QLatin1String("copy")) {
        if (videoCodec == QLatin1String("libx264")) {
            // Speed first: the client is waiting, and the picture must keep ahead of playback.
            args << QStringLiteral("-preset") << QStringLiteral("veryfast")
                 << QStringLiteral("-tune") << QStringLiteral("zerolatency");
        }
        if (plan.videoBitrate > 0) {
            args << QStringLiteral("-b:v") << QString::number(plan.videoBitrate)
                 << QStringLiteral("-maxrate") << QString::number(plan.videoBitrate)
                 << QStringLiteral("-bufsize") << QString::number(plan.videoBitrate * 2);
        } else if (videoCodec == QLatin1String("mpeg2video")) {
            // Its default rate (200 kb/s) is far too low for a film.
            args << QStringLiteral("-q:v") << QStringLiteral("3");
        }
        // 4:2:0 8-bit: what every decoder of these profiles takes (a 10-bit source included).
        args << QStringLiteral("-pix_fmt") << QStringLiteral("yuv420p");
        const QString filters = videoFilters(plan, input);
        if (!filters.isEmpty())
            args << QStringLiteral("-vf") << filters;
    }

    const QString audioCodec
        = QString::fromLatin1(plan.audioCodec.isEmpty() ? "copy" : plan.audioCodec);
    args << QStringLiteral("-c:a") << audioCodec;
    if (audioCodec != QLatin1String("copy")) {
        if (plan.audioBitrate > 0)
            args << QStringLiteral("-b:a") << QString::number(plan.audioBitrate);
        if (plan.audioChannels > 0)
            args << QStringLiteral("-ac") << QString::number(plan.audioChannels);
    }
    // A remux may meet packets before the streams all have their first: room to wait.
    args << QStringLiteral("-max_muxing_queue_size") << QStringLiteral("1024");

    const QString container
        = QString::fromLatin1(plan.container.isEmpty() ? "mpegts" : plan.container);
    args << QStringLiteral("-f") << container;
    if (container == QLatin1String("mp4")) {
        // An MP4 to a pipe cannot go back to write its index: fragments, each with its own;
        // the first index waits for the first packets (AC-3 needs them to be described).
        args << QStringLiteral("-movflags")
             << QStringLiteral("frag_keyframe+empty_moov+delay_moov+default_base_moof");
    }
    args << output;
    return args;
}

QString program()
{
#ifdef Q_OS_WIN
    const QString beside
        = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("ffmpeg.exe"));
    return QFileInfo(beside).isFile() ? beside : QString();
#else
    return QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
#endif
}

} // namespace FfmpegCommand
