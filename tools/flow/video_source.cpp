// Video input through Debian's FFmpeg libraries: demux, decode, convert to 8-bit luma.
#include <cmath>
#include <memory>

#include "flow/frame_source.hpp"
#include "flow/image_io.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace {

std::string av_message(int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

// Owns the demuxer, decoder, converter and the two frames; one decoded picture at a time.
class VideoSource : public FrameSource {
  public:
    explicit VideoSource(const std::string& path) : path_(path) {
        // A constructor that throws runs no destructor: release what was opened so far.
        try {
            open();
        } catch (...) {
            release();
            throw;
        }
    }

    ~VideoSource() override { release(); }

    bool next(GreyImage& frame) override {
        if (!decode_one()) return false;
        convert(frame);
        return true;
    }
    bool skip() override { return decode_one(); }
    int64_t frame_count() const override { return count_; }
    std::string description() const override { return "the video '" + path_ + "'"; }

  private:
    void open() {
        const std::string& path = path_;
        // The tool reports failures itself, in one line that names the file.
        av_log_set_level(AV_LOG_FATAL);
        int rc = avformat_open_input(&format_, path.c_str(), nullptr, nullptr);
        if (rc < 0) {
            format_ = nullptr;
            throw FlowError("cannot read '" + path + "' as a video or an image: " + av_message(rc));
        }
        rc = avformat_find_stream_info(format_, nullptr);
        if (rc < 0) fail("cannot read the stream information", rc);
        const AVCodec* codec = nullptr;
        stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        if (stream_ < 0 || !codec) {
            throw FlowError("'" + path + "' holds no video stream that can be decoded");
        }
        const AVStream* st = format_->streams[stream_];
        decoder_ = avcodec_alloc_context3(codec);
        if (!decoder_) throw FlowError("out of memory while opening '" + path + "'");
        rc = avcodec_parameters_to_context(decoder_, st->codecpar);
        if (rc < 0) fail("cannot set up the decoder", rc);
        decoder_->thread_count = 0;  // let FFmpeg choose
        rc = avcodec_open2(decoder_, codec, nullptr);
        if (rc < 0) fail("cannot open the decoder", rc);
        columns_ = st->codecpar->width;
        lines_ = st->codecpar->height;
        if (columns_ <= 0 || lines_ <= 0) {
            throw FlowError("'" + path + "' is a zero-size video (" + std::to_string(columns_) +
                            "x" + std::to_string(lines_) + ")");
        }
        if (st->nb_frames > 0) {
            count_ = st->nb_frames;
        } else if (format_->duration > 0 && st->avg_frame_rate.num > 0 &&
                   st->avg_frame_rate.den > 0) {
            count_ = std::llround(static_cast<double>(format_->duration) / AV_TIME_BASE *
                                  av_q2d(st->avg_frame_rate));
        }
        packet_ = av_packet_alloc();
        decoded_ = av_frame_alloc();
        if (!packet_ || !decoded_) throw FlowError("out of memory while opening '" + path + "'");
    }

    void release() {
        sws_freeContext(scaler_);
        scaler_ = nullptr;
        av_frame_free(&decoded_);
        av_packet_free(&packet_);
        avcodec_free_context(&decoder_);
        avformat_close_input(&format_);
    }

    [[noreturn]] void fail(const std::string& what, int rc) {
        throw FlowError("'" + path_ + "': " + what + ": " + av_message(rc));
    }

    // Leaves the next picture in decoded_; false at the end of the stream.
    bool decode_one() {
        for (;;) {
            int rc = avcodec_receive_frame(decoder_, decoded_);
            if (rc == 0) {
                if (decoded_->width != columns_ || decoded_->height != lines_) {
                    throw FlowError("'" + path_ + "': a picture of " +
                                    std::to_string(decoded_->width) + "x" +
                                    std::to_string(decoded_->height) + " follows pictures of " +
                                    std::to_string(columns_) + "x" + std::to_string(lines_));
                }
                return true;
            }
            if (rc == AVERROR_EOF) return false;
            if (rc != AVERROR(EAGAIN)) fail("cannot decode", rc);
            if (draining_) return false;
            // The decoder wants input: feed it the next packet of our stream.
            for (;;) {
                rc = av_read_frame(format_, packet_);
                if (rc < 0) {
                    // End of file or a read error: drain what the decoder still holds.
                    if (rc != AVERROR_EOF && !avio_feof(format_->pb)) fail("cannot read", rc);
                    draining_ = true;
                    avcodec_send_packet(decoder_, nullptr);
                    break;
                }
                const bool ours = packet_->stream_index == stream_;
                if (ours) rc = avcodec_send_packet(decoder_, packet_);
                av_packet_unref(packet_);
                if (!ours) continue;
                // A damaged packet is passed over as FFmpeg's own tools do; the next one may
                // decode fine.
                if (rc < 0 && rc != AVERROR_INVALIDDATA && rc != AVERROR(EAGAIN)) {
                    fail("cannot decode", rc);
                }
                break;
            }
        }
    }

    void convert(GreyImage& frame) {
        scaler_ = sws_getCachedContext(
            scaler_, columns_, lines_, static_cast<AVPixelFormat>(decoded_->format), columns_,
            lines_, AV_PIX_FMT_GRAY8, SWS_POINT, nullptr, nullptr, nullptr);
        if (!scaler_) {
            // FFmpeg has no name for some formats it decodes; say so rather than build a
            // string from a null pointer.
            const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(decoded_->format));
            throw FlowError("'" + path_ + "': cannot convert pictures of pixel format " +
                            (name ? std::string(name) : "#" + std::to_string(decoded_->format)));
        }
        grey_.resize(static_cast<size_t>(columns_) * lines_);
        uint8_t* dst[4] = {grey_.data(), nullptr, nullptr, nullptr};
        int dst_stride[4] = {columns_, 0, 0, 0};
        sws_scale(scaler_, decoded_->data, decoded_->linesize, 0, lines_, dst, dst_stride);
        frame = GreyImage(columns_, lines_);
        for (size_t i = 0; i < grey_.size(); ++i) frame.data[i] = grey_[i];
    }

    std::string path_;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* decoder_ = nullptr;
    SwsContext* scaler_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* decoded_ = nullptr;
    int stream_ = -1;
    int64_t count_ = -1;
    bool draining_ = false;
    std::vector<uint8_t> grey_;
};

}  // namespace

std::unique_ptr<FrameSource> open_video_source(const std::string& path) {
    return std::make_unique<VideoSource>(path);
}
