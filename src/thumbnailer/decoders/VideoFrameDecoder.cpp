#include "decoders/VideoFrameDecoder.hpp"

#include <QTransform>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <iconv.h>
#include <memory>

namespace brightfold {

namespace {

constexpr double kFrameSeconds = 1.0;  // how far in the thumbnail frame lies
constexpr int kMaxPacketsRead = 20'000; // after the seek, all streams together
constexpr int kMaxFramesDecoded = 600;  // after the seek: ~20 s of 30 fps video

struct FormatClose {
    void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct CodecFree {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct ScaleFree {
    void operator()(SwsContext* scale) const { sws_freeContext(scale); }
};

/// Quarter turns counter-clockwise that the display matrix asks for (0...3).
int quarterTurns(const AVStream* stream)
{
    const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
    if (matrix == nullptr)
        return 0;
    const double degrees = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    if (std::isnan(degrees))
        return 0;
    return static_cast<int>(((std::lround(degrees / 90.0) % 4) + 4) % 4);
}

/// Decodes from the current read position until a frame reaches `targetPts`,
/// the budget runs out or the stream ends; the last frame decoded, if any.
std::unique_ptr<AVFrame, FrameFree> frameNear(AVFormatContext* format, AVCodecContext* codec, int streamIndex, int64_t targetPts)
{
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVFrame, FrameFree> best(av_frame_alloc());
    if (!packet || !frame || !best)
        return nullptr;
    bool haveFrame = false;
    int framesDecoded = 0;
    bool draining = false;
    for (int packets = 0; packets < kMaxPacketsRead; ++packets) {
        if (!draining) {
            if (av_read_frame(format, packet.get()) < 0) {
                draining = true;
                avcodec_send_packet(codec, nullptr);
            } else {
                const bool ours = packet->stream_index == streamIndex;
                const int sent = ours ? avcodec_send_packet(codec, packet.get()) : 0;
                av_packet_unref(packet.get());
                if (sent < 0 && sent != AVERROR(EAGAIN))
                    continue; // a damaged packet; later ones may decode
            }
        }
        int received = 0;
        while ((received = avcodec_receive_frame(codec, frame.get())) == 0) {
            av_frame_unref(best.get());
            av_frame_move_ref(best.get(), frame.get());
            haveFrame = true;
            ++framesDecoded;
            const int64_t pts = best->best_effort_timestamp;
            if ((pts != AV_NOPTS_VALUE && pts >= targetPts) || framesDecoded >= kMaxFramesDecoded)
                return best;
        }
        if (draining && received != AVERROR(EAGAIN))
            break;
    }
    return haveFrame ? std::move(best) : nullptr;
}

std::optional<QImage> toImage(const AVFrame& frame, QSize bound)
{
    if (frame.width <= 0 || frame.height <= 0)
        return std::nullopt;
    // Anamorphic video: shown at width × sample aspect ratio.
    QSize display(frame.width, frame.height);
    if (frame.sample_aspect_ratio.num > 0 && frame.sample_aspect_ratio.den > 0)
        display.setWidth(static_cast<int>(std::clamp<int64_t>(
            av_rescale(frame.width, frame.sample_aspect_ratio.num, frame.sample_aspect_ratio.den), 1, 16384)));
    const QSize size = display.scaled(bound, Qt::KeepAspectRatio).boundedTo(display).expandedTo(QSize(1, 1));
    std::unique_ptr<SwsContext, ScaleFree> scale(sws_getContext(frame.width, frame.height,
        static_cast<AVPixelFormat>(frame.format), size.width(), size.height(), AV_PIX_FMT_RGBA, SWS_AREA,
        nullptr, nullptr, nullptr));
    if (!scale)
        return std::nullopt;
    QImage image(size, QImage::Format_RGBA8888);
    if (image.isNull())
        return std::nullopt;
    uint8_t* planes[4] = { image.bits(), nullptr, nullptr, nullptr };
    int strides[4] = { static_cast<int>(image.bytesPerLine()), 0, 0, 0 };
    if (sws_scale(scale.get(), frame.data, frame.linesize, 0, frame.height, planes, strides) <= 0)
        return std::nullopt;
    return image;
}

}

VideoFrameDecoder::VideoFrameDecoder()
{
    av_log_set_level(AV_LOG_QUIET);
}

void VideoFrameDecoder::prepare()
{
    // Transport streams name their services in DVB character sets, which FFmpeg
    // converts with iconv; its converter modules load on first use, which the
    // confined worker may not do. The usual one is loaded now and kept.
    static const iconv_t converter = iconv_open("UTF-8", "ISO6937");
    (void)converter;
}

bool VideoFrameDecoder::reads(const QString& ext) const
{
    static const QStringList kExtensions { "mp4", "mov", "m4v", "3gp", "avi", "psd", "ts", "mts", "mpg", "mkv", "webm", "wmv", "flv", "ogv" };
    return kExtensions.contains(ext);
}

std::optional<QImage> VideoFrameDecoder::decode(const QString& path, QSize target)
{
    AVFormatContext* rawFormat = nullptr;
    if (avformat_open_input(&rawFormat, path.toLocal8Bit().constData(), nullptr, nullptr) < 0)
        return std::nullopt;
    std::unique_ptr<AVFormatContext, FormatClose> format(rawFormat);
    if (avformat_find_stream_info(format.get(), nullptr) < 0)
        return std::nullopt;
    const AVCodec* decoder = nullptr;
    const int streamIndex = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (streamIndex < 0 || decoder == nullptr)
        return std::nullopt;
    AVStream* stream = format->streams[streamIndex];

    std::unique_ptr<AVCodecContext, CodecFree> codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0)
        return std::nullopt;
    codec->thread_count = 1; // the CPU-time limit counts every thread
    if (avcodec_open2(codec.get(), decoder, nullptr) < 0)
        return std::nullopt;

    double seconds = kFrameSeconds;
    if (format->duration > 0)
        seconds = std::min(seconds, static_cast<double>(format->duration) / AV_TIME_BASE / 2);
    const int64_t origin = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    const int64_t targetPts = origin + av_rescale_q(static_cast<int64_t>(seconds * AV_TIME_BASE), AVRational { 1, AV_TIME_BASE }, stream->time_base);
    // Back to the key frame before the moment; a file that cannot seek is read from its start.
    if (av_seek_frame(format.get(), streamIndex, targetPts, AVSEEK_FLAG_BACKWARD) >= 0)
        avcodec_flush_buffers(codec.get());

    auto frame = frameNear(format.get(), codec.get(), streamIndex, targetPts);
    if (!frame && av_seek_frame(format.get(), -1, 0, AVSEEK_FLAG_BYTE) >= 0) {
        // A seek by time in a stream without an index (MPEG program and transport
        // streams) may land where no picture decodes: the first one, then.
        avcodec_flush_buffers(codec.get());
        frame = frameNear(format.get(), codec.get(), streamIndex, origin);
    }
    if (!frame)
        return std::nullopt;
    const int turns = quarterTurns(stream);
    QSize bound = target;
    if (turns % 2 == 1)
        bound.transpose();
    auto image = toImage(*frame, bound);
    if (!image || turns == 0)
        return image;
    // Counter-clockwise in the matrix; Qt turns clockwise for positive angles.
    return image->transformed(QTransform().rotate(-90.0 * turns));
}

}
