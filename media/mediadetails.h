#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// One stream of a media file as the probe read it. Codec and profile names are FFmpeg's own
// ("h264", "hevc", "aac", "dts", "subrip"; "High", "Main 10", "LC"), so decisions about what a
// client plays compare against one vocabulary.
struct StreamDetails
{
    enum class Kind { Video, Audio, Subtitle, Other };

    Kind kind = Kind::Other;
    // The stream's index in its container.
    int index = -1;
    QString codec;
    QString profile;
    // As FFmpeg gives it (41 for H.264 level 4.1); -1 when unknown.
    int level = -1;
    // Video: pixels, frames a second, FFmpeg's pixel format name ("yuv420p10le").
    int width = 0;
    int height = 0;
    double frameRate = 0;
    QString pixelFormat;
    // Audio.
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    // Bits a second; 0 when unknown.
    qint64 bitrate = 0;
    // ISO 639-2 ("eng"), empty when untagged.
    QString language;
    QString title;
    bool isDefault = false;
    // Embedded cover art: a picture stream that is not a video.
    bool attachedPicture = false;

    QJsonObject toJson() const;
    static StreamDetails fromJson(const QJsonObject &object);
    bool operator==(const StreamDetails &other) const;
};

// What a media file is, as the probe read it.
struct MediaDetails
{
    // FFmpeg's demuxer name ("mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm", "mp3", "mpegts").
    QString container;
    // -1 when unknown.
    qint64 durationMs = -1;
    // Bits a second over the whole file; 0 when unknown.
    qint64 bitrate = 0;
    QList<StreamDetails> streams;

    // Tags, as the file carries them (trimmed; empty when absent).
    QString title;
    QString artist;
    QString albumArtist;
    QString album;
    QString genre;
    QString composer;
    // The tag's own text ("2019", "2019-04-12").
    QString date;
    // From "3" or "3/12"; 0 when absent.
    int track = 0;
    int disc = 0;

    // Pictures: EXIF DateTimeOriginal as the camera wrote it ("2021:07:14 18:02:33"), and the
    // EXIF orientation (1 to 8; 0 when absent).
    QString taken;
    int orientation = 0;

    // A JPEG within 160 by 160 pixels: the embedded cover art, else a frame of a video.
    QByteArray thumbnail;

    // The first stream of that kind (cover art is no video), or nullptr.
    const StreamDetails *firstStream(StreamDetails::Kind kind) const;

    QJsonObject toJson() const;
    static MediaDetails fromJson(const QJsonObject &object);
    bool operator==(const MediaDetails &other) const;
};
