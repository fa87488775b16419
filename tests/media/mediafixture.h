#pragma once

#include <QDir>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

// The media the tests read, made by make_media.py with Debian's ffmpeg: into `dir` at test
// time, or (the Windows build under Wine, which has no Debian ffmpeg) in the folder that
// HEARTH_TEST_MEDIA names, made before the test by CTest on the Linux side.
inline QString makeTestMedia(const QTemporaryDir &dir)
{
    QString made = qEnvironmentVariable("HEARTH_TEST_MEDIA");
    if (!made.isEmpty()) {
#ifdef Q_OS_WIN
        // A Linux path: Wine's drive Z: is the Linux root.
        if (made.startsWith(QLatin1Char('/')))
            made.prepend(QLatin1String("Z:"));
#endif
        return made;
    }
    const QString folder = dir.filePath(QStringLiteral("media"));
    QProcess maker;
    maker.setProcessChannelMode(QProcess::ForwardedChannels);
    maker.start(QStringLiteral("python3"), { QStringLiteral(HEARTH_MAKE_MEDIA), folder });
    if (!maker.waitForFinished(180000) || maker.exitStatus() != QProcess::NormalExit
        || maker.exitCode() != 0) {
        return QString();
    }
    return folder;
}
