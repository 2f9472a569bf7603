#include "flow/video_writer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "flow/image_io.hpp"
#include "flow/output_stage.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace fs = std::filesystem;

namespace {

// Removes the hidden videos that runs which have ended left in `folder` when they were killed
// before their video was complete (named as the constructor names them).
void remove_videos_of_ended_runs(const fs::path& folder) {
    const std::string mark = ".orvane-flow-";
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(mark, 0) != 0) continue;
        std::string rest;
        const std::string id = run_id_at(name.substr(mark.size()), &rest);
        std::error_code fe;
        if (!id.empty() && rest.size() > 1 && rest[0] == '-' && run_has_ended(id) &&
            it->is_regular_file(fe)) {
            fs::remove(it->path(), fe);
        }
    }
}

std::string av_text(int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

}  // namespace

struct VideoWriter::State {
    AVFormatContext* format = nullptr;
    AVCodecContext* encoder = nullptr;
    AVStream* stream = nullptr;
    SwsContext* scaler = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    int32_t columns = 0, lines = 0;
    int64_t next_pts = 0;
    bool header_written = false;
    // YUV pictures with time stamps: the first one's, and the last written [encoder time base].
    int64_t first_pts = -1, last_pts = -1;
    double frame_s = 0.04;  // [s] one frame at the format's rate
    int64_t frame_ticks() const {
        return std::max<int64_t>(1, std::llround(frame_s / av_q2d(encoder->time_base)));
    }
    // The audio copied from another file: its demuxer, its stream there and here, the packet
    // read but not yet due, and where the video starts in it [s].
    AVFormatContext* audio_in = nullptr;
    int audio_index = -1;
    AVStream* audio_out = nullptr;
    AVPacket* audio_packet = nullptr;
    bool audio_pending = false, audio_ended = false;
    double audio_start_s = 0;

    ~State() {
        av_packet_free(&audio_packet);
        avformat_close_input(&audio_in);
        sws_freeContext(scaler);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&encoder);
        if (format) {
            if (format->pb) avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }
};

VideoWriter::VideoWriter(const std::string& path, int32_t columns, int32_t lines, double fps,
                         bool replace)
    : VideoWriter(path, columns, lines, VideoFormat{fps, {}, 20, 50, {}, 0, "--video"}, replace) {}

