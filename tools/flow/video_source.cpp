// Video input through Debian's FFmpeg libraries: demux, decode, convert to 8-bit luma.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "flow/frame_source.hpp"
#include "flow/image_io.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

bool g_ffmpeg_verbose = false;
std::mutex g_ffmpeg_log_mutex;  // decoder threads log too

// FFmpeg's messages, one line at a time, under the tool's name; nothing unless verbose.
extern "C" void ffmpeg_log(void* avcl, int level, const char* format, va_list args) {
    if (!g_ffmpeg_verbose || level > AV_LOG_INFO) return;
    std::lock_guard<std::mutex> lock(g_ffmpeg_log_mutex);
    static int print_prefix = 1;
    static std::string pending;
    char text[1024];
    av_log_format_line2(avcl, level, format, args, text, sizeof text, &print_prefix);
    pending += text;
    if (!pending.empty() && pending.back() == '\n') {
        std::fprintf(stderr, "orvane-flow: ffmpeg: %s", pending.c_str());
        pending.clear();
    }
}

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
    bool next_yuv(YuvPicture& picture) override {
        if (!decode_one()) return false;
        convert_yuv(picture);
        return true;
    }
    VideoTiming video_timing() const override { return timing_; }
    bool rereadable() const override {
        return format_ != nullptr && format_->pb != nullptr &&
               (format_->pb->seekable & AVIO_SEEKABLE_NORMAL) != 0 && path_ != "/dev/stdin";
    }
    int64_t frame_count() const override { return count_; }
    std::string description() const override { return "the video '" + path_ + "'"; }
    double frame_time() const override { return time_; }
    double frame_rate() const override { return rate_ > 0 ? rate_ : 25.0; }
    std::string damage() const override {
        std::string text = damage_;
        auto add = [&text](int64_t n, const char* one, const char* many, const char* what) {
            if (n > 0) {
                text += (text.empty() ? "" : "; ") + std::to_string(n) + " " +
                        (n > 1 ? many : one) + what;
            }
        };
        add(damaged_packets_, "damaged packet", "damaged packets", " passed over");
        // The decoder hides errors in a picture by filling the broken part in from its
        // surroundings; what is measured there is not the recording's motion.
        add(concealed_frames_, "frame", "frames", " decoded with errors concealed");
        const std::string cut = damage_.empty() ? truncation() : std::string();
        if (!cut.empty()) text += (text.empty() ? "" : "; ") + cut;
        return text;
    }
    bool ended_at_damage() const override { return !damage_.empty() || !truncation().empty(); }

  private:
    // Why the stream ended before the container's end, or empty. Timestamps decide where the
    // video has them: the frames must reach the duration of the video stream (of the file, when
    // it holds nothing else) to within a frame and a half, whatever the frame rate does on the
    // way. Otherwise a container that announced an exact number of frames must deliver them.
    std::string truncation() const {
        if (!ended_) return {};
        char text[160];
        if (duration_ > 0 && std::isfinite(first_time_) && std::isfinite(time_) && interval_ > 0) {
            const double reached = time_ - first_time_ + interval_;
            if (reached >= duration_ - 1.5 * interval_) return {};
            std::snprintf(text, sizeof text,
                          "the container lasts %.2f s but its frames end at %.2f s (the file is "
                          "truncated)",
                          duration_, reached);
            return text;
        }
        if (announced_ > 0 && decoded_count_ < announced_) {
            std::snprintf(text, sizeof text,
                          "the container announces %lld frames but only %lld could be decoded "
                          "(the file is truncated)",
                          static_cast<long long>(announced_),
                          static_cast<long long>(decoded_count_));
            return text;
        }
        return {};
    }

    void open() {
        const std::string& path = path_;
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
            throw FlowError("'" + path + "' holds no video stream that can be decoded" +
                            pipe_hint());
        }
        const AVStream* st = format_->streams[stream_];
        decoder_ = avcodec_alloc_context3(codec);
        if (!decoder_) throw FlowError("out of memory while opening '" + path + "'");
        rc = avcodec_parameters_to_context(decoder_, st->codecpar);
        if (rc < 0) fail("cannot set up the decoder", rc);
        // One decoding thread: with several, FFmpeg 5 loses the error flags of some pictures,
        // and damage must never pass for a sound recording. Decoding has a pipeline stage of
        // its own and is far faster than measuring.
        decoder_->thread_count = 1;
        rc = avcodec_open2(decoder_, codec, nullptr);
        if (rc < 0) fail("cannot open the decoder", rc);
        columns_ = st->codecpar->width;
        lines_ = st->codecpar->height;
        if (columns_ <= 0 || lines_ <= 0) {
            throw FlowError("'" + path + "' is a zero-size video (" + std::to_string(columns_) +
                            "x" + std::to_string(lines_) + ")" + pipe_hint());
        }
        const std::string problem = frame_size_problem(columns_, lines_);
        if (!problem.empty()) throw FlowError("'" + path + "': " + problem);
        time_base_ = av_q2d(st->time_base);
        if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0) {
            rate_ = av_q2d(st->avg_frame_rate);
        }
        announced_ = st->nb_frames;
        timing_.time_base_num = st->time_base.num;
        timing_.time_base_den = st->time_base.den;
        const AVCodecParameters* par = st->codecpar;
        // Full-range pictures (JPEG's yuvj formats) are full range whatever the stream says.
        const auto format = static_cast<AVPixelFormat>(par->format);
        timing_.colour_range = format == AV_PIX_FMT_YUVJ420P || par->color_range == AVCOL_RANGE_JPEG
                                   ? AVCOL_RANGE_JPEG
                                   : AVCOL_RANGE_MPEG;
        timing_.colour_space = par->color_space;
        timing_.colour_primaries = par->color_primaries;
        timing_.colour_transfer = par->color_trc;
        // The video stream's own length; the file's only when it holds nothing else (a longer
        // sound track would make the video look cut short).
        if (st->duration > 0 && st->duration != AV_NOPTS_VALUE) {
            duration_ = st->duration * time_base_;
        } else if (format_->nb_streams == 1 && format_->duration > 0) {
            duration_ = static_cast<double>(format_->duration) / AV_TIME_BASE;
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
        sws_freeContext(colour_scaler_);
        colour_scaler_ = nullptr;
        av_frame_free(&decoded_);
        av_packet_free(&packet_);
        avcodec_free_context(&decoder_);
        avformat_close_input(&format_);
    }

    [[noreturn]] void fail(const std::string& what, int rc) {
        throw FlowError("'" + path_ + "': " + what + ": " + av_message(rc) + pipe_hint());
    }

    // An MP4 or MOV file mostly keeps the index of its pictures at its end; read from a pipe,
    // which cannot go back, its pictures cannot be found. Says so where that is the case.
    std::string pipe_hint() const {
        const bool one_way = format_ != nullptr && format_->pb != nullptr &&
                             (format_->pb->seekable & AVIO_SEEKABLE_NORMAL) == 0;
        const bool indexed = format_ != nullptr && format_->iformat != nullptr &&
                             std::string_view(format_->iformat->name).starts_with("mov,");
        if (!one_way || !indexed) return "";
        return " (an MP4 or MOV file whose index comes at its end cannot be read from a pipe: "
               "give the file itself, or pipe a format made for streaming, for example "
               "ffmpeg -i clip.mp4 -f nut - | orvane-flow -)";
    }

    // Leaves the next picture in decoded_; false at the end of the stream. Damage after the
    // first picture ends the stream early and is remembered for damage(); damage before it
    // is an error, since there is nothing to keep.
    bool decode_one() {
        if (ended_) return false;
        for (;;) {
            int rc = avcodec_receive_frame(decoder_, decoded_);
            if (rc == 0) {
                if (decoded_->width != columns_ || decoded_->height != lines_) {
                    throw FlowError("'" + path_ + "': a picture of " +
                                    std::to_string(decoded_->width) + "x" +
                                    std::to_string(decoded_->height) + " follows pictures of " +
                                    std::to_string(columns_) + "x" + std::to_string(lines_));
                }
                const int64_t pts = decoded_->best_effort_timestamp;
                const double before = time_;
                time_ = pts != AV_NOPTS_VALUE ? pts * time_base_ : NAN;
                if (decoded_count_ == 0) first_time_ = time_;
                if (time_ > before) interval_ = time_ - before;
                if (decoded_->decode_error_flags != 0 || (decoded_->flags & AV_FRAME_FLAG_CORRUPT))
                    ++concealed_frames_;
                ++decoded_count_;
                return true;
            }
            if (rc == AVERROR_EOF) return end();
            if (rc != AVERROR(EAGAIN)) return stop("cannot decode", rc);
            if (draining_) return end();
            // The decoder wants input: feed it the next packet of our stream.
            for (;;) {
                rc = av_read_frame(format_, packet_);
                if (rc < 0) {
                    // End of file or a read error: drain what the decoder still holds.
                    if (rc != AVERROR_EOF && !avio_feof(format_->pb)) {
                        note_damage("reading stopped after frame " +
                                    std::to_string(decoded_count_) + ": " + av_message(rc));
                        if (decoded_count_ == 0) fail("cannot read", rc);
                    }
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
                if (rc == AVERROR_INVALIDDATA) ++damaged_packets_;
                if (rc < 0 && rc != AVERROR_INVALIDDATA && rc != AVERROR(EAGAIN)) {
                    return stop("cannot decode", rc);
                }
                break;
            }
        }
    }

    bool end() {
        ended_ = true;
        return false;
    }
    bool stop(const std::string& what, int rc) {
        if (decoded_count_ == 0) fail(what, rc);
        note_damage(what + " after frame " + std::to_string(decoded_count_) + ": " +
                    av_message(rc));
        return end();
    }
    void note_damage(const std::string& text) {
        if (damage_.empty()) damage_ = text;
    }

    void convert(GreyImage& frame) {
        const auto format = static_cast<AVPixelFormat>(decoded_->format);
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
        if (d && d->nb_components >= 3 && (d->flags & AV_PIX_FMT_FLAG_PLANAR) &&
            !(d->flags & AV_PIX_FMT_FLAG_RGB) && d->comp[0].depth == 8 && d->comp[0].plane == 0 &&
            d->comp[0].step == 1) {
            // Planar 8-bit YUV: its luma plane is what the grey conversion copies; read it
            // directly.
            if (frame.columns != columns_ || frame.lines != lines_) frame = GreyImage(columns_, lines_);
            for (int32_t y = 0; y < lines_; ++y) {
                const uint8_t* s = decoded_->data[0] + static_cast<ptrdiff_t>(y) * decoded_->linesize[0];
                float* o = frame.line(y);
                for (int32_t x = 0; x < columns_; ++x) o[x] = s[x];
            }
            return;
        }
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

    // The decoded picture as YUV 4:2:0: its own planes where it is 4:2:0 already, else
    // converted (to limited range, or full range for a full-range input).
    void convert_yuv(YuvPicture& picture) {
        // The planes of the picture before are reused where the size is the same.
        if (picture.columns != columns_ || picture.lines != lines_) {
            picture = YuvPicture(columns_, lines_);
        }
        const int64_t pts = decoded_->best_effort_timestamp;
        picture.pts = pts != AV_NOPTS_VALUE ? pts : -1;
        const auto format = static_cast<AVPixelFormat>(decoded_->format);
        if (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P) {
            const int32_t cw = picture.chroma_columns(), ch = picture.chroma_lines();
            for (int32_t y = 0; y < lines_; ++y) {
                std::memcpy(picture.y.data() + static_cast<size_t>(y) * columns_,
                            decoded_->data[0] + static_cast<ptrdiff_t>(y) * decoded_->linesize[0],
                            static_cast<size_t>(columns_));
            }
            for (int32_t y = 0; y < ch; ++y) {
                std::memcpy(picture.u.data() + static_cast<size_t>(y) * cw,
                            decoded_->data[1] + static_cast<ptrdiff_t>(y) * decoded_->linesize[1],
                            static_cast<size_t>(cw));
                std::memcpy(picture.v.data() + static_cast<size_t>(y) * cw,
                            decoded_->data[2] + static_cast<ptrdiff_t>(y) * decoded_->linesize[2],
                            static_cast<size_t>(cw));
            }
            return;
        }
        const AVPixelFormat target =
            timing_.colour_range == AVCOL_RANGE_JPEG ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
        colour_scaler_ = sws_getCachedContext(colour_scaler_, columns_, lines_, format, columns_,
                                              lines_, target, SWS_BICUBIC | SWS_ACCURATE_RND,
                                              nullptr, nullptr, nullptr);
        if (!colour_scaler_) {
            const char* name = av_get_pix_fmt_name(format);
            throw FlowError("'" + path_ + "': cannot convert pictures of pixel format " +
                            (name ? std::string(name) : "#" + std::to_string(decoded_->format)) +
                            " to YUV 4:2:0");
        }
        uint8_t* dst[4] = {picture.y.data(), picture.u.data(), picture.v.data(), nullptr};
        int dst_stride[4] = {columns_, picture.chroma_columns(), picture.chroma_columns(), 0};
        sws_scale(colour_scaler_, decoded_->data, decoded_->linesize, 0, lines_, dst, dst_stride);
    }

    std::string path_;
    SwsContext* colour_scaler_ = nullptr;
    VideoTiming timing_;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* decoder_ = nullptr;
    SwsContext* scaler_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* decoded_ = nullptr;
    int stream_ = -1;
    int64_t count_ = -1;
    int64_t announced_ = 0;      // frames the container says it holds (0: not said)
    int64_t decoded_count_ = 0;  // pictures decoded so far
    int64_t damaged_packets_ = 0;
    int64_t concealed_frames_ = 0;  // decoded with errors the decoder filled in
    double time_base_ = 0;          // [s] per timestamp unit
    double time_ = NAN;             // of the last picture [s]
    double first_time_ = NAN;       // of the first picture [s]
    double interval_ = 0;           // [s] between the last two pictures
    double duration_ = 0;           // [s] of the video stream, when the container says
    double rate_ = 0;               // [frames/s]; 0 when the container does not say
    std::string damage_;
    bool draining_ = false;
    bool ended_ = false;
    std::vector<uint8_t> grey_;
};

}  // namespace

std::unique_ptr<FrameSource> open_video_source(const std::string& path) {
    return std::make_unique<VideoSource>(path);
}

GreyImage read_image_with_ffmpeg(const std::string& path) {
    VideoSource source(path);
    GreyImage frame;
    if (!source.next(frame)) throw FlowError("'" + path + "' holds no picture that can be decoded");
    return frame;
}

void route_ffmpeg_log(bool verbose) {
    g_ffmpeg_verbose = verbose;
    av_log_set_level(verbose ? AV_LOG_INFO : AV_LOG_QUIET);
    av_log_set_callback(ffmpeg_log);
}
