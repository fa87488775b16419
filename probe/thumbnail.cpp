#include "probe/thumbnail.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <list>
#include <memory>
#include <string>
#include <string_view>

namespace {

struct CodecFree
{
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameFree
{
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketFree
{
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct ScaleFree
{
    void operator()(SwsContext *s) const { sws_freeContext(s); }
};
using Codec = std::unique_ptr<AVCodecContext, CodecFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;

// Bounds what one thumbnail may cost: the decoded picture, and the packets read for a frame.
constexpr int64_t maxPixels = 8192 * 8192;
constexpr int maxPackets = 1500;
constexpr int64_t maxPacketBytes = 64 << 20;

// How many halvings a decoder may apply while the picture still holds the thumbnail's pixels:
// a cover of 1200 pixels is decoded at 300, in a third of the time.
int reductionFor(const AVCodec *codec, const AVCodecParameters *parameters)
{
    const int width = parameters->width;
    const int height = parameters->height;
    if (width <= 0 || height <= 0)
        return 0;
    const double scale = std::min({ 1.0, double(thumbnailEdge) / width,
        double(thumbnailEdge) / height });
    const int needWidth = int(std::ceil(width * scale));
    const int needHeight = int(std::ceil(height * scale));
    int halvings = 0;
    while (halvings < codec->max_lowres
        && AV_CEIL_RSHIFT(width, halvings + 1) >= needWidth
        && AV_CEIL_RSHIFT(height, halvings + 1) >= needHeight) {
        ++halvings;
    }
    return halvings;
}

// `reduce`: decode at a smaller size where the codec can and the thumbnail keeps its pixels.
Codec openDecoder(const AVCodecParameters *parameters, bool reduce = false)
{
    const AVCodec *codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec)
        return nullptr;
    Codec context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), parameters) < 0)
        return nullptr;
    if (reduce)
        context->lowres = reductionFor(codec, parameters);
    context->thread_count = 1;
    context->max_pixels = maxPixels;
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return nullptr;
    return context;
}

// The size within the box, from the picture's shape as shown (non-square pixels widened).
void fitSize(const AVFrame *frame, int &width, int &height)
{
    double shownWidth = frame->width;
    const AVRational aspect = frame->sample_aspect_ratio;
    if (aspect.num > 0 && aspect.den > 0)
        shownWidth = frame->width * av_q2d(aspect);
    const double shownHeight = frame->height;
    const double scale = std::min({ 1.0, thumbnailEdge / shownWidth, thumbnailEdge / shownHeight });
    width = std::max(1, std::min(thumbnailEdge, static_cast<int>(shownWidth * scale + 0.5)));
    height = std::max(1, std::min(thumbnailEdge, static_cast<int>(shownHeight * scale + 0.5)));
}

// Turns a small yuvj420p picture a quarter, half or three quarters clockwise.
Frame rotated(const AVFrame *in, int quarters)
{
    Frame out(av_frame_alloc());
    if (!out)
        return nullptr;
    const bool sideways = quarters % 2 == 1;
    out->format = in->format;
    out->width = sideways ? in->height : in->width;
    out->height = sideways ? in->width : in->height;
    if (av_frame_get_buffer(out.get(), 0) < 0)
        return nullptr;
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane == 0 ? in->width : (in->width + 1) / 2;
        const int h = plane == 0 ? in->height : (in->height + 1) / 2;
        const uint8_t *from = in->data[plane];
        uint8_t *to = out->data[plane];
        const int fromStride = in->linesize[plane];
        const int toStride = out->linesize[plane];
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const uint8_t value = from[y * fromStride + x];
                if (quarters == 1)
                    to[x * toStride + (h - 1 - y)] = value;
                else if (quarters == 2)
                    to[(h - 1 - y) * toStride + (w - 1 - x)] = value;
                else
                    to[(w - 1 - x) * toStride + y] = value;
            }
        }
    }
    return out;
}

} // namespace

QByteArray encodeThumbnail(const AVFrame *frame, int quarters)
{
    if (frame->width <= 0 || frame->height <= 0 || frame->format < 0)
        return {};
    int width = 0;
    int height = 0;
    fitSize(frame, width, height);

    std::unique_ptr<SwsContext, ScaleFree> scaler(sws_getContext(frame->width, frame->height,
        static_cast<AVPixelFormat>(frame->format), width, height, AV_PIX_FMT_YUVJ420P,
        SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
    if (!scaler)
        return {};
    if (frame->color_range == AVCOL_RANGE_JPEG) {
        // A full-range source in a format whose name does not say so.
        int *inverse = nullptr, *table = nullptr;
        int sourceRange = 0, targetRange = 0, brightness = 0, contrast = 0, saturation = 0;
        if (sws_getColorspaceDetails(scaler.get(), &inverse, &sourceRange, &table, &targetRange,
                &brightness, &contrast, &saturation)
            >= 0) {
            sws_setColorspaceDetails(
                scaler.get(), inverse, 1, table, targetRange, brightness, contrast, saturation);
        }
    }
    Frame small(av_frame_alloc());
    if (!small)
        return {};
    small->format = AV_PIX_FMT_YUVJ420P;
    small->width = width;
    small->height = height;
    if (av_frame_get_buffer(small.get(), 0) < 0)
        return {};
    if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, small->data,
            small->linesize)
        <= 0) {
        return {};
    }
    quarters = ((quarters % 4) + 4) % 4;
    if (quarters != 0) {
        small = rotated(small.get(), quarters);
        if (!small)
            return {};
    }

    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec)
        return {};
    Codec encoder(avcodec_alloc_context3(codec));
    if (!encoder)
        return {};
    encoder->width = small->width;
    encoder->height = small->height;
    encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
    encoder->color_range = AVCOL_RANGE_JPEG;
    encoder->time_base = AVRational { 1, 25 };
    encoder->thread_count = 1;
    // A fixed quantiser of 3: small files that still look clean at this size.
    encoder->flags |= AV_CODEC_FLAG_QSCALE;
    encoder->global_quality = FF_QP2LAMBDA * 3;
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0)
        return {};
    small->quality = encoder->global_quality;
    small->pts = 0;
    Packet packet(av_packet_alloc());
    if (!packet || avcodec_send_frame(encoder.get(), small.get()) < 0
        || avcodec_send_frame(encoder.get(), nullptr) < 0
        || avcodec_receive_packet(encoder.get(), packet.get()) < 0) {
        return {};
    }
    return QByteArray(reinterpret_cast<const char *>(packet->data), packet->size);
}

