#include <algorithm>
#include <cmath>
#include <cstdint>

#include "flow/frame_source.hpp"

namespace {

constexpr int32_t kTexture = 512;  // side of the periodic texture [texels]
constexpr int32_t kMask = kTexture - 1;

// The motion of the background from one frame to the next, about the image centre: a pan of
// a fraction of a pixel, a slight clockwise rotation and a slight zoom-in.
constexpr double kPanX = 0.45;        // [pixels per frame]
constexpr double kPanY = 0.20;        // [pixels per frame]
constexpr double kRotation = 0.0015;  // [rad per frame], clockwise as shown
constexpr double kZoom = 0.0020;      // relative growth per frame

// The crossing object: a textured disc on a slightly curved path of its own.
constexpr double kObjectRadius = 20.0;  // [pixels]

// splitmix64: a fixed, portable generator, so the texture is the same everywhere.
uint64_t splitmix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Periodic separable Gaussian blur of a kTexture x kTexture field.
std::vector<double> blur(const std::vector<double>& in, double sigma) {
    const int r = static_cast<int>(std::ceil(3.0 * sigma));
    std::vector<double> taps(static_cast<size_t>(2 * r + 1));
    double sum = 0;
    for (int k = -r; k <= r; ++k)
        sum += taps[static_cast<size_t>(k + r)] = std::exp(-0.5 * k * k / (sigma * sigma));
    for (double& t : taps) t /= sum;
    std::vector<double> tmp(in.size()), out(in.size());
    for (int y = 0; y < kTexture; ++y) {
        for (int x = 0; x < kTexture; ++x) {
            double s = 0;
            for (int k = -r; k <= r; ++k)
                s += taps[static_cast<size_t>(k + r)] *
                     in[static_cast<size_t>(y * kTexture + ((x + k) & kMask))];
            tmp[static_cast<size_t>(y * kTexture + x)] = s;
        }
    }
    for (int y = 0; y < kTexture; ++y) {
        for (int x = 0; x < kTexture; ++x) {
            double s = 0;
            for (int k = -r; k <= r; ++k)
                s += taps[static_cast<size_t>(k + r)] *
                     tmp[static_cast<size_t>(((y + k) & kMask) * kTexture + x)];
            out[static_cast<size_t>(y * kTexture + x)] = s;
        }
    }
    return out;
}

// Catmull-Rom weights for a fractional position f in [0, 1).
void cubic_weights(double f, double w[4]) {
    const double f2 = f * f, f3 = f2 * f;
    w[0] = 0.5 * (-f3 + 2 * f2 - f);
    w[1] = 0.5 * (3 * f3 - 5 * f2 + 2);
    w[2] = 0.5 * (-3 * f3 + 4 * f2 + f);
    w[3] = 0.5 * (f3 - f2);
}

// The linear part and offset of the per-frame motion p -> c + L (p - c) + t.
struct Affine2 {
    double m[2][2];
    double t[2];
    Affine2 then(const Affine2& o) const {  // o applied after this
        Affine2 r;
        for (int i = 0; i < 2; ++i) {
            for (int j = 0; j < 2; ++j) r.m[i][j] = o.m[i][0] * m[0][j] + o.m[i][1] * m[1][j];
            r.t[i] = o.m[i][0] * t[0] + o.m[i][1] * t[1] + o.t[i];
        }
        return r;
    }
};

Affine2 frame_step() {
    const double cx = 0.5 * (DefaultSequence::kColumns - 1);
    const double cy = 0.5 * (DefaultSequence::kLines - 1);
    const double g = 1.0 + kZoom, c = std::cos(kRotation), s = std::sin(kRotation);
    // With y pointing down, (x, y) -> (x c - y s, x s + y c) turns clockwise on screen.
    Affine2 a;
    a.m[0][0] = g * c, a.m[0][1] = -g * s;
    a.m[1][0] = g * s, a.m[1][1] = g * c;
    a.t[0] = cx + kPanX - (a.m[0][0] * cx + a.m[0][1] * cy);
    a.t[1] = cy + kPanY - (a.m[1][0] * cx + a.m[1][1] * cy);
    return a;
}

Affine2 inverse(const Affine2& a) {
    const double det = a.m[0][0] * a.m[1][1] - a.m[0][1] * a.m[1][0];
    Affine2 r;
    r.m[0][0] = a.m[1][1] / det, r.m[0][1] = -a.m[0][1] / det;
    r.m[1][0] = -a.m[1][0] / det, r.m[1][1] = a.m[0][0] / det;
    r.t[0] = -(r.m[0][0] * a.t[0] + r.m[0][1] * a.t[1]);
    r.t[1] = -(r.m[1][0] * a.t[0] + r.m[1][1] * a.t[1]);
    return r;
}

}  // namespace

