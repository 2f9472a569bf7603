// VideoWriter: the flow video (--video FILE.mp4), H.264 through the FFmpeg libraries that
// read the input.
//
// Pictures of one fixed size go in as 8-bit RGB, one per frame, at a fixed frame rate; they
// are converted to YUV 4:2:0 and encoded with libx264 (FFmpeg's other H.264 encoders when
// libx264 is missing). The file is written under a hidden name beside its final one and only
// renamed to it by publish(), so a failed or interrupted run leaves no half-written video and
// an earlier file of that name stays as it was; a video in the output folder is staged with
// the run's other results instead (see OutputStage::current). The run's writer thread is the
// only caller.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "flow/grey_image.hpp"

class VideoWriter {
  public:
    // Throws FlowError when the file cannot be made, no H.264 encoder is available or `path`
    // exists and `replace` is not set; UsageError when no container has its extension.
    VideoWriter(const std::string& path, int32_t columns, int32_t lines, double fps, bool replace);
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    // A picture of the size given at construction.
    void write(const RgbPicture& picture);
    // Flushes the encoder and completes the file under its hidden name.
    void finish();
    // Renames the finished file to its final name (a staged one is in place after the
    // output stage's commit).
    void publish();

    const std::string& path() const { return path_; }
    const std::string& encoder() const { return encoder_; }

  private:
    struct State;
    std::unique_ptr<State> s_;
    std::string path_, partial_, encoder_;
    bool finished_ = false, published_ = false, staged_ = false;
};
