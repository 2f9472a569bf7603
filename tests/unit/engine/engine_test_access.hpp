// What the tests read of a MotionEngine beyond the component's accessors: its settings and the
// buffers that never leave it (the filter taps, the workspace, the previous derivative).
#pragma once

#include "engine/motion_engine.hpp"

struct MotionEngineTestAccess {
    static int32_t flags(const MotionEngine& e) { return e.flags; }
    static int32_t time_derivative(const MotionEngine& e) { return e.time_derivative; }
    static float regularizer(const MotionEngine& e) { return e.regularizer; }
    static const float* smooth_taps(const MotionEngine& e) { return e.smooth_taps; }
    static const float* deriv_taps(const MotionEngine& e) { return e.deriv_taps; }
    static const float* workspace(const MotionEngine& e) { return e.workspace; }
    static const float* It_prev(const MotionEngine& e) { return e.It_prev; }
};
