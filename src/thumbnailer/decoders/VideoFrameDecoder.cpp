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
#include <cstring>
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
struct IoFree {
    void operator()(AVIOContext* io) const
    {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};

constexpr int kIoBufferBytes = 64 * 1024;

/// The handed bytes as FFmpeg's input: reads and seeks within the buffer.
struct MemoryReader {
    const uint8_t* data { nullptr };
    int64_t size { 0 };
    int64_t position { 0 };

    static int read(void* opaque, uint8_t* out, int count)
    {
        auto* self = static_cast<MemoryReader*>(opaque);
        const int64_t left = self->size - self->position;
        if (left <= 0)
            return AVERROR_EOF;
        const int64_t n = std::min<int64_t>(count, left);
        std::memcpy(out, self->data + self->position, static_cast<size_t>(n));
        self->position += n;
        return static_cast<int>(n);
    }

    static int64_t seek(void* opaque, int64_t offset, int whence)
    {
        auto* self = static_cast<MemoryReader*>(opaque);
        int64_t base = 0;
        switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE: return self->size;
        case SEEK_SET: base = 0; break;
        case SEEK_CUR: base = self->position; break;
        case SEEK_END: base = self->size; break;
        default: return AVERROR(EINVAL);
        }
        if (offset < -base || offset > self->size - base)
            return AVERROR(EINVAL);
        self->position = base + offset;
        return self->position;
    }
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

enum class FrameWanted {
    firstDecoded, // the first frame the decoder gives (a key frame, when the rest are skipped)
    nearTarget,   // the first frame at or past the target moment
};

/// Decodes from the current read position until the wanted frame comes, the
/// budget runs out or the stream ends; the last frame decoded, if any.
std::unique_ptr<AVFrame, FrameFree> decodeFrame(AVFormatContext* format, AVCodecContext* codec, int streamIndex,
    int64_t targetPts, FrameWanted wanted)
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
            if (wanted == FrameWanted::firstDecoded || (pts != AV_NOPTS_VALUE && pts >= targetPts)
                || framesDecoded >= kMaxFramesDecoded)
                return best;
        }
        if (draining && received != AVERROR(EAGAIN))
            break;
    }
    return haveFrame ? std::move(best) : nullptr;
}

using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;

/// A decoder for `stream`, single-threaded: the worker's CPU-time limit counts
/// every thread, and several workers already share the cores.
CodecPtr openedDecoder(const AVStream* stream, AVDiscard skip)
{
    const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (decoder == nullptr)
        return nullptr;
    CodecPtr codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0)
        return nullptr;
    codec->thread_count = 1;
    codec->skip_frame = skip;
    if (avcodec_open2(codec.get(), decoder, nullptr) < 0)
        return nullptr;
    return codec;
}

/// The picture a container keeps as its cover (an attached picture stream),
/// when it is large enough to serve.
std::unique_ptr<AVFrame, FrameFree> coverArt(AVFormatContext* format, const DecodeTarget& target)
{
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        if (!(stream->disposition & AV_DISPOSITION_ATTACHED_PIC) || stream->attached_pic.size <= 0)
            continue;
        CodecPtr codec = openedDecoder(stream, AVDISCARD_DEFAULT);
        std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
        if (!codec || !frame || avcodec_send_packet(codec.get(), &stream->attached_pic) < 0)
            continue;
        avcodec_send_packet(codec.get(), nullptr);
        if (avcodec_receive_frame(codec.get(), frame.get()) == 0 && servesAsPreview(QSize(frame->width, frame->height), target))
            return frame;
    }
    return nullptr;
}

/// Whether every pixel of `image` is all but black.
bool isNearlyBlack(const QImage& image)
{
    constexpr int kDarkest = 24; // of 255, in every channel
    const QImage sample = image.scaled(16, 16, Qt::IgnoreAspectRatio, Qt::FastTransformation).convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < sample.height(); ++y) {
        for (int x = 0; x < sample.width(); ++x) {
            const QRgb pixel = sample.pixel(x, y);
            if (qRed(pixel) > kDarkest || qGreen(pixel) > kDarkest || qBlue(pixel) > kDarkest)
                return false;
        }
    }
    return true;
}

