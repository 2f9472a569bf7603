// Test support for the camera's motion (FrameAligner, the camera path): motions written about
// the frame centre, and the names of table-driven cases.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>

#include "analysis/affine.hpp"

namespace motion_test {

// The motion p -> p + d + B (p - c) about the centre c of a frame of columns x lines: a pan d,
// a rotation and a zoom (small: B is their linear part) and a shear.
inline AffineMotion about_centre(int32_t columns, int32_t lines, double dx, double dy,
                                 double rotation = 0, double zoom = 0, double shear = 0) {
    const double cx = 0.5 * (columns - 1), cy = 0.5 * (lines - 1);
    const double b00 = zoom, b01 = -rotation + shear, b10 = rotation + shear, b11 = zoom;
    AffineMotion m;
    m.a = {dx - b00 * cx - b01 * cy, b00, b01, dy - b10 * cx - b11 * cy, b10, b11};
    return m;
}

// A case's `name` as a test name: every character but letters and digits becomes '_'.
struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        std::string n = info.param.name;
        for (char& ch : n) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return n;
    }
};

}  // namespace motion_test
