#pragma once

#include <QByteArray>
#include <QString>

// Thumbnails are made this many pixels square: the bound of DLNA's JPEG_TN profile.
constexpr int thumbnailSide = 160;

// How a file is described to DLNA clients: MIME type (with the spellings TVs expect) and
// the DLNA fourth field of protocolInfo (which is also the contentFeatures.dlna.org header).
struct MediaFormat
{
    QByteArray mimeType;
    // "Streaming" for video and audio, "Interactive" for pictures.
    QByteArray transferMode;
    QByteArray features;

    // From the file name's extension; `mediaType` (1 video, 2 audio, 3 pictures) picks the
    // transfer mode and the type of an unknown extension.
    static MediaFormat forFile(const QString &fileName, int mediaType);
    // A picture converted by this server, as a JPEG of the DLNA profile named (JPEG_SM...).
    static MediaFormat convertedPicture(const char *profile);
    // The same format, said to meet the DLNA profile named.
    MediaFormat named(const char *profile) const;

    QByteArray protocolInfo() const { return "http-get:*:" + mimeType + ':' + features; }
};

// A length as res@duration is written: "H:MM:SS.mmm".
QByteArray durationText(qint64 ms);

// One byte range of a body of `size` bytes, as a Range header asks for it.
struct ByteRange
{
    enum Kind { Whole, Partial, Unsatisfiable };
    Kind kind = Whole;
    qint64 first = 0;
    qint64 length = 0;

    // Understands "bytes=a-b", "bytes=a-" and "bytes=-n"; anything else (several ranges,
    // other units, garbage) is answered with the whole body, as HTTP allows.
    static ByteRange parse(const QByteArray &header, qint64 size);
};
