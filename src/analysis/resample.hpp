// Resampling: the bilinear warp of motion-compensated feeding, and the reduction and
// enlargement between the full frames and the frames reduced by a whole factor.
//
// The warp is bilinear on purpose: on frames that the component's input filter has smoothed
// it moves content by the asked amount to within a few thousandths of a pixel, while a cubic
// kernel's overshoot moves fine texture by several hundredths.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/grey_image.hpp"

// out(x, y) = in(x + s pu(x, y), y + s pv(x, y)), bilinear; positions outside the image read
// its nearest edge pixel and set outside[i] to 1 (outside is left as it is elsewhere, so that
// several warps collect one mask). `out` and `outside` must have the size of `in`.
void warp_bilinear(const GreyImage& in, const GreyImage& pu, const GreyImage& pv, float s,
                   GreyImage* out, std::vector<uint8_t>* outside);

// The same for lines [first, end) of `out` only (so that bands of lines can be warped side
// by side, each while its lines are in cache).
void warp_bilinear_lines(const GreyImage& in, const GreyImage& pu, const GreyImage& pv, float s,
                         int32_t first, int32_t end, GreyImage* out,
                         std::vector<uint8_t>* outside);

// The same for line y alone, into `out` and `outside` of `in.columns` elements each (so that a
// caller that uses each warped line at once keeps one line, not a whole image).
void warp_bilinear_line(const GreyImage& in, const GreyImage& pu, const GreyImage& pv, float s,
                        int32_t y, float* out, uint8_t* outside);

// The mean of each `factor` x `factor` block; the result is in.columns / factor by
// in.lines / factor (a partial block at the right or bottom edge is dropped).
GreyImage reduce(const GreyImage& in, int32_t factor);

// The inverse mapping of reduce(): out has columns x lines pixels, each reading the reduced
// image bilinearly at its own position and multiplied by `gain` (the factor, for a motion
// field, so that pixels per reduced frame become pixels per frame).
void enlarge(const GreyImage& in, int32_t factor, float gain, int32_t columns, int32_t lines,
             GreyImage* out);
