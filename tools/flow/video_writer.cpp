#include "flow/video_writer.hpp"

#include <unistd.h>

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

    ~State() {
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
    : s_(std::make_unique<State>()), path_(path) {
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
        throw UsageError("--video '" + path +
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
    s.encoder->width = columns;
    s.encoder->height = lines;
    s.encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    s.encoder->time_base = av_inv_q(rate);
    s.encoder->framerate = rate;
    s.encoder->gop_size = 50;
    s.encoder->thread_count = 1;  // the writer is one stage of the run's own pipeline
    if (s.format->oformat->flags & AVFMT_GLOBALHEADER) {
        s.encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (encoder_ == "libx264") {
        av_opt_set(s.encoder->priv_data, "preset", "veryfast", 0);
        av_opt_set(s.encoder->priv_data, "crf", "20", 0);
    }
    rc = avcodec_open2(s.encoder, codec, nullptr);
    if (rc < 0) fail("cannot open the encoder " + encoder_, rc);
    rc = avcodec_parameters_from_context(s.stream->codecpar, s.encoder);
    if (rc < 0) fail("cannot set up the stream", rc);
    s.stream->time_base = s.encoder->time_base;
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
    if (!published_) {
        s_.reset();  // closes the file before it is removed
        std::error_code ec;
        fs::remove(partial_, ec);
    }
}

namespace {

// Sends one frame (or, with null, the end) and writes every packet the encoder hands back.
int encode(AVFormatContext* format, AVCodecContext* encoder, AVStream* stream, AVFrame* frame,
           AVPacket* packet) {
    int rc = avcodec_send_frame(encoder, frame);
    if (rc < 0) return rc;
    for (;;) {
        rc = avcodec_receive_packet(encoder, packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
        if (rc < 0) return rc;
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
        rc = encode(s.format, s.encoder, s.stream, s.frame, s.packet);
    }
    if (rc < 0) throw FlowError("cannot write the video '" + path_ + "': " + av_text(rc));
}

void VideoWriter::finish() {
    State& s = *s_;
    int rc = encode(s.format, s.encoder, s.stream, nullptr, s.packet);
    if (rc >= 0) rc = av_write_trailer(s.format);
    if (rc >= 0) rc = avio_closep(&s.format->pb);
    if (rc < 0) throw FlowError("cannot write the video '" + path_ + "': " + av_text(rc));
    finished_ = true;
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
