// The engine's width rule (a multiple of kColumnMultiple columns) met in one place, the two
// ways a host may meet it: crop the frame to the widest width that keeps the rule (the tool
// measures the left columns and says so), or pad it by repeating its last column and leave the
// added columns out of every sum (the flow tracker measures the whole frame).
#pragma once

#include <cstdint>

#include "analysis/grey_image.hpp"
#include "engine/motion_session.hpp"

// The widest width the rule allows within `columns` (0 when it is below the multiple).
constexpr int32_t cropped_width(int32_t columns) {
    return columns / kColumnMultiple * kColumnMultiple;
}
// The narrowest width the rule allows that holds `columns`.
constexpr int32_t padded_width(int32_t columns) {
    return (columns + kColumnMultiple - 1) / kColumnMultiple * kColumnMultiple;
}

// The left `columns` columns of an image (a copy of it when it is that wide already).
GreyImage crop(const GreyImage& in, int32_t columns);
// The image widened to `columns` (at least its width) by repeating its last column, into an
// image kept from frame to frame, so that a stream allocates once.
void pad_into(const GreyImage& in, int32_t columns, GreyImage* out);
