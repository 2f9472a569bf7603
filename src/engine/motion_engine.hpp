// MotionEngine: every image buffer of one geometry and computation mode, and the per-frame
// pipeline that keeps them up to date.
//
// It owns all buffers it allocates from create() to destroy() (or to its destruction). The
// component calls create() from create_orvane, process() from process_data and destroy() from
// destroy_orvane, and copies results straight out of the buffers through the read accessors.
// The engine validates nothing (the component has checked geometry, modes and the frame) and
// allocates nothing per frame. Calls on one engine must not overlap.
#pragma once

#include <bit>
#include <cstdint>
#include <iterator>
#include <span>

inline constexpr int32_t TD_RECURSIVE = 0;
inline constexpr int32_t TD_BATCH = 1;

inline constexpr int32_t FLAG_INPUT_FILTER = 0x01;
inline constexpr int32_t FLAG_CHANGE_DETECTION = 0x02;
inline constexpr int32_t FLAG_ORVANE = 0x04;
inline constexpr int32_t FLAG_AFFINE_PARAMS = 0x08;
inline constexpr int32_t FLAG_ALL = 0x10;

// Which code computes a frame. The whole-image kernel sequence (one kernel call per image, through
// the variant table) is the reference. The fused pipeline computes the same bits in one sweep of
// rows with the intermediates in cache, with the arithmetic of whichever variant column the slots
// hold (every arithmetic slot from one column), and is chosen by `automatic` whenever they do.
// `fused` is the same choice made explicit; where no fused pipeline matches the slots (slots of
// mixed columns, or a build without one), both fall back to the kernels. `kernels` always runs the
// kernel sequence.
enum class EnginePath : int32_t { automatic, kernels, fused };

// Whether the fused pipeline writes its result images with stores that bypass the cache.
// `automatic` does so for frames too large for the cache to keep them until the next frame.
enum class StreamStores : int32_t { automatic, never, always };

// Process-wide number of threads that split the rows of one frame of the fused pipeline into
// bands (results are identical for any count). Defaults to 1 so that a host's own threads are left
// alone; the environment variable ORVANE_THREADS (1 to 64), read once, sets the starting value.
// Out-of-range values are clamped. Engines created before a change follow it from their next frame
// (as far as their workspace allows: small frames may run fewer bands).
void engine_set_threads(int32_t threads);
int32_t engine_threads();
// The path new engines start with (ORVANE_ENGINE_PATH, read once; automatic without it).
EnginePath engine_default_path();

// The result buffers, in declaration order; `Is` (bordered) and `It` first.
enum class EngineImage : int32_t { Is, It, It2, Ix, Iy, Ix2, Iy2, Ig2, Ixy, Ixt, Iyt, Fn2, Un, Vn };

// ---- the result images: what each is called, which computation modes compute it, where it lies
// One description for every layer: the engine allocates the buffers of a mode from it, the
// component hands the images out by it, and the hosts (the Python module, orvane-flow) name and
// offer them by it.
enum class ImageRegion : int32_t {
    interior,  // the columns x lines interior of a bordered buffer (`Is`)
    plain,     // a whole columns x lines buffer
};
struct ResultImageInfo {
    EngineImage image;
    const char* name;  // the property that hands it out
    int32_t modes;     // FLAG_ bits of the computation modes that compute it
    ImageRegion region;
};
inline constexpr int32_t FLAG_EVERY_MODE =
    FLAG_CHANGE_DETECTION | FLAG_ORVANE | FLAG_AFFINE_PARAMS | FLAG_ALL;
