#include "engine/motion_engine.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <span>
#include <utility>

#include "engine/engine_rules.hpp"
#include "engine/engine_stages.hpp"
#include "engine/fused_rows.hpp"
#include "primitives/primitives.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

using namespace engine_rules;

namespace {

// Row step [bytes] that prim_malloc_32f gives an image `width` floats wide.
int64_t allocated_step(int64_t width) {
    return (4 * width + 31) & ~int64_t{31};
}

constexpr int64_t kSkewPeriod = 4096;  // [bytes]
constexpr int64_t kLine = 64;          // [bytes]

// The most bytes one block may hold: the allocator's count is a signed 32-bit int, and it adds
// its alignment slack and back-pointer; the block itself holds a line of slack that aligns its
// first image.
constexpr int64_t kBlockLimit =
    std::numeric_limits<int32_t>::max() - 32 - static_cast<int64_t>(sizeof(void*)) - kLine;

// True when a width x height image has a byte count that fits one block.
bool fits_allocator(int64_t width, int64_t height) {
    // Both factors are bounded first so that their product cannot overflow 64 bits either.
    const int64_t step = allocated_step(width);
    if (step > kBlockLimit || height > kBlockLimit) return false;
    return step * height <= kBlockLimit;
}

// Large blocks come from the system's page allocator and so all start at the same offset in a
// 4 KiB page. The fused pipeline writes a dozen images at the same pixel in one loop, and
// addresses that agree in their low 12 bits share one set of the first-level cache (8 ways) and
// look alike to the processor's check of loads against earlier stores: the mode stage ran at half
// its speed. So the n-th image starts n * 64 bytes past the start of a page (whole cache lines for
// the streaming stores, too). Consecutive lines in the order of the images matter: with three
// lines between images, each image still on a line of its own, 1920x1080 took 8 % longer.
//
// The images lie one after another in one block, each at the first place past the one before
// that lies on its line. In one block the gaps cost a few kilobytes in all, where a block per
// image would spend its own part-filled last page on its skew. A block ends where the allocator's
// 32-bit byte count would overflow, so very large frames take a few blocks. Builds with the address
// checker give each image its own block, so that a write past one image's end is caught there
// instead of landing in the next image.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kBlockPerImage = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kBlockPerImage = true;
#else
constexpr bool kBlockPerImage = false;
#endif
#else
constexpr bool kBlockPerImage = false;
#endif

// The first offset at or past `offset` that lies `line` lines past the start of a page.
int64_t first_at_line(int64_t offset, int64_t line) {
    const int64_t place = line * kLine % kSkewPeriod;
    return offset + ((place - offset % kSkewPeriod) % kSkewPeriod + kSkewPeriod) % kSkewPeriod;
}

// A frame's sweep walks a dozen images at once, a new 4 KiB page of each every thousand pixels,
// and the address translations add up: with large pages a 1920x1080 frame takes a fifth less
// time, 2560x1440 a seventh, 640x480 and 1280x720 about 4 % less. Where the system keeps
// large pages for the asking (Linux's transparent huge pages in "madvise" mode), the whole 2 MiB
// pages inside the block are asked for, before the block is first written (the clearing below),
// so that they are taken as large pages from the start. A refusal changes nothing but speed.
void ask_for_large_pages(void* block, int64_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kLarge = uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<uintptr_t>(block);
    const uintptr_t first = (begin + kLarge - 1) & ~(kLarge - 1);
    const uintptr_t last = (begin + static_cast<uintptr_t>(bytes)) & ~(kLarge - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#else
    (void)block;
    (void)bytes;
#endif
}

}  // namespace

// Places the requested images into as few zeroed blocks as the allocator allows (see above) and
// sets their handles. Every byte of every block is cleared, row gaps included, so that no
// uninitialised heap memory ever leaves the engine. Returns false, with the blocks taken so far
// recorded for destroy, when an allocation fails.
bool MotionEngine::allocate_images(std::span<const ImageRequest> requests) {
    if (requests.size() > static_cast<size_t>(kMaxBlocks)) return false;
    int64_t offsets[kMaxBlocks] = {};
    int32_t block_of[kMaxBlocks] = {};
    int64_t block_bytes[kMaxBlocks] = {};
    int32_t blocks = 0;
    int64_t cursor = 0;
    for (size_t i = 0; i < requests.size(); ++i) {
        const auto line = static_cast<int64_t>(i) + 1;
        int64_t start = first_at_line(cursor, line);
        const bool new_block =
            blocks == 0 || kBlockPerImage || start + requests[i].bytes > kBlockLimit;
        if (new_block) {
            ++blocks;
            start = first_at_line(0, line);
        }
        offsets[i] = start;
        block_of[i] = blocks - 1;
        cursor = start + requests[i].bytes;
        block_bytes[blocks - 1] = cursor;
    }
    float* bases[kMaxBlocks] = {};
    for (int32_t b = 0; b < blocks; ++b) {
        // The block is taken as one row of floats: the images and a line of alignment slack.
        const int64_t floats = (block_bytes[b] + kLine) / 4;
        if (floats > std::numeric_limits<int32_t>::max()) return false;
        int32_t block_step = 0;
        float* block = prim_malloc_32f(static_cast<int32_t>(floats), 1, &block_step);
        if (block == nullptr) return false;
        blocks_[block_count_++] = block;
        ask_for_large_pages(block, floats * 4);
        prim_set_32f(0.0f, block, block_step, Size{static_cast<int32_t>(floats), 1});
        const auto to_line =
            static_cast<int64_t>((kLine - reinterpret_cast<uintptr_t>(block) % kLine) % kLine);
        bases[b] = block + to_line / 4;
    }
    for (size_t i = 0; i < requests.size(); ++i) {
        *requests[i].handle = bases[block_of[i]] + offsets[i] / 4;
    }
    return true;
}

MotionEngine::~MotionEngine() {
    destroy();
}

bool MotionEngine::create(int32_t new_columns, int32_t new_lines, float new_regularizer,
                          int32_t new_time_derivative, int32_t new_flags) {
    // A second create without destroy would otherwise leak the buffers of the first one.
    destroy();

    columns = new_columns;
    lines = new_lines;
    regularizer = new_regularizer;
    time_derivative = new_time_derivative;
    flags = new_flags;
    frames_processed = 0;
    ring_index = 0;
    border = kBorder;

    // Reject geometries whose sizes or byte counts do not fit before anything is allocated:
    // (columns + 4) alone can overflow a 32-bit int.
    const int64_t padded_width = int64_t{new_columns} + 2 * kBorder;
    const int64_t padded_height = int64_t{new_lines} + 2 * kBorder;
    if (new_columns <= 0 || new_lines <= 0 || !fits_allocator(padded_width, padded_height)) {
        return false;
    }
    const auto bordered_width = static_cast<int32_t>(padded_width);
    const auto bordered_height = static_cast<int32_t>(padded_height);

    // Each allocation is tested before anything is written through it; on the first failure
    // everything taken so far is released and the engine is left empty.
    auto fail = [this] {
        destroy();
        return false;
    };

    // The two tap sets, then every image of the mode, the bordered ones first; the ring must read
    // as zeros, border included: the time derivatives read slots of frames that do not exist yet.
    padded_step = static_cast<int32_t>(allocated_step(bordered_width));
    plain_step = static_cast<int32_t>(allocated_step(new_columns));
    const int64_t bordered_bytes = int64_t{padded_step} * bordered_height;
    const int64_t plain_bytes = int64_t{plain_step} * new_lines;
    ImageRequest requests[kMaxBlocks];
    int32_t count = 0;
    auto want = [&](float*& handle, int64_t bytes) { requests[count++] = {&handle, bytes}; };
    want(smooth_taps, allocated_step(kTaps));
    want(deriv_taps, allocated_step(kTaps));
    want(Is, bordered_bytes);
    for (float*& slot : history_ring) want(slot, bordered_bytes);
    want(It, plain_bytes);
    const auto products = product_members(flags);
    if (time_derivative == TD_RECURSIVE &&
        !updates_it_in_place(results_leave_cache(), plain_bytes,
                             engine_fused::largest_cache_bytes())) {
        want(It_prev, plain_bytes);
    }
    for (float* MotionEngine::*product : products) want(this->*product, plain_bytes);
    workspace_bands_ = fused_workspace_bands(bordered_bytes);
    const int64_t band_bytes = workspace_bands_ * fused_band_bytes();
    want(workspace, products.empty() ? std::max(band_bytes, plain_bytes) : band_bytes);
    if (!allocate_images({requests, static_cast<size_t>(count)})) return fail();
    for (int32_t k = 0; k < kTaps; ++k) {
        smooth_taps[k] = kSmoothTaps[k];
        deriv_taps[k] = kDerivTaps[k];
    }
    interior_offset = border * (padded_step / 4) + border;

    return true;
}

float* MotionEngine::*MotionEngine::image_member(EngineImage which) {
    // Indexed by EngineImage, in its order.
    using E = MotionEngine;
    static constexpr float* E::*images[] = {&E::Is,  &E::It,  &E::It2, &E::Ix,  &E::Iy,
                                            &E::Ix2, &E::Iy2, &E::Ig2, &E::Ixy, &E::Ixt,
                                            &E::Iyt, &E::Fn2, &E::Un,  &E::Vn};
    static_assert(std::size(images) == kResultImageCount);
    const auto index = static_cast<size_t>(which);
    return index < std::size(images) ? images[index] : nullptr;
}

// The buffer plan of each mode, from the description of the result images.
std::span<float * MotionEngine::*const> MotionEngine::product_members(int32_t mode_flags) {
    struct Plan {
        float* MotionEngine::*members[kResultImageCount] = {};
        size_t count = 0;
    };
    static const auto plans = [] {
        const int32_t bits[] = {FLAG_CHANGE_DETECTION, FLAG_AFFINE_PARAMS, FLAG_ORVANE, FLAG_ALL};
        std::array<Plan, std::size(bits)> made{};
        for (size_t m = 0; m < std::size(bits); ++m) {
            for (const ResultImageInfo& r : kResultImages) {
                if (r.image == EngineImage::Is || r.image == EngineImage::It) continue;
                if (r.modes & bits[m]) made[m].members[made[m].count++] = image_member(r.image);
            }
        }
        return made;
    }();
    switch (mode_of(mode_flags)) {
        case Mode::change_detection:
            return {plans[0].members, plans[0].count};
        case Mode::affine_params:
            return {plans[1].members, plans[1].count};
        case Mode::orvane:
            return {plans[2].members, plans[2].count};
        case Mode::all:
            return {plans[3].members, plans[3].count};
        case Mode::none:
            break;
    }
    return {};
}

bool MotionEngine::results_leave_cache() const {
    const auto images = static_cast<int64_t>(product_members(flags).size()) + 2;  // + Is, It
    return engine_rules::results_leave_cache(int64_t{plain_step} * lines, images);
}

float* MotionEngine::image_written_later() const {
    const auto products = product_members(flags);
    return products.empty() ? workspace : this->*products[0];
}

void MotionEngine::destroy() {
    // Releases only what is held, so that destroy also serves as the cleanup of a create that
    // failed half-way, and a second destroy does nothing.
    leave_ring_alias();
    for (int32_t i = 0; i < block_count_; ++i) prim_free(blocks_[i]);
    block_count_ = 0;
    for (float** handle : {&smooth_taps, &Is, &workspace, &It_prev, &It, &deriv_taps}) {
        *handle = nullptr;
    }
    for (float*& slot : history_ring) slot = nullptr;
    // Mode "all" holds every product, so its list covers whatever any mode took.
    for (float* MotionEngine::*product : product_members(FLAG_ALL)) this->*product = nullptr;
    for (float*& slot : time_window) slot = nullptr;
    workspace_bands_ = 0;
}

void MotionEngine::leave_ring_alias() {
    if (is_spare_ == nullptr) return;
    Is = is_spare_;
    is_spare_ = nullptr;
}

void MotionEngine::process(const float* frame) {
    // An engine without buffers, or a missing frame, is a caller error that the component
    // prevents; doing nothing is the only safe answer here.
    if (Is == nullptr || frame == nullptr) return;

    // The counter saturates instead of overflowing; the ring position is kept modulo 5 on its
    // own, so the slots follow frame m -> slot (m - 1) mod 5 for ever.
    if (frames_processed < std::numeric_limits<int32_t>::max()) ++frames_processed;
    ring_index = (ring_index + 1) % kRingSize;

    last_frame_fused_ = fused_selected();
    if (last_frame_fused_) {
        process_fused(frame);
        return;
    }
    // The kernel sequence works in `Is` and copies it into the ring: it needs its own block.
    leave_ring_alias();
    load_input(frame, columns * 4);
    update_time_derivative();
    mode_products();
}

void MotionEngine::load_input(const float* frame, int32_t step) {
    const Size roi{columns, lines};
    float* is = Is + interior_offset;
    prim_copy_32f(frame, step, is, padded_step, roi);

    if (flags & FLAG_INPUT_FILTER) {
        // The row pass goes into the ring slot that this frame takes next: its frame (n - 5)
        // has left the window.
        float* sc = history_ring[(ring_index + kRingSize - 1) % kRingSize] + interior_offset;
        engine_stages::smooth(is, sc, padded_step, roi);
    }

    // Bordered once, here: the ring stores this buffer with its border, so no stored frame
    // ever needs its border rebuilt.
    engine_stages::fill_border(is, padded_step, roi);
}

void MotionEngine::update_time_derivative() {
    // Slot k of the window is frame n - 4 + k; slot 4 is the ring slot of the current frame.
    for (int32_t k = 0; k < kRingSize; ++k) {
        time_window[k] = history_ring[(ring_index + k) % kRingSize];
    }
    const int32_t bordered_width = columns + 2 * kBorder;
    const int32_t bordered_height = lines + 2 * kBorder;
    prim_copy_32f(Is, padded_step, time_window[4], padded_step,
                  Size{bordered_width, bordered_height});

    const Size roi{columns, lines};
    if (time_derivative == TD_RECURSIVE) {
        // The previous derivative becomes the state of the running average without a copy.
        if (It_prev != nullptr) std::swap(It, It_prev);
        if (frames_processed == 1) {
            prim_set_32f(0.0f, It, plain_step, roi);
        } else if (It_prev != nullptr) {
            prim_subtract_32f(time_window[3] + interior_offset, padded_step,
                              time_window[4] + interior_offset, padded_step, It, plain_step, roi);
            prim_add_weighted_inplace_32f(It_prev, plain_step, It, plain_step, roi,
                                          kRecursiveWeight);
        } else {
            // No image for the previous derivative: the difference goes into an image that the
            // mode stage writes later (or, in a mode without one, the workspace) and moves towards
            // the previous derivative, still in It; then the two exchange their buffers.
            float* fresh = image_written_later();
            prim_subtract_32f(time_window[3] + interior_offset, padded_step,
                              time_window[4] + interior_offset, padded_step, fresh, plain_step,
                              roi);
            prim_add_weighted_inplace_32f(It, plain_step, fresh, plain_step, roi, kRecursiveWeight);
            const auto products = product_members(flags);
            if (products.empty()) {
                prim_copy_32f(fresh, plain_step, It, plain_step, roi);
            } else {
                std::swap(It, this->*products[0]);
            }
        }
    } else {
        if (frames_processed < kRingSize) {
            prim_set_32f(0.0f, It, plain_step, roi);
        } else {
            batch_time_derivative(time_window, It);
        }
    }
}

void MotionEngine::batch_time_derivative(float* const window[5], float* dst) {
    // It = a (f[n-1] - f[n-3]) - (1 - a) (f[n] - f[n-4]), centred on frame n - 2, formed as
    // the outer difference moved towards the inner one by a.
    const float* frames[kRingSize];
    for (int32_t k = 0; k < kRingSize; ++k) frames[k] = window[k] + interior_offset;
    // The inner difference goes into an image that the mode stage writes later.
    engine_stages::batch_time_derivative(frames, padded_step, dst, image_written_later(),
                                         plain_step, Size{columns, lines});
}

void MotionEngine::spatial_derivatives() {
    // The batch derivative is centred on frame n - 2, so the spatial derivatives are taken
    // from that frame there, and from the current frame in the recursive mode.
    const float* source = time_derivative == TD_RECURSIVE ? Is : time_window[2];
    source += interior_offset;
    engine_stages::spatial_derivatives(source, padded_step, Ix, Iy, plain_step,
                                       Size{columns, lines});
}

void MotionEngine::mode_products() {
    const Size roi{columns, lines};
    const int32_t s = plain_step;
    auto sqr = [&](const float* src, float* dst) { prim_sqr_32f(src, s, dst, s, roi); };
    auto mul = [&](const float* a, const float* b, float* dst) {
        prim_mul_32f(a, s, b, s, dst, s, roi);
    };
    auto divide = [&](const float* divisor, const float* dividend, float* dst) {
        prim_div_32f(divisor, s, dividend, s, dst, s, roi);
    };
    auto squared_gradient = [&] {
        prim_add_32f(Ix2, s, Iy2, s, Ig2, s, roi);
        // A NaN regularizer compares unequal to 0 and is added, so it shows in the results.
        if (regularizer != 0.0f) prim_add_const_inplace_32f(regularizer, Ig2, s, roi);
    };
    auto quotients = [&] {
        divide(Ig2, It2, Fn2);
        divide(Ig2, Ixt, Un);
        divide(Ig2, Iyt, Vn);
    };

    switch (mode_of(flags)) {
        case Mode::change_detection:
            sqr(It, It2);
            break;
        case Mode::affine_params:
            spatial_derivatives();
            sqr(Ix, Ix2);
            sqr(Iy, Iy2);
            mul(Ix, Iy, Ixy);
            mul(Ix, It, Ixt);
            mul(Iy, It, Iyt);
            break;
        case Mode::orvane:
            sqr(It, It2);
            spatial_derivatives();
            sqr(Ix, Ix2);
            sqr(Iy, Iy2);
            squared_gradient();
            mul(Ix, It, Ixt);
            mul(Iy, It, Iyt);
            quotients();
            break;
        case Mode::all:
            sqr(It, It2);
            spatial_derivatives();
            sqr(Ix, Ix2);
            sqr(Iy, Iy2);
            squared_gradient();
            mul(Ix, Iy, Ixy);
            mul(Ix, It, Ixt);
            mul(Iy, It, Iyt);
            quotients();
            break;
        case Mode::none:
            break;
    }
}

const float* MotionEngine::get_image(EngineImage which) const {
    float* MotionEngine::*member = image_member(which);
    return member != nullptr ? this->*member : nullptr;
}

const float* MotionEngine::get_history_ring(int32_t slot) const {
    if (slot < 0 || slot >= kRingSize) return nullptr;
    return history_ring[slot];
}

const float* MotionEngine::get_time_window(int32_t slot) const {
    if (slot < 0 || slot >= kRingSize) return nullptr;
    return time_window[slot];
}
