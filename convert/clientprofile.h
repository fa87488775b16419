#pragma once

#include "media/mediadetails.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

// What one kind of client plays, how it is recognised and what it wants made of the rest, as
// read from its profile file (resources/profiles/*.json). Codec, profile and pixel format
// names are FFmpeg's, so they compare directly with what the probe read; containers are the
// short words of `containerWord` ("mkv", "mp4", "mpegts").
struct ClientProfile
{
    // One video codec as the client plays it; the stream must meet every limit given (0 or
    // empty: no limit). Several entries of one codec may differ by container.
    struct Video
    {
        QString codec;
        QStringList profiles;
        int maxLevel = 0;
        int maxWidth = 0;
        int maxHeight = 0;
        double maxFrameRate = 0;
        qint64 maxBitrate = 0;
        int maxBitDepth = 0;
        QStringList pixelFormats;
        QStringList containers;
    };
    struct Audio
    {
        QString codec;
        QStringList profiles;
        int maxChannels = 0;
        int maxSampleRate = 0;
        QList<int> sampleRates;
        qint64 maxBitrate = 0;
        QStringList containers;
    };
    // How the client asks for a place in a stream (DLNA.ORG_OP of the original).
    enum class Seek { Bytes, Time, Both };
    // One header pattern (case-insensitive regular expression) or a device description's pair.
    struct Device
    {
        QRegularExpression manufacturer;
        QRegularExpression model;
    };

    // The file's base name; "generic" is the fallback, "everything" plays all as it is.
    QString id;
    QString name;
    bool playsEverything = false;

    QList<QRegularExpression> userAgent;
    QList<QRegularExpression> clientInfo;
    QList<QRegularExpression> friendlyName;
    QList<Device> devices;

    QStringList containers;
    QList<Video> video;
    QList<Audio> audio;
    // Subtitle files beside the video it shows (extensions), and subtitle streams it shows
    // inside the containers it plays (FFmpeg codec names).
    QStringList externalSubtitles;
    QStringList embeddedSubtitles;

    // MIME type spellings it wants, by container word.
    QHash<QString, QByteArray> mimeTypes;
    Seek seek = Seek::Both;
    bool wantsDlnaProfile = true;

    // What the unplayable is made into, in order of preference: container words ("mpegts",
    // "mp4", "mkv"), video codecs ("h264", "mpeg2video"), audio codecs for a video ("ac3",
    // "aac", "mp3") and for an audio file ("mp3", "aac", "lpcm", "flac").
    QStringList convertContainers;
    QStringList convertVideo;
    QStringList convertAudio;
    QStringList convertAudioOnly;
    int convertMaxWidth = 0;
    int convertMaxHeight = 0;
    qint64 convertVideoBitrate = 0;

    bool playsContainer(const QString &word) const { return containers.contains(word); }
    // The entry that plays the stream in that container, or nullptr.
    const Video *videoEntry(
        const StreamDetails &stream, const QString &container, qint64 fileBitrate) const;
    const Audio *audioEntry(const StreamDetails &stream, const QString &container) const;

    // Reads one profile file's JSON (whole-line `//` comments allowed). On failure returns
    // false and says why in `error`; `profile` is then unspecified.
    static bool parse(
        const QByteArray &text, const QString &id, ClientProfile &profile, QString &error);
};

// The short word the profiles use for a file's container: FFmpeg's demuxer name told apart by
// the file's extension where one demuxer reads several ("mov" and "mp4", "mkv" and "webm",
// "mpegts" and "m2ts"). Empty when unknown.
QString containerWord(const QString &demuxer, const QString &fileName);
