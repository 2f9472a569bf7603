// Stabilizer: the stabilised video (--stabilize OUT.mp4), the input re-rendered with its camera
// path smoothed: the intended motion kept, the shake taken out.
//
// Two passes over the input. While the run measures, it registers every frame onto the frame
// before (FrameAligner) and hands the step to add_step(): the camera's motion from frame to
// frame, each jump itself (the tracker's global motion is a velocity over five frames, which
// averages the jumps). render() then accumulates the steps into the camera path, smooths
// it (analysis/camera_path.hpp: a Gaussian of `smoothing_s` in time, or one path of constant
// velocity for a tripod), reads the input again from its start and warps each frame in colour
// (every plane of YUV 4:2:0, with the Catmull-Rom cubic) by the difference between the path
// and the smoothed one. The borders that the warps open are hidden by one zoom for the whole
// video (crop), or left black, or filled with the picture mirrored at its edges. The frames are
// encoded as H.264 with the input's time stamps and colour, and its sound copied. The output
// is registered again frame by frame, so the result says how much shake is left.
//
// The run owns one Stabilizer: add_step() is called from one pipeline stage, render() once at
// the end, from the run's thread, before the output folder is committed; publish() after.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/camera_path.hpp"
#include "analysis/frame_align.hpp"
#include "flow/frame_source.hpp"
#include "flow/video_writer.hpp"

struct StabilizeOptions {
    std::string video;         // the stabilised video; empty: none
    double smoothing_s = 1.0;  // the Gaussian's standard deviation over the camera path [s]
    bool tripod = false;       // a path of constant velocity instead
    std::string borders = "crop";  // crop (one zoom hides them), black or mirror
};

// The warp's handling of what falls outside the input picture.
enum class Borders { crop, black, mirror };
// False for a keyword that is none of crop, black, mirror.
bool parse_borders(const std::string& keyword, Borders* borders);

// out(p) = in(map(p)) for every pixel p of the output plane, by the Catmull-Rom cubic. Outside
// the input: the nearest edge pixel (crop, where the zoom keeps the reads inside anyway),
// `fill` (black), or the picture mirrored at its edges (mirror). Strides in bytes.
void warp_plane(const uint8_t* in, int32_t in_columns, int32_t in_lines, ptrdiff_t in_stride,
                uint8_t* out, int32_t out_columns, int32_t out_lines, ptrdiff_t out_stride,
                const Affine2D& map, Borders borders, uint8_t fill);

// What the stabilisation did, for summary.json, the report and motion.png.
struct StabilizeResult {
    int64_t frames = 0;     // frames written
    int64_t unaligned = 0;  // steps that could not be measured (the step before was repeated)
    double zoom = 1.0;      // the crop's zoom (1 for black and mirror borders)
    bool zoom_enough = true;  // false: the crop's zoom was capped and some borders show
    ShakeRms shake;           // in the input: how far the warps moved the frames [px]
    ShakeRms residual;        // measured again on the output [px]
    int64_t residual_unaligned = 0;
    std::string audio;  // what became of the sound
    double wall_s = 0, cpu_s = 0;  // of the rendering pass, decoding and encoding included
    // Per frame, for the plot: the frame number, and the camera path's displacement of the
    // image centre [px], measured and smoothed.
    std::vector<double> frame, path_x, path_y, smooth_x, smooth_y;
};

class Stabilizer {
  public:
    // The crop's zoom is capped here: beyond it more than half the picture would be lost.
    static constexpr double kMaxZoom = 2.0;

    // `source`: the input as opened for measuring (its size, frame rate, time base and colour);
    // `input`: its path, read again by render() for the frames and the sound (empty: the
    // built-in sequence); `replace`: an existing video may be replaced. Opens the video file
    // (hidden until publish()), so a name in the way is refused before any frame is measured.
    Stabilizer(const StabilizeOptions& options, const FrameSource& source,
               const std::string& input, bool replace);
    ~Stabilizer();
    Stabilizer(const Stabilizer&) = delete;
    Stabilizer& operator=(const Stabilizer&) = delete;

    // The next frame of the run in input order: the motion from the frame before to it (as
    // FrameAligner measures it at the input's full size; empty for the first frame or where
    // it could not be measured), and its time in the input [s] (NaN when it has none).
    void add_step(const std::optional<AffineMotion>& step, double time_s);

    // Plans the smoothed path from the frames measured, reads them again from `again` (opened
    // anew, positioned at the first measured frame) and writes the video. `cancelled` is asked
    // between frames; when it says yes, nothing is written and the result is empty.
    // `on_frame(done)` follows the progress.
    std::optional<StabilizeResult> render(FrameSource& again,
                                          const std::function<bool()>& cancelled,
                                          const std::function<void(int64_t)>& on_frame);
    // Renames the finished video to its final name (after the output folder's commit).
    void publish();
    // Removes the video when render() did not write it (before the output folder's commit).
    void discard();
    const std::string& encoder() const { return writer_->encoder(); }

  private:
    StabilizeOptions options_;
    Borders borders_ = Borders::crop;
    int32_t columns_, lines_;  // of the input
    int32_t out_columns_, out_lines_;  // even, as 4:2:0 needs
    double fps_;
    std::vector<std::optional<AffineMotion>> steps_;
    std::vector<double> times_;
    std::unique_ptr<VideoWriter> writer_;
    bool written_ = false;
};
