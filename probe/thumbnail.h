#pragma once

#include <QByteArray>

#include <functional>

struct AVFormatContext;
struct AVFrame;
struct AVStream;

// The edge of the box a thumbnail fits in.
constexpr int thumbnailEdge = 160;

// A JPEG within 160 by 160 pixels from a decoded picture (aspect kept, never enlarged), turned
// `quarters` quarter turns clockwise, made with FFmpeg's own encoder; empty when it cannot be made.
QByteArray encodeThumbnail(const AVFrame *frame, int quarters = 0);

// The embedded cover art of `stream` (its attached picture), decoded and made a thumbnail.
QByteArray coverThumbnail(const AVStream *stream);

// A frame from about a tenth of the way into the video `stream`. Reads at most a bounded
// number of packets; `expired` is asked between them.
QByteArray videoThumbnail(
    AVFormatContext *format, const AVStream *stream, const std::function<bool()> &expired);