namespace {

QByteArray makeCoverThumbnail(const AVStream *stream)
{
    Codec decoder = openDecoder(stream->codecpar, true);
    Frame frame(av_frame_alloc());
    if (!decoder || !frame)
        return {};
    if (avcodec_send_packet(decoder.get(), &stream->attached_pic) < 0)
        return {};
    avcodec_send_packet(decoder.get(), nullptr);
    if (avcodec_receive_frame(decoder.get(), frame.get()) < 0)
        return {};
    return encodeThumbnail(frame.get());
}

// The last few covers and their thumbnails: the tracks of an album mostly carry the same
// picture, and are mostly read one after another.
class RecentCovers
{
public:
    const QByteArray *find(const AVPacket &cover)
    {
        const std::string_view bytes(reinterpret_cast<const char *>(cover.data), size_t(cover.size));
        for (auto it = covers.begin(); it != covers.end(); ++it) {
            if (it->first == bytes) {
                covers.splice(covers.begin(), covers, it);
                return &covers.front().second;
            }
        }
        return nullptr;
    }

    void remember(const AVPacket &cover, const QByteArray &thumbnail)
    {
        if (cover.size > maxCoverBytes)
            return;
        covers.emplace_front(
            std::string(reinterpret_cast<const char *>(cover.data), size_t(cover.size)), thumbnail);
        if (covers.size() > maxCovers)
            covers.pop_back();
    }

private:
    static constexpr size_t maxCovers = 8;
    static constexpr int maxCoverBytes = 4 << 20;
    std::list<std::pair<std::string, QByteArray>> covers;
};

} // namespace

QByteArray coverThumbnail(const AVStream *stream)
{
    if (stream->attached_pic.size <= 0 || !stream->attached_pic.data)
        return {};
    static RecentCovers recent;
    if (const QByteArray *known = recent.find(stream->attached_pic))
        return *known;
    const QByteArray thumbnail = makeCoverThumbnail(stream);
    recent.remember(stream->attached_pic, thumbnail);
    return thumbnail;
}

QByteArray videoThumbnail(
    AVFormatContext *format, const AVStream *stream, const std::function<bool()> &expired)
{
    Codec decoder = openDecoder(stream->codecpar);
    Frame frame(av_frame_alloc());
    Packet packet(av_packet_alloc());
    if (!decoder || !frame || !packet)
        return {};
    // A phone's portrait video is stored sideways with a display matrix that turns it upright.
    int quarters = 0;
    if (const uint8_t *matrix
        = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr)) {
        const double degrees = -av_display_rotation_get(reinterpret_cast<const int32_t *>(matrix));
        if (std::isfinite(degrees))
            quarters = static_cast<int>(std::lround(degrees / 90.0));
    }
    // Past the titles of a film, and still a frame of a short clip.
    if (format->duration > 0 && format->duration != AV_NOPTS_VALUE) {
        const int64_t target = format->duration / 10
            + (format->start_time != AV_NOPTS_VALUE ? format->start_time : 0);
        av_seek_frame(format, -1, target, AVSEEK_FLAG_BACKWARD);
    }
    int64_t bytes = 0;
    bool ended = false;
    for (int packets = 0; packets < maxPackets && bytes < maxPacketBytes; ++packets) {
        if (expired())
            return {};
        if (av_read_frame(format, packet.get()) < 0) {
            ended = true;
            break;
        }
        if (packet->stream_index == stream->index) {
            bytes += packet->size;
            const int sent = avcodec_send_packet(decoder.get(), packet.get());
            av_packet_unref(packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA)
                return {};
            if (avcodec_receive_frame(decoder.get(), frame.get()) >= 0)
                return encodeThumbnail(frame.get(), quarters);
        } else {
            av_packet_unref(packet.get());
        }
    }
    if (!ended)
        return {};
    // A short file: what the decoder still holds.
    avcodec_send_packet(decoder.get(), nullptr);
    if (avcodec_receive_frame(decoder.get(), frame.get()) >= 0)
        return encodeThumbnail(frame.get(), quarters);
    return {};
}
