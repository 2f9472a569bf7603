// Test support for the motion engine: reading buffers back as a host does, hooks in the
// allocation slots of the kernel table, and an independent double-precision model of the
// per-frame pipeline written pixel by pixel with clamped coordinates instead of borders.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "engine/motion_engine.hpp"
#include "primitives/primitives.hpp"

namespace engine_test {

inline std::string mode_name(int32_t flags) {
    if (flags & FLAG_CHANGE_DETECTION) return "changedetection";
    if (flags & FLAG_AFFINE_PARAMS) return "affineparams";
    if (flags & FLAG_ORVANE) return "orvane";
    if (flags & FLAG_ALL) return "all";
    return "none";
}

// Row-major image of columns x lines floats, as frames cross the component boundary.
struct Image {
    int32_t columns = 0;
    int32_t lines = 0;
    std::vector<float> px;
    Image() = default;
    Image(int32_t c, int32_t l, float value = 0.0f)
        : columns(c), lines(l), px(size_t(c) * l, value) {}
    float& at(int32_t x, int32_t y) { return px[size_t(y) * columns + x]; }
    float at(int32_t x, int32_t y) const { return px[size_t(y) * columns + x]; }
    // Pixel with the coordinates clamped into the image: the edge-replication rule.
    float clamped(int32_t x, int32_t y) const {
        x = x < 0 ? 0 : (x >= columns ? columns - 1 : x);
        y = y < 0 ? 0 : (y >= lines ? lines - 1 : y);
        return at(x, y);
    }
};

// Reads `columns` x `lines` floats starting at `origin` with a row step in bytes.
inline Image read_region(const float* origin, int32_t step, int32_t columns, int32_t lines) {
    Image out(columns, lines);
    for (int32_t y = 0; y < lines; ++y) {
        const float* row = reinterpret_cast<const float*>(
            reinterpret_cast<const unsigned char*>(origin) + ptrdiff_t(y) * step);
        for (int32_t x = 0; x < columns; ++x) out.at(x, y) = row[x];
    }
    return out;
}
inline Image read_plain(const MotionEngine& e, EngineImage which) {
    return read_region(e.get_image(which), e.get_plain_step(), e.get_columns(), e.get_lines());
}
inline Image read_interior(const MotionEngine& e, const float* bordered) {
    return read_region(bordered + e.get_interior_offset(), e.get_padded_step(), e.get_columns(),
                       e.get_lines());
}
// The whole bordered area, pixel (-2, -2) first.
inline Image read_bordered(const MotionEngine& e, const float* bordered) {
    return read_region(bordered, e.get_padded_step(), e.get_columns() + 4, e.get_lines() + 4);
}

// Equal bit patterns, or both NaN (NaN payloads are not part of any kernel's promise).
inline bool same_float(float a, float b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// Restores every slot of the kernel table when it goes out of scope, so a test may fill the
// slots from another column or hook the allocator without affecting the next test.
class SlotSnapshot {
  public:
    SlotSnapshot() {
        for (int32_t i = 0; i < prim_dispatch_count; ++i)
            saved_[i] = prim_dispatch_table[i].slot->load(std::memory_order_relaxed);
    }
    ~SlotSnapshot() {
        for (int32_t i = 0; i < prim_dispatch_count; ++i)
            prim_dispatch_table[i].slot->store(saved_[i], std::memory_order_relaxed);
    }
    SlotSnapshot(const SlotSnapshot&) = delete;
    SlotSnapshot& operator=(const SlotSnapshot&) = delete;

  private:
    PrimFn saved_[prim_dispatch_count] = {};
};

struct HeapCounters {
    int32_t mallocs = 0;  // calls, failed ones included
    int32_t frees = 0;    // calls with a non-null address
    int32_t live = 0;     // blocks handed out and not yet released
    int32_t fail_at = 0;  // 1-based index of the allocation call that fails; 0: none
    bool poison = false;
};

// Wraps the allocation and release slots: counts calls, tracks live blocks, can fail the k-th
// allocation (as an exhausted heap would: null returned, nothing allocated) and can fill every
// new block with 0xFF bytes so that a buffer that create leaves uninitialised reads as NaN.
class HeapHook {
  public:
    using Counters = HeapCounters;

    explicit HeapHook(int32_t fail_at = 0, bool poison = false) {
        real_malloc_ = prim_slot_target<prim_malloc_32f_fn>(prim_slots::malloc_32f);
        real_free_ = prim_slot_target<prim_free_fn>(prim_slots::free);
        counters_ = Counters{};
        counters_.fail_at = fail_at;
        counters_.poison = poison;
        prim_slots::malloc_32f.store(reinterpret_cast<PrimFn>(&hooked_malloc));
        prim_slots::free.store(reinterpret_cast<PrimFn>(&hooked_free));
    }
    ~HeapHook() {
        prim_slots::malloc_32f.store(reinterpret_cast<PrimFn>(real_malloc_));
        prim_slots::free.store(reinterpret_cast<PrimFn>(real_free_));
    }
    HeapHook(const HeapHook&) = delete;
    HeapHook& operator=(const HeapHook&) = delete;

    const Counters& counters() const { return counters_; }

  private:
    static float* hooked_malloc(int32_t width, int32_t height, int32_t* step) {
        ++counters_.mallocs;
        if (counters_.mallocs == counters_.fail_at) {
            if (step != nullptr) *step = (4 * width + 31) & ~31;
            return nullptr;
        }
        float* block = real_malloc_(width, height, step);
        if (block != nullptr) {
            ++counters_.live;
            if (counters_.poison) std::memset(block, 0xFF, size_t(*step) * size_t(height));
        }
        return block;
    }
    static void hooked_free(void* ptr) {
        if (ptr != nullptr) {
            ++counters_.frees;
            --counters_.live;
        }
        real_free_(ptr);
    }

    static inline prim_malloc_32f_fn real_malloc_ = nullptr;
    static inline prim_free_fn real_free_ = nullptr;
    static inline Counters counters_{};
};

// ---- reference model ---------------------------------------------------------------------
// Follows the arithmetic the plain kernel variants promise: filter sums formed in double in
// order of increasing source coordinate and rounded once; differences, products, quotients
// rounded once to float; the running average evaluated as acc + alpha * (new - acc) in double.
// Borders are not stored: a frame that does not exist yet is all zeros, every other read clamps.
struct ModelSettings {
    int32_t columns;
    int32_t lines;
    float regularizer;
    int32_t time_derivative;
    int32_t flags;
};

inline constexpr double kSmooth[5] = {31.0 / 256, 60.0 / 256, 74.0 / 256, 60.0 / 256, 31.0 / 256};
inline constexpr double kDeriv[5] = {-29.0 / 256, 227.0 / 256, 0.0, -227.0 / 256, 29.0 / 256};
inline const float kBatchWeight = std::bit_cast<float>(uint32_t{0x3F62FEC5});

class ReferenceModel {
  public:
    explicit ReferenceModel(const ModelSettings& s) : s_(s) {}

    void process(const Image& frame) {
        ++n_;
        Image is = frame;
        if (s_.flags & FLAG_INPUT_FILTER) is = filter(filter(frame, kSmooth, 1, 0), kSmooth, 0, 1);
        frames_.push_back(is);
        const Image zero(s_.columns, s_.lines);
        auto f = [&](int32_t m) -> const Image& { return m >= 1 ? frames_[m - 1] : zero; };

        Image it(s_.columns, s_.lines);
        if (s_.time_derivative == TD_RECURSIVE) {
            if (n_ > 1) {
                for (size_t i = 0; i < it.px.size(); ++i) {
                    const float d = f(n_).px[i] - f(n_ - 1).px[i];
                    it.px[i] = float(double(d) + 0.5 * (double(it_prev_.px[i]) - double(d)));
                }
            }
            it_prev_ = it;
        } else if (n_ >= 5) {
            for (size_t i = 0; i < it.px.size(); ++i) {
                const float outer = f(n_ - 4).px[i] - f(n_).px[i];
                const float inner = f(n_ - 1).px[i] - f(n_ - 3).px[i];
                it.px[i] =
                    float(double(outer) + double(kBatchWeight) * (double(inner) - double(outer)));
            }
        }
        out_.clear();
        out_[EngineImage::Is] = is;
        out_[EngineImage::It] = it;

        const bool spatial = s_.flags & (FLAG_AFFINE_PARAMS | FLAG_ORVANE | FLAG_ALL);
        if (s_.flags & FLAG_CHANGE_DETECTION) {
            out_[EngineImage::It2] = map2(it, it, [](float a, float b) { return a * b; });
            return;
        }
        if (!spatial) return;
        const Image& centre = s_.time_derivative == TD_BATCH ? f(n_ - 2) : is;
        const Image ix = filter(centre, kDeriv, 1, 0);
        const Image iy = filter(centre, kDeriv, 0, 1);
        auto mul = [](float a, float b) { return a * b; };
        out_[EngineImage::Ix] = ix;
        out_[EngineImage::Iy] = iy;
        out_[EngineImage::Ix2] = map2(ix, ix, mul);
        out_[EngineImage::Iy2] = map2(iy, iy, mul);
        out_[EngineImage::Ixt] = map2(ix, it, mul);
        out_[EngineImage::Iyt] = map2(iy, it, mul);
        if (s_.flags & (FLAG_AFFINE_PARAMS | FLAG_ALL)) out_[EngineImage::Ixy] = map2(ix, iy, mul);
        if (s_.flags & FLAG_AFFINE_PARAMS) return;

        const float reg = s_.regularizer;
        Image ig2 = map2(out_[EngineImage::Ix2], out_[EngineImage::Iy2],
                         [](float a, float b) { return a + b; });
        if (reg != 0.0f)
            for (float& v : ig2.px) v = v + reg;
        out_[EngineImage::Ig2] = ig2;
        out_[EngineImage::It2] = map2(it, it, mul);
        out_[EngineImage::Fn2] = map2(ig2, out_[EngineImage::It2], reference_divide);
        out_[EngineImage::Un] = map2(ig2, out_[EngineImage::Ixt], reference_divide);
        out_[EngineImage::Vn] = map2(ig2, out_[EngineImage::Iyt], reference_divide);
    }

    // The model's value of every image the engine's mode produces.
    const std::map<EngineImage, Image>& outputs() const { return out_; }
    // Frame m after the input stage (zeros before frame 1).
    Image frame(int32_t m) const { return m >= 1 ? frames_[m - 1] : Image(s_.columns, s_.lines); }

    static float reference_divide(float divisor, float dividend) {
        if (divisor != 0.0f && !std::isnan(divisor)) return dividend / divisor;
        if (dividend > 0.0f) return INFINITY;
        if (dividend < 0.0f) return -INFINITY;
        return std::bit_cast<float>(uint32_t{0xFFC00000});
    }

  private:
    template <class Op>
    static Image map2(const Image& a, const Image& b, Op op) {
        Image out(a.columns, a.lines);
        for (size_t i = 0; i < out.px.size(); ++i) out.px[i] = op(a.px[i], b.px[i]);
        return out;
    }
    // Convolution along x (dx = 1) or y (dy = 1) with anchor 2 and clamped reads.
    static Image filter(const Image& src, const double (&taps)[5], int32_t dx, int32_t dy) {
        Image out(src.columns, src.lines);
        for (int32_t y = 0; y < src.lines; ++y)
            for (int32_t x = 0; x < src.columns; ++x) {
                double sum = 0.0;
                for (int32_t k = 4; k >= 0; --k)
                    sum += taps[k] * double(src.clamped(x + (2 - k) * dx, y + (2 - k) * dy));
                out.at(x, y) = float(sum);
            }
        return out;
    }

    ModelSettings s_;
    int32_t n_ = 0;
    std::vector<Image> frames_;
    Image it_prev_{s_.columns, s_.lines};
    std::map<EngineImage, Image> out_;
};

}  // namespace engine_test
