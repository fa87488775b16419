#pragma once

#include <QByteArray>
#include <QString>

// What is done to a media file so that one client can play it: the least work that does it.
// Made by the decision (what the client's profile plays against what the file is) and carried
// out by a conversion (an ffmpeg process). Codec and container words are ffmpeg's own.
struct ConversionPlan
{
    enum class Kind {
        // The file as it is: no conversion.
        Original,
        // Streams copied into another container.
        Remux,
        // Video copied, audio converted.
        AudioOnly,
        // Audio copied, video converted.
        VideoOnly,
        // Both converted.
        Full,
    };

    Kind kind = Kind::Original;
    // ffmpeg's muxer ("mpegts", "mp4", "matroska"); empty for Original.
    QByteArray container;
    // "copy" or an encoder ("libx264", "mpeg2video"; "ac3", "aac", "mp3").
    QByteArray videoCodec = "copy";
    QByteArray audioCodec = "copy";
    // The stream indexes to take (FFmpeg's index in the container); -1: none of that kind.
    int videoStream = -1;
    int audioStream = -1;
    // Limits for a converted video (0: keep); bits a second for converted streams (0: the
    // encoder's default for the size).
    int maxWidth = 0;
    int maxHeight = 0;
    qint64 videoBitrate = 0;
    qint64 audioBitrate = 0;
    int audioChannels = 0;
    // A converted audio stream's sample rate (0: keep).
    int audioSampleRate = 0;
    // A converted video's encoder profile and level ("high", 41 for 4.1; empty and 0: the
    // encoder's default) and pixel format ("yuv420p": most clients decode 8-bit 4:2:0 only).
    QByteArray videoProfile;
    int videoLevel = 0;
    QByteArray pixelFormat;
    // A subtitle burnt into the picture (needs the video converted): a file beside the video,
    // or a stream of the file (-1: none).
    QString subtitleFile;
    int subtitleStream = -1;
    // What the client is told the result is.
    QByteArray mimeType;
    // DLNA.ORG_PN of the result; empty when none fits.
    QByteArray dlnaProfile;
    // The extension the URL of the converted resource ends in ("ts", "mp4").
    QByteArray extension;

    bool isConversion() const { return kind != Kind::Original; }
};