/// Whether the container's header already says enough to decode its video
/// without probing frames first (MP4, MOV and AVI headers do).
bool headerDescribesVideo(const AVFormatContext* format)
{
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVCodecParameters* parameters = format->streams[i]->codecpar;
        if (parameters->codec_type == AVMEDIA_TYPE_VIDEO && parameters->codec_id != AV_CODEC_ID_NONE
            && parameters->width > 0 && parameters->height > 0)
            return true;
    }
    return false;
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

std::optional<QImage> VideoFrameDecoder::decode(const ThumbnailInput& input, const DecodeTarget& target)
{
    const bool smallest = target.choice == PictureChoice::smallest;
    // Declared before the format context, so that it outlives it.
    MemoryReader memory { reinterpret_cast<const uint8_t*>(input.bytes.constData()), input.bytes.size(), 0 };
    std::unique_ptr<AVIOContext, IoFree> io;
    AVFormatContext* rawFormat = avformat_alloc_context();
    if (rawFormat == nullptr)
        return std::nullopt;
    if (!input.isOnDisk()) {
        auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
        if (buffer != nullptr)
            io.reset(avio_alloc_context(buffer, kIoBufferBytes, 0, &memory, &MemoryReader::read, nullptr, &MemoryReader::seek));
        if (!io) {
            av_free(buffer);
            avformat_free_context(rawFormat);
            return std::nullopt;
        }
        rawFormat->pb = io.get();
        rawFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    const QByteArray path = input.path.toLocal8Bit();
    // On failure avformat_open_input frees the context itself.
    if (avformat_open_input(&rawFormat, input.isOnDisk() ? path.constData() : "", nullptr, nullptr) < 0)
        return std::nullopt;
    std::unique_ptr<AVFormatContext, FormatClose> format(rawFormat);
    // Probing decodes frames; the smallest picture needs none when the header
    // already names the codec and the picture's size.
    if ((!smallest || !headerDescribesVideo(format.get())) && avformat_find_stream_info(format.get(), nullptr) < 0)
        return std::nullopt;

    const int streamIndex = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (streamIndex < 0)
        return std::nullopt;
    AVStream* stream = format->streams[streamIndex];
    std::unique_ptr<AVFrame, FrameFree> frame = smallest ? coverArt(format.get(), target) : nullptr;
    const bool isCover = frame != nullptr;
    if (!frame) {
        CodecPtr codec = openedDecoder(stream, smallest ? AVDISCARD_NONKEY : AVDISCARD_DEFAULT);
        if (!codec)
            return std::nullopt;
        double seconds = kFrameSeconds;
        if (format->duration > 0)
            seconds = std::min(seconds, static_cast<double>(format->duration) / AV_TIME_BASE / 2);
        const int64_t origin = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        const int64_t targetPts = origin + av_rescale_q(static_cast<int64_t>(seconds * AV_TIME_BASE), AVRational { 1, AV_TIME_BASE }, stream->time_base);
        // Back to the key frame before the moment; a file that cannot seek is read from its start.
        if (av_seek_frame(format.get(), streamIndex, targetPts, AVSEEK_FLAG_BACKWARD) >= 0)
            avcodec_flush_buffers(codec.get());
        frame = decodeFrame(format.get(), codec.get(), streamIndex, targetPts,
            smallest ? FrameWanted::firstDecoded : FrameWanted::nearTarget);
        if (!frame && av_seek_frame(format.get(), -1, 0, AVSEEK_FLAG_BYTE) >= 0) {
            // A seek by time in a stream without an index (MPEG program and transport
            // streams) may land where no picture decodes: the first one, then.
            avcodec_flush_buffers(codec.get());
            frame = decodeFrame(format.get(), codec.get(), streamIndex, origin, FrameWanted::firstDecoded);
        }
    }
    if (!frame)
        return std::nullopt;
    // Cover art is stored upright; the display matrix turns the video's frames.
    const int turns = isCover ? 0 : quarterTurns(stream);
    QSize bound = target.size;
    if (turns % 2 == 1)
        bound.transpose();
    auto image = toImage(*frame, bound);
    // A key frame of a fade-in from black shows nothing: the frame at the
    // moment, decoded from that key frame on, does.
    if (smallest && !isCover && image && isNearlyBlack(*image))
        return decode(input, DecodeTarget { target.size, target.enoughSide, PictureChoice::full });
    if (!image || turns == 0)
        return image;
    // Counter-clockwise in the matrix; Qt turns clockwise for positive angles.
    return image->transformed(QTransform().rotate(-90.0 * turns));
}

}