DefaultSequence::DefaultSequence() {
    columns_ = kColumns;
    lines_ = kLines;
    // Two octaves of blurred white noise: blobs of about 15 and 40 pixels. The finest detail
    // stays far below the Nyquist limit so that the derivative filters see a smooth signal.
    uint64_t state = 0x4F52564E45ull;
    std::vector<double> noise(static_cast<size_t>(kTexture) * kTexture);
    for (double& v : noise) v = static_cast<double>(splitmix(state) >> 11) * 0x1.0p-53 - 0.5;
    const std::vector<double> fine = blur(noise, 2.5);
    const std::vector<double> coarse = blur(noise, 7.0);
    auto rms = [](const std::vector<double>& f) {
        double s = 0;
        for (double v : f) s += v * v;
        return std::sqrt(s / static_cast<double>(f.size()));
    };
    const double rf = rms(fine), rc = rms(coarse);
    std::vector<double> mix(noise.size());
    for (size_t i = 0; i < mix.size(); ++i) mix[i] = 0.6 * fine[i] / rf + 0.8 * coarse[i] / rc;
    const double rm = rms(mix);
    texture_.resize(mix.size());
    for (size_t i = 0; i < mix.size(); ++i) texture_[i] = static_cast<float>(mix[i] / rm);
}

double DefaultSequence::texture(double x, double y) const {
    const double fx = std::floor(x), fy = std::floor(y);
    double wx[4], wy[4];
    cubic_weights(x - fx, wx);
    cubic_weights(y - fy, wy);
    const int ix = static_cast<int>(fx) - 1, iy = static_cast<int>(fy) - 1;
    double s = 0;
    for (int j = 0; j < 4; ++j) {
        const float* row = texture_.data() + static_cast<size_t>(((iy + j) & kMask) * kTexture);
        double r = 0;
        for (int i = 0; i < 4; ++i) r += wx[i] * row[(ix + i) & kMask];
        s += wy[j] * r;
    }
    return s;
}

GreyImage DefaultSequence::render(int32_t m) const {
    // Frame m shows at p what frame 0 showed at step^-m (p).
    const Affine2 back = inverse(frame_step());
    Affine2 to_first{{{1, 0}, {0, 1}}, {0, 0}};
    for (int32_t i = 0; i < m; ++i) to_first = to_first.then(back);

    const DefaultSequence::Object object = object_at(m);
    const double ox = object.x, oy = object.y;

    GreyImage frame(kColumns, kLines);
    for (int32_t y = 0; y < kLines; ++y) {
        float* row = frame.line(y);
        for (int32_t x = 0; x < kColumns; ++x) {
            // An offset into the texture keeps its origin out of view.
            const double tx = to_first.m[0][0] * x + to_first.m[0][1] * y + to_first.t[0] + 100;
            const double ty = to_first.m[1][0] * x + to_first.m[1][1] * y + to_first.t[1] + 60;
            double v = 128.0 + 34.0 * texture(tx, ty);
            const double dx = x - ox, dy = y - oy;
            const double r = std::sqrt(dx * dx + dy * dy);
            if (r < kObjectRadius + 1.0) {
                // A soft one-pixel rim keeps the edge free of aliasing.
                const double alpha = std::clamp(kObjectRadius + 0.5 - r, 0.0, 1.0);
                const double obj = 150.0 + 45.0 * texture(1.6 * dx + 300, 1.6 * dy + 300);
                v = alpha * obj + (1 - alpha) * v;
            }
            row[x] = static_cast<float>(std::clamp(std::round(v), 0.0, 255.0));
        }
    }
    return frame;
}

DefaultSequence::Object DefaultSequence::object_at(int32_t m) {
    // The object's centre moves about 1.7 pixels right and 0.9 up per frame, with a gentle
    // wave, so that its motion differs from the background's everywhere.
    Object o;
    o.x = 50.0 + 1.7 * m;
    o.y = 185.0 - 0.9 * m + 10.0 * std::sin(m / 15.0);
    o.radius = kObjectRadius;
    o.u = 1.7;
    o.v = -0.9 + 10.0 / 15.0 * std::cos(m / 15.0);
    return o;
}

bool DefaultSequence::next(GreyImage& frame) {
    if (index_ >= kFrames) return false;
    frame = render(index_++);
    return true;
}

std::optional<AffineMotion> DefaultSequence::known_motion() const {
    // The displacement p -> step(p) - p is affine: its parameters are the step's matrix minus
    // the identity and its offset.
    const Affine2 a = frame_step();
    AffineMotion motion;
    motion.a = {a.t[0], a.m[0][0] - 1.0, a.m[0][1], a.t[1], a.m[1][0], a.m[1][1] - 1.0};
    return motion;
}
