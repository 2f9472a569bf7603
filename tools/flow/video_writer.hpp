// VideoWriter: the flow video (--video FILE.mp4) and the stabilised video (--stabilize), H.264
// through the FFmpeg libraries that read the input.
//
// Pictures of one fixed size go in as 8-bit RGB at a fixed frame rate (converted to YUV 4:2:0),
// or as YUV 4:2:0 pictures with the time stamps and colour of the video they were read from
// (VideoFormat::timing); they are encoded with libx264 (FFmpeg's other H.264 encoders when
// libx264 is missing). The audio of another file can be copied beside them, packet for packet,
// cut and shifted to the pictures' span. The file is written under a hidden name beside its final one and only
// renamed to it by publish(), so a failed or interrupted run leaves no half-written video and
// an earlier file of that name stays as it was; a video in the output folder is staged with
// the run's other results instead (see OutputStage::current). The run's writer thread is the
// only caller.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "flow/grey_image.hpp"

struct VideoFormat {
    double fps = 25;     // frames per second of pictures without time stamps
    VideoTiming timing;  // time base and colour of YUV pictures with time stamps
    int crf = 20;        // libx264's constant rate factor (lower: better and larger)
    int gop = 50;        // frames between key frames at most; -1: the encoder's own choice
    // A file whose first audio stream is copied into the video (empty: none), from
    // `audio_start_s` [s of that file] on, which becomes the video's time 0.
    std::string audio_from;
    double audio_start_s = 0;
    std::string option = "--video";  // how the user named the file, for messages
};

class VideoWriter {
  public:
    // Throws FlowError when the file cannot be made, no H.264 encoder is available or `path`
    // exists and `replace` is not set; UsageError when no container has its extension.
    VideoWriter(const std::string& path, int32_t columns, int32_t lines, double fps, bool replace);
    VideoWriter(const std::string& path, int32_t columns, int32_t lines, const VideoFormat& format,
                bool replace);
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    // A picture of the size given at construction.
    void write(const RgbPicture& picture);
    // The same in YUV 4:2:0; its time stamp (in the format's time base) is kept, relative to
    // the first picture's, or the pictures are numbered at the frame rate when it has none.
    void write(const YuvPicture& picture);
    // Where the video starts in the file its audio is copied from [s] (before the first picture).
    void set_audio_start(double seconds);
    // Flushes the encoder and completes the file under its hidden name.
    void finish();
    // Closes and removes the file unfinished (a run interrupted before its pictures), also
    // where it is staged in the output folder.
    void discard();
    // Renames the finished file to its final name (a staged one is in place after the
    // output stage's commit).
    void publish();

    const std::string& path() const { return path_; }
    const std::string& encoder() const { return encoder_; }
    // What became of the audio: "copied (aac)", "none in the input", or why it was not copied.
    const std::string& audio() const { return audio_; }

  private:
    struct State;
    std::unique_ptr<State> s_;
    void open_audio(const std::string& from, double start_s);
    void copy_audio_until(double until_s);

    std::string path_, partial_, encoder_, audio_;
    bool finished_ = false, published_ = false, staged_ = false;
};
