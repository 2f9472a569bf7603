#include "analysis/resample.hpp"

#include <algorithm>
#include <cmath>

void warp_bilinear(const GreyImage& in, const GreyImage& pu, const GreyImage& pv, float s,
                   GreyImage* out, std::vector<uint8_t>* outside) {
    const int32_t w = in.columns, h = in.lines;
    const float xmax = static_cast<float>(w - 1), ymax = static_cast<float>(h - 1);
    for (int32_t y = 0; y < h; ++y) {
        const float* u = pu.line(y);
        const float* v = pv.line(y);
        float* d = out->line(y);
        uint8_t* o = outside->data() + static_cast<size_t>(y) * static_cast<size_t>(w);
        for (int32_t x = 0; x < w; ++x) {
            float fx = static_cast<float>(x) + s * u[x];
            float fy = static_cast<float>(y) + s * v[x];
            // NaN compares false everywhere, so it lands outside too.
            if (!(fx >= 0.0f && fx <= xmax && fy >= 0.0f && fy <= ymax)) {
                o[x] = 1;
                fx = std::isfinite(fx) ? std::clamp(fx, 0.0f, xmax) : 0.0f;
                fy = std::isfinite(fy) ? std::clamp(fy, 0.0f, ymax) : 0.0f;
            }
            const int32_t x0 = std::min(static_cast<int32_t>(fx), std::max(w - 2, 0));
            const int32_t y0 = std::min(static_cast<int32_t>(fy), std::max(h - 2, 0));
            const int32_t x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
            const float ax = fx - static_cast<float>(x0), ay = fy - static_cast<float>(y0);
            const float* r0 = in.line(y0);
            const float* r1 = in.line(y1);
            const float top = r0[x0] + ax * (r0[x1] - r0[x0]);
            const float bottom = r1[x0] + ax * (r1[x1] - r1[x0]);
            d[x] = top + ay * (bottom - top);
        }
    }
}

GreyImage reduce(const GreyImage& in, int32_t factor) {
    const int32_t w = in.columns / factor, h = in.lines / factor;
    GreyImage out(w, h);
    const float scale = 1.0f / static_cast<float>(factor * factor);
    std::vector<float> sums(static_cast<size_t>(std::max(w, 0)));
    for (int32_t y = 0; y < h; ++y) {
        std::fill(sums.begin(), sums.end(), 0.0f);
        for (int32_t j = 0; j < factor; ++j) {
            const float* r = in.line(y * factor + j);
            for (int32_t x = 0; x < w; ++x) {
                float s = 0;
                for (int32_t i = 0; i < factor; ++i) s += r[x * factor + i];
                sums[static_cast<size_t>(x)] += s;
            }
        }
        float* d = out.line(y);
        for (int32_t x = 0; x < w; ++x) d[x] = sums[static_cast<size_t>(x)] * scale;
    }
    return out;
}

namespace {

// The two neighbours of a position along one axis of n pixels, and the weight of the second.
struct Span {
    int32_t i0, i1;
    float a;
};
Span span_at(float pos, int32_t n) {
    const float p = std::clamp(pos, 0.0f, static_cast<float>(n - 1));
    const int32_t i0 = std::min(static_cast<int32_t>(p), std::max(n - 2, 0));
    return {i0, std::min(i0 + 1, n - 1), p - static_cast<float>(i0)};
}

}  // namespace

void enlarge(const GreyImage& in, int32_t factor, float gain, int32_t columns, int32_t lines,
             GreyImage* out) {
    if (out->columns != columns || out->lines != lines) *out = GreyImage(columns, lines);
    const float inv = 1.0f / static_cast<float>(factor);
    const float off = 0.5f * inv - 0.5f;  // pixel x of the full frame sits at x/f + off
    std::vector<Span> xs(static_cast<size_t>(columns));
    for (int32_t x = 0; x < columns; ++x)
        xs[x] = span_at(static_cast<float>(x) * inv + off, in.columns);
    for (int32_t y = 0; y < lines; ++y) {
        const Span sy = span_at(static_cast<float>(y) * inv + off, in.lines);
        const float* r0 = in.line(sy.i0);
        const float* r1 = in.line(sy.i1);
        float* d = out->line(y);
        for (int32_t x = 0; x < columns; ++x) {
            const Span& sx = xs[x];
            const float top = r0[sx.i0] + sx.a * (r0[sx.i1] - r0[sx.i0]);
            const float bottom = r1[sx.i0] + sx.a * (r1[sx.i1] - r1[sx.i0]);
            d[x] = gain * (top + sy.a * (bottom - top));
        }
    }
}
