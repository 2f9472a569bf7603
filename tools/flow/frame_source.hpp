// Where the frames come from: a video file, a folder or glob of still images, or the built-in
// default sequence.
//
// A FrameSource owns whatever it reads from (decoder state, the list of files, the texture of
// the default sequence) and hands out one frame at a time as grey levels 0..255. The tool's
// measuring job is the only caller. Geometry is known once the source is open; every frame has it,
// and a source that meets a frame of another size throws FlowError naming that frame.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/affine.hpp"
#include "flow/grey_image.hpp"

class FrameSource {
  public:
    virtual ~FrameSource() = default;

    // Fills `frame` with the next frame; false at the end of the input.
    virtual bool next(GreyImage& frame) = 0;
    // The next frame in colour, for the stabilised video: videos give their own planes
    // (converted to 4:2:0 where they are not) and time stamps; other sources give their grey
    // levels as limited-range luma with neutral chroma and no time stamp. False at the end.
    virtual bool next_yuv(YuvPicture& picture);
    // The time base and colour of what next_yuv() gives (see VideoTiming).
    virtual VideoTiming video_timing() const { return {}; }
    // Whether the input can be opened and read again from its start (a pipe cannot).
    virtual bool rereadable() const { return true; }
    // Passes over the next frame without converting it where the source can; false at the end.
    virtual bool skip() {
        GreyImage scratch;
        return next(scratch);
    }

    int32_t columns() const { return columns_; }
    int32_t lines() const { return lines_; }
    // Number of frames in the input when it is known (-1 otherwise); for videos an estimate
    // from the container, good enough for a progress bar.
    virtual int64_t frame_count() const { return -1; }
    // How the input is named in messages and in summary.json.
    virtual std::string description() const = 0;
    // The true global motion, for sources that know it (the default sequence).
    virtual std::optional<AffineMotion> known_motion() const { return std::nullopt; }
    // Where the frame last returned by next() or skip() lies in the input [s]: the video's
    // own timestamp; NaN for still images, which have none.
    virtual double frame_time() const { return std::numeric_limits<double>::quiet_NaN(); }
    // Frames per second of the input: the video's own rate, 25 for still images.
    virtual double frame_rate() const { return 25.0; }
    // Empty for a sound input; otherwise what was wrong with it: damage that a video's
    // decoding passed over (lost packets, pictures with errors concealed), or that ended it
    // early (a read or decode error, a truncated file), every frame before it kept.
    virtual std::string damage() const { return {}; }
    // Whether the input ended at its damage (the frames after it are lost) rather than passing
    // over it.
    virtual bool ended_at_damage() const { return false; }

  protected:
    int32_t columns_ = 0;
    int32_t lines_ = 0;
};

// Opens `input`: empty for the default sequence; a folder (its image files in natural name
// order); a pattern with * ? or [, or a printf pattern such as f%03d.jpg (the matching files
// in the same order); a single still image (one frame); anything else, pipes included, is
// opened as a video. PNG and PGM files are read by the tool's own readers, every other image
// format through FFmpeg. Throws FlowError with a message for the user when the input cannot
// be used.
std::unique_ptr<FrameSource> open_frame_source(const std::string& input);
// Still images named one by one (a glob that the shell expanded), read in the order given.
std::unique_ptr<FrameSource> open_image_files(const std::vector<std::string>& files);

// The files of a folder or glob pattern as the tool will read them (exposed for tests).
std::vector<std::string> list_image_files(const std::string& input);

// Video through the FFmpeg libraries (video_source.cpp).
std::unique_ptr<FrameSource> open_video_source(const std::string& path);
// One still image of any format FFmpeg reads (JPEG, BMP, TIFF, WebP, ...), as grey levels.
GreyImage read_image_with_ffmpeg(const std::string& path);
// FFmpeg's messages go through the tool's own: shown (after "orvane-flow: ffmpeg: ") only
// when verbose; otherwise kept quiet. Call once before any FFmpeg use.
void route_ffmpeg_log(bool verbose);

// The built-in sequence: a textured background under a known affine motion and a textured
// disc crossing it on a path of its own, rounded to whole grey levels as a camera would
// deliver them. Deterministic: the same frames on every machine and every run.
class DefaultSequence : public FrameSource {
  public:
    static constexpr int32_t kColumns = 320;
    static constexpr int32_t kLines = 240;
    static constexpr int32_t kFrames = 120;

    DefaultSequence();
    bool next(GreyImage& frame) override;
    bool skip() override { return index_ < kFrames ? (++index_, true) : false; }
    int64_t frame_count() const override { return kFrames; }
    std::string description() const override { return "the built-in default sequence"; }
    std::optional<AffineMotion> known_motion() const override;

    // Frame m (0-based) without advancing.
    GreyImage render(int32_t m) const;

    // The crossing disc in frame m: centre and radius [pixels], velocity [pixels per frame].
    struct Object {
        double x, y, radius, u, v;
    };
    static Object object_at(int32_t m);

  private:
    double texture(double x, double y) const;  // periodic, band-limited, mean 0, std about 1

    std::vector<float> texture_;  // kTexture x kTexture
    int32_t index_ = 0;
};