// In EngineImage order.
inline constexpr ResultImageInfo kResultImages[] = {
    {EngineImage::Is, "Is", FLAG_EVERY_MODE, ImageRegion::interior},
    {EngineImage::It, "It", FLAG_EVERY_MODE, ImageRegion::plain},
    {EngineImage::It2, "It2", FLAG_CHANGE_DETECTION | FLAG_ORVANE | FLAG_ALL, ImageRegion::plain},
    {EngineImage::Ix, "Ix", FLAG_AFFINE_PARAMS | FLAG_ORVANE | FLAG_ALL, ImageRegion::plain},
    {EngineImage::Iy, "Iy", FLAG_AFFINE_PARAMS | FLAG_ORVANE | FLAG_ALL, ImageRegion::plain},
    {EngineImage::Ix2, "Ix2", FLAG_AFFINE_PARAMS | FLAG_ORVANE | FLAG_ALL, ImageRegion::plain},
    {EngineImage::Iy2, "Iy2", FLAG_AFFINE_PARAMS | FLAG_ORVANE | FLAG_ALL, ImageRegion::plain},
    {EngineImage::Ig2, "Ig2", FLAG_ORVANE | FLAG_ALL, ImageRegion::plain},
    {EngineImage::Ixy, "Ixy", FLAG_AFFINE_PARAMS | FLAG_ALL, ImageRegion::plain},
    {EngineImage::Ixt, "Ixt", FLAG_AFFINE_PARAMS | FLAG_ORVANE | FLAG_ALL, ImageRegion::plain},
    {EngineImage::Iyt, "Iyt", FLAG_AFFINE_PARAMS | FLAG_ORVANE | FLAG_ALL, ImageRegion::plain},
    {EngineImage::Fn2, "Fn2", FLAG_ORVANE | FLAG_ALL, ImageRegion::plain},
    {EngineImage::Un, "Un", FLAG_ORVANE | FLAG_ALL, ImageRegion::plain},
    {EngineImage::Vn, "Vn", FLAG_ORVANE | FLAG_ALL, ImageRegion::plain},
};
inline constexpr int32_t kResultImageCount = static_cast<int32_t>(std::size(kResultImages));
static_assert([] {
    for (int32_t i = 0; i < kResultImageCount; ++i)
        if (static_cast<int32_t>(kResultImages[i].image) != i) return false;
    return true;
}());

// The mode bit that `flags` selects. The component sets exactly one; should several be set, the
// bits are tested in this fixed order and the first one wins, so create, process and destroy
// always agree. 0 when no mode bit is set.
constexpr int32_t engine_mode_bit(int32_t flags) {
    for (int32_t bit : {FLAG_CHANGE_DETECTION, FLAG_AFFINE_PARAMS, FLAG_ORVANE, FLAG_ALL})
        if (flags & bit) return bit;
    return 0;
}
// Whether the computation mode of `flags` computes the image.
constexpr bool engine_computes(EngineImage which, int32_t flags) {
    return (kResultImages[static_cast<int32_t>(which)].modes & engine_mode_bit(flags)) != 0;
}

// ---- the filters and time weights, with the gains they put on the derivative images -------
// For hosts that turn the derivatives into motion, and for benchmarks that run the same kernels.
namespace engine_filters {

inline constexpr int32_t kTaps = 5;
inline constexpr int32_t kAnchor = 2;
// Binomial-like smoothing (31, 60, 74, 60, 31)/256: exact in single precision, sums to 1.
inline constexpr float kSmoothTaps[kTaps] = {31.0f / 256, 60.0f / 256, 74.0f / 256, 60.0f / 256,
                                             31.0f / 256};
// Derivative kernel; the filters convolve (taps applied reversed), so tap 0 weighs the pixel
// two to the right and the result is positive where brightness grows to the right or down.
inline constexpr float kDerivTaps[kTaps] = {-29.0f / 256, 227.0f / 256, 0.0f, -227.0f / 256,
                                            29.0f / 256};
// Weight of the inner frame difference in the five-frame time derivative. It is 0.8867 rounded
// to single precision, deliberately not the spatial tap 227/256.
inline constexpr float kBatchWeight = std::bit_cast<float>(uint32_t{0x3F62FEC5});
// Weight of the previous derivative in the recursive time derivative (the newest difference
// takes the rest).
inline constexpr float kRecursiveWeight = 0.5f;

// What the spatial derivative reads on a unit ramp (brightness x): 338/256.
constexpr double spatial_gain() {
    double gain = 0;
    for (int32_t k = 0; k < kTaps; ++k) gain += double{kDerivTaps[k]} * (kAnchor - k);
    return gain;
}
// What the batch derivative reads on brightness growing by 1 per frame: the outer difference
// (-4) moved towards the inner one (2) by the batch weight, 6a - 4.
constexpr double batch_temporal_gain() {
    const double a = kBatchWeight;
    return -4.0 + a * (2.0 - -4.0);
}
// The same for the recursive derivative on frame n (1-based): the first frame hands out zeros,
// and every later one averages the newest difference (1) with the previous derivative, so the
// gain is 1 - w^(n-1) while the average fills.
inline double recursive_temporal_gain(int64_t frame_count) {
    double gain = 0;
    for (int64_t n = 2; n <= frame_count && n <= 64; ++n)
        gain = 1.0 + double{kRecursiveWeight} * (gain - 1.0);
    return gain;
}

}  // namespace engine_filters

