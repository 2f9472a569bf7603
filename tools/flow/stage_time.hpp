// The time each pipeline stage spends on its own work, queue waits left out: wall time and
// the processor time of the stage's thread, whatever else the machine is running.
#pragma once

#include <chrono>
#include <ctime>

struct StageTime {
    double wall_s = 0, cpu_s = 0;
    StageTime& operator+=(const StageTime& o) {
        wall_s += o.wall_s, cpu_s += o.cpu_s;
        return *this;
    }
};

// [s] of processor time used by the calling thread.
inline double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Adds the wall and processor time of its scope to a StageTime.
class StageTimer {
  public:
    using Clock = std::chrono::steady_clock;
    explicit StageTimer(StageTime& t) : t_(t), wall0_(Clock::now()), cpu0_(thread_cpu_seconds()) {}
    ~StageTimer() {
        t_.wall_s += std::chrono::duration<double>(Clock::now() - wall0_).count();
        t_.cpu_s += thread_cpu_seconds() - cpu0_;
    }
    StageTimer(const StageTimer&) = delete;
    StageTimer& operator=(const StageTimer&) = delete;

  private:
    StageTime& t_;
    Clock::time_point wall0_;
    double cpu0_;
};