VideoWriter::VideoWriter(const std::string& path, int32_t columns, int32_t lines,
                         const VideoFormat& video, bool replace)
    : s_(std::make_unique<State>()), path_(path) {
    const double fps = video.fps;
    std::error_code ec;
    if (fs::exists(path, ec) && !replace) {
        throw FlowError("the video '" + path +
                        "' exists; choose another name or add --force to replace it");
    }
    if (fs::is_directory(path, ec)) throw FlowError("the video path '" + path + "' is a folder");
    const fs::path final_path(path);
    OutputStage* stage = OutputStage::current();
    if (stage && stage->is_output_folder(final_path.parent_path().string())) {
        // A video in the output folder is one of the run's results: it is staged and put in
        // place with them (the folder may not even exist before the commit).
        partial_ = stage->path_for(final_path.filename().string());
        staged_ = true;
    } else {
        // Beside its final name under a name unique to this run, so that two runs writing
        // the same video never write into one file.
        const fs::path folder =
            final_path.has_parent_path() ? final_path.parent_path() : fs::path(".");
        remove_videos_of_ended_runs(folder);
        partial_ =
            (folder / (".orvane-flow-" + new_run_id() + "-" + final_path.filename().string()))
                .string();
    }
    auto fail = [&](const std::string& what, int rc) {
        throw FlowError("cannot write the video '" + path + "': " + what +
                        (rc < 0 ? ": " + av_text(rc) : std::string()));
    };
    State& s = *s_;
    // YUV 4:2:0 needs even sizes; the pictures are padded by the caller's canvas if odd.
    s.columns = columns, s.lines = lines;
    // The container follows the final name's extension (the hidden name keeps it too).
    int rc = avformat_alloc_output_context2(&s.format, nullptr, nullptr, path.c_str());
    if (rc < 0 || !s.format) {
        throw UsageError(video.option + " '" + path +
                         "': no video container has this file name's extension (use .mp4 or "
                         ".mkv)");
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!codec) fail("this FFmpeg has no H.264 encoder", 0);
    encoder_ = codec->name;
    s.stream = avformat_new_stream(s.format, nullptr);
    s.encoder = avcodec_alloc_context3(codec);
    s.frame = av_frame_alloc();
    s.packet = av_packet_alloc();
    if (!s.stream || !s.encoder || !s.frame || !s.packet) fail("out of memory", 0);
    const AVRational rate = av_d2q(fps > 0 ? fps : 25.0, 1000);
    s.frame_s = 1.0 / av_q2d(rate);
    const VideoTiming& timing = video.timing;
    s.encoder->width = columns;
    s.encoder->height = lines;
    s.encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    // Pictures with time stamps keep them in their own time base.
    s.encoder->time_base = timing.time_base_den > 0 && timing.time_base_num > 0
                               ? AVRational{timing.time_base_num, timing.time_base_den}
                               : av_inv_q(rate);
    s.encoder->framerate = rate;
    s.encoder->color_range = static_cast<AVColorRange>(timing.colour_range);
    s.encoder->colorspace = static_cast<AVColorSpace>(timing.colour_space);
    s.encoder->color_primaries = static_cast<AVColorPrimaries>(timing.colour_primaries);
    s.encoder->color_trc = static_cast<AVColorTransferCharacteristic>(timing.colour_transfer);
    if (video.gop > 0) s.encoder->gop_size = video.gop;
    s.encoder->thread_count = 1;  // the writer is one stage of the run's own pipeline
    if (s.format->oformat->flags & AVFMT_GLOBALHEADER) {
        s.encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (encoder_ == "libx264") {
        av_opt_set(s.encoder->priv_data, "preset", "veryfast", 0);
        av_opt_set(s.encoder->priv_data, "crf", std::to_string(video.crf).c_str(), 0);
    }
    rc = avcodec_open2(s.encoder, codec, nullptr);
    if (rc < 0) fail("cannot open the encoder " + encoder_, rc);
    rc = avcodec_parameters_from_context(s.stream->codecpar, s.encoder);
    if (rc < 0) fail("cannot set up the stream", rc);
    s.stream->time_base = s.encoder->time_base;
    if (!video.audio_from.empty()) open_audio(video.audio_from, video.audio_start_s);
    rc = avio_open(&s.format->pb, partial_.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) fail("cannot create it", rc);
    rc = avformat_write_header(s.format, nullptr);
    if (rc < 0) fail("cannot write the header", rc);
    s.header_written = true;
    s.frame->format = AV_PIX_FMT_YUV420P;
    s.frame->width = columns;
    s.frame->height = lines;
    rc = av_frame_get_buffer(s.frame, 0);
    if (rc < 0) fail("out of memory", rc);
    s.scaler = sws_getContext(columns, lines, AV_PIX_FMT_RGB24, columns, lines, AV_PIX_FMT_YUV420P,
                              SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!s.scaler) fail("cannot convert RGB to YUV", 0);
}

VideoWriter::~VideoWriter() {
    if (!published_ && s_) {
        s_.reset();  // closes the file before it is removed
        std::error_code ec;
        fs::remove(partial_, ec);
    }
}

namespace {

// Sends one frame (or, with null, the end) and writes every packet the encoder hands back.
// Packets without a duration get `duration` [encoder time base]: the container's last picture
// needs one, or players end the video a frame early.
int encode(AVFormatContext* format, AVCodecContext* encoder, AVStream* stream, AVFrame* frame,
           AVPacket* packet, int64_t duration) {
    int rc = avcodec_send_frame(encoder, frame);
    if (rc < 0) return rc;
    for (;;) {
        rc = avcodec_receive_packet(encoder, packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
        if (rc < 0) return rc;
        if (packet->duration <= 0) packet->duration = duration;
        av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
        packet->stream_index = stream->index;
        rc = av_interleaved_write_frame(format, packet);
        if (rc < 0) return rc;
    }
}

}  // namespace

void VideoWriter::write(const RgbPicture& picture) {
    State& s = *s_;
    if (picture.columns != s.columns || picture.lines != s.lines) {
        throw FlowError("the video '" + path_ + "': a picture of another size");
    }
    int rc = av_frame_make_writable(s.frame);
    if (rc >= 0) {
        const uint8_t* src[4] = {picture.rgb.data(), nullptr, nullptr, nullptr};
        const int stride[4] = {3 * picture.columns, 0, 0, 0};
        sws_scale(s.scaler, src, stride, 0, s.lines, s.frame->data, s.frame->linesize);
        s.frame->pts = s.next_pts++;
        s.last_pts = s.frame->pts;
        rc = encode(s.format, s.encoder, s.stream, s.frame, s.packet, s.frame_ticks());
    }
    if (rc < 0) throw FlowError("cannot write the video '" + path_ + "': " + av_text(rc));
}

void VideoWriter::write(const YuvPicture& picture) {
    State& s = *s_;
    if (picture.columns != s.columns || picture.lines != s.lines) {
        throw FlowError("the video '" + path_ + "': a picture of another size");
    }
    int rc = av_frame_make_writable(s.frame);
    if (rc < 0) throw FlowError("cannot write the video '" + path_ + "': " + av_text(rc));
    const int32_t cw = picture.chroma_columns(), ch = picture.chroma_lines();
    for (int32_t y = 0; y < s.lines; ++y) {
        std::memcpy(s.frame->data[0] + static_cast<ptrdiff_t>(y) * s.frame->linesize[0],
                    picture.y.data() + static_cast<size_t>(y) * picture.columns,
                    static_cast<size_t>(s.columns));
    }
    for (int32_t y = 0; y < (s.lines + 1) / 2; ++y) {
        const size_t from = static_cast<size_t>(std::min(y, ch - 1)) * cw;
        std::memcpy(s.frame->data[1] + static_cast<ptrdiff_t>(y) * s.frame->linesize[1],
                    picture.u.data() + from, static_cast<size_t>((s.columns + 1) / 2));
        std::memcpy(s.frame->data[2] + static_cast<ptrdiff_t>(y) * s.frame->linesize[2],
                    picture.v.data() + from, static_cast<size_t>((s.columns + 1) / 2));
    }
    // The picture's own time stamp, counted from the first one; strictly increasing, as the
    // encoder needs, even where the input repeats one.
    const double tb = av_q2d(s.encoder->time_base);
    int64_t pts;
    if (picture.pts >= 0 && s.first_pts < 0) s.first_pts = picture.pts;
    if (picture.pts >= 0) {
        pts = picture.pts - s.first_pts;
    } else {
        pts = s.last_pts < 0 ? 0 : s.last_pts + std::max<int64_t>(1, std::llround(s.frame_s / tb));
    }
    if (pts <= s.last_pts) pts = s.last_pts + 1;
    s.last_pts = pts;
    s.frame->pts = pts;
    copy_audio_until(static_cast<double>(pts) * tb);
    rc = encode(s.format, s.encoder, s.stream, s.frame, s.packet, s.frame_ticks());
    if (rc < 0) throw FlowError("cannot write the video '" + path_ + "': " + av_text(rc));
}

void VideoWriter::set_audio_start(double seconds) {
    s_->audio_start_s = seconds;
}

void VideoWriter::finish() {
    State& s = *s_;
    // The sound to the end of the last picture.
    if (s.last_pts >= 0) {
        copy_audio_until(static_cast<double>(s.last_pts) * av_q2d(s.encoder->time_base) +
                         s.frame_s);
    }
    int rc = encode(s.format, s.encoder, s.stream, nullptr, s.packet, s.frame_ticks());
    if (rc >= 0) rc = av_write_trailer(s.format);
    if (rc >= 0) rc = avio_closep(&s.format->pb);
    if (rc < 0) throw FlowError("cannot write the video '" + path_ + "': " + av_text(rc));
    finished_ = true;
}

void VideoWriter::discard() {
    if (published_) return;
    s_.reset();
    std::error_code ec;
    fs::remove(partial_, ec);
    finished_ = false;
    if (staged_ && OutputStage::current()) {
        OutputStage::current()->withdraw(fs::path(path_).filename().string());
    }
}

void VideoWriter::publish() {
    if (!finished_) finish();
    if (staged_) {
        published_ = true;  // the output stage's commit put it in place
        return;
    }
    std::error_code ec;
    fs::rename(partial_, path_, ec);
    if (ec) throw FlowError("cannot move the video to '" + path_ + "': " + ec.message());
    published_ = true;
}

// Adds to the output a copy of the first audio stream of `from`, where the container takes its
// codec. An input that cannot be read for its audio (it was read for its pictures) keeps the
// video without sound rather than failing the run; audio() says why.
void VideoWriter::open_audio(const std::string& from, double start_s) {
    State& s = *s_;
    int rc = avformat_open_input(&s.audio_in, from.c_str(), nullptr, nullptr);
    if (rc < 0) {
        s.audio_in = nullptr;
        audio_ = "not copied: " + av_text(rc);
        return;
    }
    rc = avformat_find_stream_info(s.audio_in, nullptr);
    if (rc >= 0) rc = av_find_best_stream(s.audio_in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (rc < 0) {
        audio_ = rc == AVERROR_STREAM_NOT_FOUND ? "none in the input" : "not copied: " + av_text(rc);
        avformat_close_input(&s.audio_in);
        return;
    }
    s.audio_index = rc;
    const AVCodecParameters* par = s.audio_in->streams[rc]->codecpar;
    const char* codec = avcodec_get_name(par->codec_id);
    if (avformat_query_codec(s.format->oformat, par->codec_id, FF_COMPLIANCE_NORMAL) != 1) {
        audio_ = std::string("not copied: the container ") + s.format->oformat->name +
                 " does not take " + codec + " (an .mkv takes every codec)";
        avformat_close_input(&s.audio_in);
        return;
    }
    s.audio_out = avformat_new_stream(s.format, nullptr);
    s.audio_packet = av_packet_alloc();
    if (!s.audio_out || !s.audio_packet ||
        avcodec_parameters_copy(s.audio_out->codecpar, par) < 0) {
        throw FlowError("cannot write the video '" + path_ + "': out of memory");
    }
    s.audio_out->codecpar->codec_tag = 0;
    s.audio_out->time_base = s.audio_in->streams[rc]->time_base;
    s.audio_start_s = start_s;
    audio_ = std::string("copied (") + codec + ")";
}

// Writes the audio packets due up to `until_s` [s of the video]; packets before the video's
// start are dropped, the rest shifted with it.
void VideoWriter::copy_audio_until(double until_s) {
    State& s = *s_;
    if (!s.audio_out) return;
    const AVStream* in = s.audio_in->streams[s.audio_index];
    const double tb = av_q2d(in->time_base);
    const int64_t shift = std::llround(s.audio_start_s / tb);
    while (!s.audio_ended) {
        if (!s.audio_pending) {
            const int rc = av_read_frame(s.audio_in, s.audio_packet);
            if (rc < 0) {
                s.audio_ended = true;
                break;
            }
            if (s.audio_packet->stream_index != s.audio_index) {
                av_packet_unref(s.audio_packet);
                continue;
            }
            s.audio_pending = true;
        }
        AVPacket* p = s.audio_packet;
        const int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
        const double t = ts == AV_NOPTS_VALUE ? -1.0 : ts * tb - s.audio_start_s;
        if (t > until_s) break;  // due later
        s.audio_pending = false;
        if (t < -1e-6) {
            av_packet_unref(p);
            continue;
        }
        if (p->pts != AV_NOPTS_VALUE) p->pts -= shift;
        if (p->dts != AV_NOPTS_VALUE) p->dts -= shift;
        av_packet_rescale_ts(p, in->time_base, s.audio_out->time_base);
        p->stream_index = s.audio_out->index;
        p->pos = -1;
        const int rc = av_interleaved_write_frame(s.format, p);
        if (rc < 0) throw FlowError("cannot write the video '" + path_ + "': " + av_text(rc));
    }
}
