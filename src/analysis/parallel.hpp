// parallel_for: the few independent jobs of one frame (window sums of several images, bands
// of rows, warps of several frames, the affine fit beside them) spread over a small number of
// threads.
//
// The threads are kept between calls (a frame makes a dozen calls, and starting threads each
// time cost more than some of the jobs). Each job goes to the next free thread, the calling
// one included, so jobs of unequal size balance; list the longest first. A call made while
// the threads are busy with another call (a job that itself calls parallel_for, or a second
// stream on another thread) runs its jobs in order on its own thread, so calls never wait on
// each other. With threads <= 1 the jobs run in order on the calling thread. Every job does
// the same work whichever thread takes it, so results do not depend on the thread count.
// Jobs must not throw.
#pragma once

#include <functional>

void parallel_for(int threads, int jobs, const std::function<void(int job)>& run);
