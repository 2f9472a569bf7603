// parallel_for: the few independent jobs of one frame (window sums of several images, bands
// of rows, warps of several frames) spread over a small number of threads.
//
// Threads are started per call and joined before it returns: a frame calls this a handful of
// times, so the cost (tens of microseconds) is small against the jobs, and nothing lives on
// between frames. With threads <= 1 the jobs run in order on the calling thread. Jobs must not
// throw.
#pragma once

#include <functional>

void parallel_for(int threads, int jobs, const std::function<void(int job)>& run);
