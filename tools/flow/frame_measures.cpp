#include "flow/frame_measures.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

void change_statistics(const ImageView& it, const ImageView* it2, double threshold,
                       FrameRecord* rec) {
    double abs_sum = 0;
    size_t changed = 0;
    const float limit = static_cast<float>(threshold);
    for (int32_t y = 0; y < it.lines; ++y) {
        const float* t = it.line(y);
        const float* t2 = it2 ? it2->line(y) : t;
        double line_sum = 0;
        for (int32_t x = 0; x < it.columns; ++x) {
            line_sum += std::fabs(t[x]);
            changed += (it2 ? t2[x] : t[x] * t[x]) > limit;
        }
        abs_sum += line_sum;
    }
    const double pixels = static_cast<double>(it.columns) * it.lines;
    rec->mean_abs_it = abs_sum / pixels;
    rec->change_share = static_cast<double>(changed) / pixels;
}

double mean_flow_length(const ImageView& un, const ImageView& vn) {
    double s = 0;
    size_t n = 0;
    for (int32_t y = 0; y < un.lines; ++y) {
        const float* u = un.line(y);
        const float* v = vn.line(y);
        for (int32_t x = 0; x < un.columns; ++x) {
            const float length = std::sqrt(u[x] * u[x] + v[x] * v[x]);
            if (std::isfinite(length)) s += length, ++n;
        }
    }
    return n ? s / static_cast<double>(n) : NAN;
}

double picture_scale(double fast) {
    static const double steps[] = {1, 1.5, 2, 3, 4, 5, 6, 8};
    const double want = std::max(0.5, 1.1 * fast);
    for (double decade = 0.1; decade < 1e6; decade *= 10) {
        for (double s : steps) {
            if (s * decade >= want) return s * decade;
        }
    }
    return want;
}

std::string frame_name(const char* what, int64_t frame, const char* ext) {
    char name[64];
    std::snprintf(name, sizeof name, "%s_%06lld.%s", what, static_cast<long long>(frame), ext);
    return name;
}

std::string damage_consequence(bool ended, size_t count) {
    return ended ? "the " + std::to_string(count) + " frames before the damage are kept"
                 : "the " + std::to_string(count) +
                       " frames decoded are measured, but the motion around the damage may be "
                       "wrong";
}