class MotionEngine {
  public:
    MotionEngine() = default;
    virtual ~MotionEngine();  // releases buffers still held
    MotionEngine(const MotionEngine&) = delete;
    MotionEngine& operator=(const MotionEngine&) = delete;

    // Stores the settings and allocates (and zero-fills) every buffer of the mode, releasing
    // first whatever an earlier create still holds. Returns false, holding no buffer, when an
    // allocation fails or the geometry is empty or its byte count does not fit; true otherwise.
    bool create(int32_t columns, int32_t lines, float regularizer, int32_t time_derivative,
                int32_t flags);
    // Releases every buffer; every handle is null afterwards.
    void destroy();
    // One frame of `lines` rows of `columns` floats, rows contiguous. Does nothing (and counts
    // no frame) on an engine without buffers or for a null frame.
    void process(const float* frame);

    // ---- read access for the component ----
    // Base address of a result buffer (null when the mode does not allocate it). `Is` is
    // bordered: add get_interior_offset() floats to reach pixel (0, 0).
    const float* get_image(EngineImage which) const;
    // Bordered base addresses. The ring is in storage order (slot i holds the latest frame m
    // with (m - 1) mod 5 = i), the window in time order (slot 4 the newest frame); null for a
    // slot outside 0..4, and the window is null before the first frame.
    const float* get_history_ring(int32_t slot) const;
    const float* get_time_window(int32_t slot) const;
    int32_t get_interior_offset() const { return interior_offset; }
    int32_t get_padded_step() const { return padded_step; }
    int32_t get_plain_step() const { return plain_step; }
    int32_t get_columns() const { return columns; }
    int32_t get_lines() const { return lines; }
    int32_t get_frames_processed() const { return frames_processed; }
    bool is_created() const { return Is != nullptr; }

    // ---- choice of pipeline ----
    // The path for this engine's next frames. The starting value is process-wide: the environment
    // variable ORVANE_ENGINE_PATH ("kernels", "fused" or "auto"), read once, else automatic.
    void set_path(EnginePath path) { path_ = path; }
    EnginePath get_path() const { return path_; }
    void set_stream_stores(StreamStores stores) { stream_stores_ = stores; }
    // True when the next frame would run the fused pipeline: it exists for the kernels that the
    // slots of the variant table hold now, and the path allows it.
    bool fused_selected() const;
    // True when the last frame processed ran the fused pipeline.
    bool last_frame_fused() const { return last_frame_fused_; }
    // The instruction-set flavour of the fused pipeline's row routines ("base", "avx2", "avx512").
    static const char* fused_flavour();
    // Whether this build has a fused pipeline for the kernels of variant column `column`. False
    // for every column in builds that evaluate single-precision expressions in a wider format (as
    // x87 code does): every frame there runs the kernel sequence.
    static bool fused_available(int32_t column = 0);

  private:
    // The tests read the settings and the internal buffers through it
    // (tests/unit/engine/engine_test_access.hpp).
    friend struct MotionEngineTestAccess;

