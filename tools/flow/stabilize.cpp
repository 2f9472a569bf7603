#include "flow/stabilize.hpp"

#include <time.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "flow/image_io.hpp"

bool parse_borders(const std::string& keyword, Borders* borders) {
    if (keyword == "crop") return *borders = Borders::crop, true;
    if (keyword == "black") return *borders = Borders::black, true;
    if (keyword == "mirror") return *borders = Borders::mirror, true;
    return false;
}

namespace {

// Catmull-Rom weights of the four taps around a position with fraction f.
inline void cubic_weights(float f, float w[4]) {
    const float f2 = f * f, f3 = f2 * f;
    w[0] = 0.5f * (-f3 + 2 * f2 - f);
    w[1] = 0.5f * (3 * f3 - 5 * f2 + 2);
    w[2] = 0.5f * (-3 * f3 + 4 * f2 + f);
    w[3] = 0.5f * (f3 - f2);
}

// A position reflected into [-0.5, n - 0.5]: the picture mirrored at its edges.
inline double reflect(double p, int32_t n) {
    const double period = 2.0 * n;
    double q = std::fmod(p + 0.5, period);
    if (q < 0) q += period;
    if (q > n) q = period - q;
    return q - 0.5;
}

inline uint8_t to_byte(float v) {
    return static_cast<uint8_t>(std::clamp(v, 0.0f, 255.0f) + 0.5f);
}

double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

namespace {

// The Catmull-Rom weights of 256 sub-pixel phases: positions are rounded to 1/256 pixel, which
// moves a sample by at most 0.002 pixel.
struct CubicTable {
    float w[257][4];
    CubicTable() {
        for (int p = 0; p <= 256; ++p) cubic_weights(static_cast<float>(p) / 256.0f, w[p]);
    }
};
const CubicTable& cubic_table() {
    static const CubicTable table;
    return table;
}

// The 4 x 4 pixels from r (rows `stride` bytes apart) weighted by wx along and wy across.
inline float cubic_4x4(const uint8_t* r, ptrdiff_t stride, const float* wx, const float* wy) {
    float v = 0;
    for (int j = 0; j < 4; ++j, r += stride) {
        v += wy[j] * (wx[0] * r[0] + wx[1] * r[1] + wx[2] * r[2] + wx[3] * r[3]);
    }
    return v;
}

#if defined(__SSE2__)
// The same before its last sum: the four columns weighted, whose sum is the value.
inline __m128 cubic_4x4_columns(const uint8_t* r, ptrdiff_t stride, const float* wx,
                                const float* wy) {
    // Four pixels of a row at once: the rows weighted and summed, then the columns (twice as
    // fast as the scalar loop; 16-bit integer products were slower still).
    const __m128i zero = _mm_setzero_si128();
    __m128 acc = _mm_setzero_ps();
    for (int j = 0; j < 4; ++j, r += stride) {
        uint32_t four;
        std::memcpy(&four, r, 4);
        const __m128i bytes = _mm_cvtsi32_si128(static_cast<int>(four));
        const __m128i ints = _mm_unpacklo_epi16(_mm_unpacklo_epi8(bytes, zero), zero);
        acc = _mm_add_ps(acc, _mm_mul_ps(_mm_cvtepi32_ps(ints), _mm_set1_ps(wy[j])));
    }
    return _mm_mul_ps(acc, _mm_loadu_ps(wx));
}
#endif

}  // namespace

namespace {

// Catmull-Rom at (sx, sy) [input pixels] near or beyond an edge: outside the picture `fill`
// (black) or the picture mirrored (mirror); the taps that fall outside read the nearest edge
// pixel.
uint8_t warp_edge_pixel(const uint8_t* in, int32_t in_columns, int32_t in_lines,
                        ptrdiff_t in_stride, double sx, double sy, Borders borders, uint8_t fill) {
    const int32_t w1 = in_columns - 1, h1 = in_lines - 1;
    const bool outside =
        !(sx >= -0.5 && sy >= -0.5 && sx <= in_columns - 0.5 && sy <= in_lines - 0.5);
    if (outside && borders == Borders::black) return fill;
    if (outside && borders == Borders::mirror) {
        sx = reflect(sx, in_columns);
        sy = reflect(sy, in_lines);
    }
    const double fx0 = std::floor(sx), fy0 = std::floor(sy);
    const int32_t jx = static_cast<int32_t>(fx0), jy = static_cast<int32_t>(fy0);
    float wx[4], wy[4];
    cubic_weights(static_cast<float>(sx - fx0), wx);
    cubic_weights(static_cast<float>(sy - fy0), wy);
    float v = 0;
    for (int j = 0; j < 4; ++j) {
        const uint8_t* r = in + static_cast<ptrdiff_t>(std::clamp(jy - 1 + j, 0, h1)) * in_stride;
        float row = 0;
        for (int i = 0; i < 4; ++i) row += wx[i] * r[std::clamp(jx - 1 + i, 0, w1)];
        v += wy[j] * row;
    }
    return to_byte(v);
}

// The first and last x in [0, columns) at which the position start + x step (fixed point,
// 32 fractional bits) has its whole part in [lo, hi]; first > last when there is none.
void inside_span(int64_t start, int64_t step, int32_t lo, int32_t hi, int32_t columns,
                 int32_t* first, int32_t* last) {
    const int64_t low = static_cast<int64_t>(lo) << 32;
    const int64_t high = (static_cast<int64_t>(hi) + 1) << 32;  // exclusive
    double a = 0, b = columns - 1.0;
    if (step == 0) {
        if (start < low || start >= high) a = 1, b = 0;
    } else {
        // low <= start + x step < high, solved for x in doubles and then checked exactly.
        const double x_low = static_cast<double>(low - start) / static_cast<double>(step);
        const double x_high = static_cast<double>(high - start) / static_cast<double>(step);
        a = std::max(a, std::ceil(std::min(x_low, x_high)) - 1);
        b = std::min(b, std::floor(std::max(x_low, x_high)) + 1);
    }
    *first = static_cast<int32_t>(std::clamp(a, 0.0, static_cast<double>(columns)));
    *last = static_cast<int32_t>(std::clamp(b, -1.0, columns - 1.0));
    auto in = [&](int32_t x) {
        const int64_t p = start + step * x;
        return p >= low && p < high;
    };
    // The rounding of the division may leave a pixel too many at either end.
    while (*first <= *last && !in(*first)) ++*first;
    while (*last >= *first && !in(*last)) --*last;
}

}  // namespace

void warp_plane(const uint8_t* in, int32_t in_columns, int32_t in_lines, ptrdiff_t in_stride,
                uint8_t* out, int32_t out_columns, int32_t out_lines, ptrdiff_t out_stride,
                const Affine2D& map, Borders borders, uint8_t fill) {
    const CubicTable& table = cubic_table();
    const int32_t w1 = in_columns - 1, h1 = in_lines - 1;
    // Positions in fixed point with 32 fractional bits: stepping along a line adds exactly.
    constexpr double kOne = 4294967296.0;
    const int64_t step_x = std::llround(map.m[0][0] * kOne);
    const int64_t step_y = std::llround(map.m[1][0] * kOne);
    for (int32_t y = 0; y < out_lines; ++y) {
        uint8_t* o = out + static_cast<ptrdiff_t>(y) * out_stride;
        const double x0 = map.m[0][1] * y + map.t[0], y0 = map.m[1][1] * y + map.t[1];
        const int64_t fx0 = std::llround(x0 * kOne), fy0 = std::llround(y0 * kOne);
        // The span of the line whose 4 x 4 taps all lie inside the input (whole pixel at or
        // left of the position in [1, w1 - 2] and [1, h1 - 2]): there the loop runs without
        // tests; the pixels either side of it go the careful way.
        int32_t first = 0, last = -1;
        if (w1 >= 3 && h1 >= 3) {
            int32_t fa, la, fb, lb;
            inside_span(fx0, step_x, 1, w1 - 2, out_columns, &fa, &la);
            inside_span(fy0, step_y, 1, h1 - 2, out_columns, &fb, &lb);
            first = std::max(fa, fb), last = std::min(la, lb);
        }
        auto careful = [&](int32_t x) {
            const double sx = static_cast<double>(fx0 + step_x * x) / kOne;
            const double sy = static_cast<double>(fy0 + step_y * x) / kOne;
            o[x] = warp_edge_pixel(in, in_columns, in_lines, in_stride, sx, sy, borders, fill);
        };
        if (first > last) {
            for (int32_t x = 0; x < out_columns; ++x) careful(x);
            continue;
        }
        for (int32_t x = 0; x < first; ++x) careful(x);
        int64_t fx = fx0 + step_x * first, fy = fy0 + step_y * first;
        // The taps of output pixel x: a phase rounded up to 256/256 reads the taps one pixel on
        // with weight 1 at 2 (the rounding in 64 bits: in 32 it would wrap to phase 0 and read
        // the pixel before).
        auto phase = [](int64_t p) {
            return (static_cast<uint64_t>(static_cast<uint32_t>(p)) + (1u << 23)) >> 24;
        };
        auto taps = [&](int64_t px, int64_t py, const float** wx, const float** wy) {
            const int32_t ix = static_cast<int32_t>(px >> 32), iy = static_cast<int32_t>(py >> 32);
            *wx = table.w[phase(px)];
            *wy = table.w[phase(py)];
            return in + static_cast<ptrdiff_t>(iy - 1) * in_stride + (ix - 1);
        };
        int32_t x = first;
#if defined(__SSE2__)
        // Four output pixels at a time: their column sums added across at once, and rounded
        // and clamped to bytes together, which keeps the per-pixel branches out of the loop.
        const __m128 half = _mm_set1_ps(0.5f), top = _mm_set1_ps(255.0f);
        for (; x + 3 <= last; x += 4) {
            __m128 c[4];
            for (int k = 0; k < 4; ++k, fx += step_x, fy += step_y) {
                const float *wx, *wy;
                const uint8_t* r = taps(fx, fy, &wx, &wy);
                c[k] = cubic_4x4_columns(r, in_stride, wx, wy);
            }
            _MM_TRANSPOSE4_PS(c[0], c[1], c[2], c[3]);
            __m128 v = _mm_add_ps(_mm_add_ps(c[0], c[1]), _mm_add_ps(c[2], c[3]));
            v = _mm_add_ps(_mm_min_ps(_mm_max_ps(v, _mm_setzero_ps()), top), half);
            const __m128i i32 = _mm_cvttps_epi32(v);
            const __m128i i16 = _mm_packs_epi32(i32, i32);
            const int32_t four = _mm_cvtsi128_si32(_mm_packus_epi16(i16, i16));
            std::memcpy(o + x, &four, 4);
        }
#endif
        for (; x <= last; ++x, fx += step_x, fy += step_y) {
            const float *wx, *wy;
            const uint8_t* r = taps(fx, fy, &wx, &wy);
            o[x] = to_byte(cubic_4x4(r, in_stride, wx, wy));
        }
        for (int32_t xr = last + 1; xr < out_columns; ++xr) careful(xr);
    }
}

Stabilizer::Stabilizer(const StabilizeOptions& options, const FrameSource& source,
                       const std::string& input, bool replace)
    : options_(options),
      columns_(source.columns()),
      lines_(source.lines()),
      out_columns_(source.columns() / 2 * 2),
      out_lines_(source.lines() / 2 * 2),
      fps_(source.frame_rate()) {
    if (!parse_borders(options.borders, &borders_)) {
        throw UsageError("--borders: '" + options.borders +
                         "' is not a way to handle the borders (choose crop, black or mirror)");
    }
    if (out_columns_ < 8 || out_lines_ < 8) {
        throw FlowError("--stabilize: the input is " + std::to_string(columns_) + "x" +
                        std::to_string(lines_) + "; a stabilised video needs at least 8x8");
    }
    VideoFormat format;
    format.fps = fps_;
    format.timing = source.video_timing();
    // The stabilised video replaces the recording in use: coded more finely than the flow video.
    format.crf = 18;
    format.gop = -1;  // key frames where x264 puts them (at most every 250 frames)
    // Sound comes only with a video input (its time stamps say it is one).
    if (format.timing.time_base_den > 0 && !input.empty()) format.audio_from = input;
    format.option = "--stabilize";
    writer_ = std::make_unique<VideoWriter>(options.video, out_columns_, out_lines_, format, replace);
}

Stabilizer::~Stabilizer() = default;

void Stabilizer::add_step(const std::optional<AffineMotion>& step, double time_s) {
    steps_.push_back(step);
    times_.push_back(time_s);
}

std::optional<StabilizeResult> Stabilizer::render(FrameSource& again,
                                                  const std::function<bool()>& cancelled,
                                                  const std::function<void(int64_t)>& on_frame) {
    const auto wall0 = std::chrono::steady_clock::now();
    const double cpu0 = process_cpu_seconds();
    const size_t n = steps_.size();
    StabilizeResult result;
    if (n == 0) return std::nullopt;
    // The frames' own times where every one has one and they increase, else the frame rate's.
    std::vector<double> times = times_;
    bool timed = std::isfinite(times[0]);
    for (size_t f = 1; f < n && timed; ++f) timed = std::isfinite(times[f]) && times[f] > times[f - 1];
    if (!timed) {
        for (size_t f = 0; f < n; ++f) times[f] = static_cast<double>(f) / (fps_ > 0 ? fps_ : 25.0);
    }
    const PathSmoothing smoothing{options_.smoothing_s, options_.tripod};
    const double cx = 0.5 * (columns_ - 1), cy = 0.5 * (lines_ - 1);
    const std::vector<Affine2D> path = camera_path(steps_, &result.unaligned);
    const std::vector<Affine2D> smoothed = smooth_path(path, times, cx, cy, smoothing);
    const std::vector<Affine2D> warps = stabilizing_warps(path, smoothed);
    result.shake = shake_rms(warps, columns_, lines_);
    if (borders_ == Borders::crop) {
        result.zoom = crop_zoom(warps, columns_, lines_, kMaxZoom, &result.zoom_enough);
    }
    const Affine2D zoom = centre_zoom(result.zoom, columns_, lines_);
    for (size_t f = 0; f < n; ++f) {
        result.frame.push_back(static_cast<double>(f));
        result.path_x.push_back(path[f].x(cx, cy) - cx);
        result.path_y.push_back(path[f].y(cx, cy) - cy);
        result.smooth_x.push_back(smoothed[f].x(cx, cy) - cx);
        result.smooth_y.push_back(smoothed[f].y(cx, cy) - cy);
    }

    const bool full_range = again.video_timing().colour_range == 2;
    const uint8_t black = full_range ? 0 : 16;
    // The output registered again, for the shake left: on frames reduced by 2 where they are
    // large enough, by 4 where they are larger still (a tenth of a pixel is what it must see,
    // and the reduced frame of 90 lines or more holds a few hundredths; a tenth of the work of
    // the full frame).
    AlignSettings checking;
    const int32_t smaller = std::min(out_columns_, out_lines_);
    if (smaller >= 240) checking.reduction = smaller >= 360 ? 4 : 2;
    checking.samples = 2500;
    FrameAligner check(checking);
    std::vector<std::optional<AffineMotion>> out_steps;
    YuvPicture in, out(out_columns_, out_lines_);
    GreyImage luma(out_columns_, out_lines_);
    for (size_t f = 0; f < n; ++f) {
        if (cancelled()) return std::nullopt;
        if (!again.next_yuv(in)) {
            throw FlowError(again.description() + " gave " + std::to_string(f) +
                            " frames when read again for --stabilize, not the " +
                            std::to_string(n) + " measured");
        }
        if (in.columns != columns_ || in.lines != lines_) {
            throw FlowError(again.description() + " changed size when read again");
        }
        if (f == 0) writer_->set_audio_start(timed ? times_[0] : 0.0);
        const Affine2D map = warps[f].after(zoom);
        warp_plane(in.y.data(), columns_, lines_, columns_, out.y.data(), out_columns_, out_lines_,
                   out_columns_, map, borders_, black);
        // Chroma sample (i, j) lies at luma (2i + 0.5, 2j + 0.5): the same map in its units.
        Affine2D chroma = map;
        chroma.t[0] = 0.5 * (map.m[0][0] * 0.5 + map.m[0][1] * 0.5 + map.t[0] - 0.5);
        chroma.t[1] = 0.5 * (map.m[1][0] * 0.5 + map.m[1][1] * 0.5 + map.t[1] - 0.5);
        const int32_t icw = in.chroma_columns(), ich = in.chroma_lines();
        const int32_t ocw = out.chroma_columns(), och = out.chroma_lines();
        warp_plane(in.u.data(), icw, ich, icw, out.u.data(), ocw, och, ocw, chroma, borders_, 128);
        warp_plane(in.v.data(), icw, ich, icw, out.v.data(), ocw, och, ocw, chroma, borders_, 128);
        out.pts = in.pts;
        writer_->write(out);
        for (size_t i = 0; i < luma.data.size(); ++i) luma.data[i] = out.y[i];
        out_steps.push_back(check.push(luma));
        on_frame(static_cast<int64_t>(f + 1));
    }
    writer_->finish();
    written_ = true;
    const std::vector<Affine2D> out_path = camera_path(out_steps, &result.residual_unaligned);
    result.residual = path_shake(out_path, times, out_columns_, out_lines_, smoothing);
    result.frames = static_cast<int64_t>(n);
    result.audio = writer_->audio();
    result.wall_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    result.cpu_s = process_cpu_seconds() - cpu0;
    return result;
}

void Stabilizer::publish() {
    if (written_) writer_->publish();
}

void Stabilizer::discard() {
    if (!written_) writer_->discard();
}
