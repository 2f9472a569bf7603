// Threads for the bands of one frame of the fused pipeline.
#pragma once

#include <cstdint>

// Runs job(context, b) for every band b in [0, bands): band 0 on the calling thread, the others on
// persistent worker threads, and returns when all are done. Allocates nothing once the workers
// exist. Where no worker can run (another frame is using them, a thread cannot be started, or the
// build has no standard threads, as with the win32 thread model of MinGW), the calling thread runs
// every band itself, in order.
void engine_run_bands(int32_t bands, void (*job)(void*, int32_t), void* context);