    // The handle of a result buffer.
    static float* MotionEngine::*image_member(EngineImage which);
    // The product handles that a mode allocates (every result image but Is and It that the mode
    // computes), in allocation order.
    static std::span<float * MotionEngine::*const> product_members(int32_t mode_flags);
    // Whether a frame's result images (the mode's products, It and Is) together leave the cache.
    bool results_leave_cache() const;
    // A plain image that the kernel sequence may fill before its mode stage: the first product,
    // which the mode stage writes later, or the workspace in a mode without products.
    float* image_written_later() const;
    // One image to place: where its handle lives and how many bytes it spans.
    struct ImageRequest {
        float** handle = nullptr;
        int64_t bytes = 0;
    };
    // Places the images in zeroed blocks from the allocation slot, recorded for destroy, each at
    // its own offset within the page (see motion_engine.cpp).
    bool allocate_images(std::span<const ImageRequest> requests);
    void load_input(const float* frame, int32_t step);
    void update_time_derivative();
    void batch_time_derivative(float* const window[5], float* dst);
    void mode_products();
    void spatial_derivatives();

    // ---- fused pipeline (motion_engine_fused.cpp) ----
    struct FusedFrame;
    struct BandWork;
    // Bytes of workspace that one band needs, and how many bands a workspace for this geometry
    // holds: as many as the threads setting asks for at create, eight at least, and no more than
    // fit in the bytes of one bordered image or than the most threads.
    int64_t fused_band_bytes() const;
    int32_t fused_workspace_bands(int64_t bordered_bytes) const;
    void process_fused(const float* frame);
    // Gives `Is` its own block again (see is_spare_).
    void leave_ring_alias();
    void fused_band(const FusedFrame& f, int32_t worker, int32_t y0, int32_t y1) const;

    int32_t columns = 0;
    int32_t lines = 0;
    int32_t frames_processed = 0;
    float regularizer = 0.0f;
    int32_t time_derivative = TD_RECURSIVE;
    int32_t flags = 0;
    float* Is = nullptr;
    // The fused pipeline's rolling rows, `workspace_bands_` bands of them; also the kernel
    // sequence's batch derivative term in a mode without product images.
    float* workspace = nullptr;
    int32_t workspace_bands_ = 0;
    float* smooth_taps = nullptr;
    int32_t interior_offset = 0;
    int32_t border = 2;
    int32_t plain_step = 0;
    int32_t padded_step = 0;
    float* It = nullptr;
    // The previous It in the recursive rule; null where It is updated in place instead
    // (engine_rules::updates_it_in_place).
    float* It_prev = nullptr;
    float* history_ring[5] = {};
    float* deriv_taps = nullptr;
    float* time_window[5] = {};
    float* It2 = nullptr;
    float* Ix = nullptr;
    float* Iy = nullptr;
    float* Ix2 = nullptr;
    float* Iy2 = nullptr;
    float* Ig2 = nullptr;
    float* Ixy = nullptr;
    float* Ixt = nullptr;
    float* Iyt = nullptr;
    float* Fn2 = nullptr;
    float* Un = nullptr;
    float* Vn = nullptr;
    // frames_processed mod 5, kept on its own so that the ring placement never depends on a
    // counter that could overflow (the counter saturates instead).
    int32_t ring_index = 0;

    EnginePath path_ = engine_default_path();
    StreamStores stream_stores_ = StreamStores::automatic;
    bool last_frame_fused_ = false;
    // On the fused pipeline `Is` is the ring slot of the newest frame, which saves writing the
    // bordered input twice; the block allocated as `Is` then waits here, to take the next frame.
    // Null while `Is` is a block of its own (always on the kernel sequence).
    float* is_spare_ = nullptr;
    // Every block taken from the allocation slot (the images start past their block's start).
    // Also the most images one engine holds: each could need a block of its own.
    static constexpr int32_t kMaxBlocks = 24;
    float* blocks_[kMaxBlocks] = {};
    int32_t block_count_ = 0;
};
