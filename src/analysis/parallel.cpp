#include "analysis/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Helper threads that sleep between calls. One call at a time uses them (`busy_`).
class Pool {
  public:
    ~Pool() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    // False when another call holds the pool; the caller then runs its jobs itself.
    bool run(int helpers, int jobs, const std::function<void(int)>& job) {
        bool expected = false;
        if (!busy_.compare_exchange_strong(expected, true)) return false;
        uint32_t round;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            while (static_cast<int>(threads_.size()) < helpers) {
                threads_.emplace_back(
                    [this, index = static_cast<int>(threads_.size())] { work(index); });
            }
            round = ++round_;
            job_ = &job;
            jobs_ = jobs;
            done_ = 0;
            helpers_ = helpers;
            next_.store(static_cast<uint64_t>(round) << 32);
        }
        wake_.notify_all();
        const int mine = take_jobs(round, jobs, job);
        std::unique_lock<std::mutex> lock(mutex_);
        done_ += mine;
        finished_.wait(lock, [&] { return done_ == jobs; });
        busy_.store(false);
        return true;
    }

  private:
    // Claims and runs jobs of one round until none is left. The counter carries its round in
    // the upper half, so a helper that arrives late can never claim a job of a later call.
    int take_jobs(uint32_t round, int jobs, const std::function<void(int)>& job) {
        int count = 0;
        uint64_t v = next_.load();
        for (;;) {
            if (static_cast<uint32_t>(v >> 32) != round) break;
            const int j = static_cast<int>(v & 0xffffffffu);
            if (j >= jobs) break;
            if (!next_.compare_exchange_weak(v, v + 1)) continue;
            job(j);
            ++count;
            v = next_.load();
        }
        return count;
    }

    void work(int index) {
        uint32_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || (round_ != seen && index < helpers_); });
            if (stop_) return;
            seen = round_;
            const std::function<void(int)>* job = job_;
            const int jobs = jobs_;
            lock.unlock();
            const int count = take_jobs(seen, jobs, *job);
            lock.lock();
            // Jobs it ran belong to this round, which cannot have ended without them.
            if (count > 0) {
                done_ += count;
                if (done_ == jobs_) finished_.notify_one();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::vector<std::thread> threads_;
    std::atomic<bool> busy_{false};
    std::atomic<uint64_t> next_{0};  // round << 32 | next job
    // Under mutex_:
    const std::function<void(int)>* job_ = nullptr;
    int jobs_ = 0, done_ = 0, helpers_ = 0;
    uint32_t round_ = 0;
    bool stop_ = false;
};

Pool& pool() {
    static Pool p;
    return p;
}

}  // namespace

void parallel_for(int threads, int jobs, const std::function<void(int job)>& run) {
    const int n = std::min({threads, jobs, 64});
    if (n > 1 && pool().run(n - 1, jobs, run)) return;
    for (int j = 0; j < jobs; ++j) run(j);
}
