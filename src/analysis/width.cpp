#include "analysis/width.hpp"

#include <algorithm>

GreyImage crop(const GreyImage& in, int32_t columns) {
    if (in.columns == columns) return in;
    GreyImage out(columns, in.lines);
    for (int32_t y = 0; y < in.lines; ++y) std::copy(in.line(y), in.line(y) + columns, out.line(y));
    return out;
}

void pad_into(const GreyImage& in, int32_t columns, GreyImage* out) {
    if (out->columns != columns || out->lines != in.lines) *out = GreyImage(columns, in.lines);
    for (int32_t y = 0; y < in.lines; ++y) {
        const float* s = in.line(y);
        float* d = out->line(y);
        std::copy(s, s + in.columns, d);
        std::fill(d + in.columns, d + columns, s[in.columns - 1]);
    }
}
