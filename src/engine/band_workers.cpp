// Persistent worker threads for the bands of the fused pipeline.
#include "engine/band_workers.hpp"

#if !defined(_WIN32) || defined(_GLIBCXX_HAS_GTHREADS)
#define ORVANE_BAND_THREADS 1
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>
#endif

#if defined(ORVANE_BAND_THREADS)
namespace {

// Persistent workers for the bands of one frame. The calling thread runs band 0 and waits for the
// rest; a frame allocates nothing and starts no thread. One frame at a time uses the workers; a
// frame that finds them busy (another engine on another thread) runs its bands on its own thread.
class BandWorkers {
  public:
    static BandWorkers& instance() {
        // Never destroyed: workers may still be parked when the process exits.
        static BandWorkers* workers = new BandWorkers;
        return *workers;
    }

    void run(int32_t bands, void (*job)(void*, int32_t), void* context) {
        std::unique_lock<std::mutex> busy(busy_, std::try_to_lock);
        if (!busy.owns_lock() || !start(bands - 1)) {
            for (int32_t b = 0; b < bands; ++b) job(context, b);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job_ = job;
            context_ = context;
            bands_ = bands;
            pending_ = bands - 1;
            ++generation_;
        }
        wake_.notify_all();
        job(context, 0);
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return pending_ == 0; });
    }

  private:
    BandWorkers() = default;

    // Makes sure `count` workers exist; false when a thread cannot be started.
    bool start(int32_t count) {
        while (static_cast<int32_t>(threads_.size()) < count) {
            const int32_t index = static_cast<int32_t>(threads_.size()) + 1;
            try {
                threads_.emplace_back([this, index] { loop(index); });
            } catch (...) {
                return false;
            }
            threads_.back().detach();
        }
        return true;
    }

    void loop(int32_t band) {
        uint64_t seen = 0;
        for (;;) {
            void (*job)(void*, int32_t) = nullptr;
            void* context = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return generation_ != seen; });
                seen = generation_;
                if (band >= bands_) continue;
                job = job_;
                context = context_;
            }
            job(context, band);
            std::lock_guard<std::mutex> lock(mutex_);
            if (--pending_ == 0) done_.notify_one();
        }
    }

    std::mutex busy_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::vector<std::thread> threads_;
    void (*job_)(void*, int32_t) = nullptr;
    void* context_ = nullptr;
    int32_t bands_ = 0;
    int32_t pending_ = 0;
    uint64_t generation_ = 0;
};

}  // namespace

void engine_run_bands(int32_t bands, void (*job)(void*, int32_t), void* context) {
    BandWorkers::instance().run(bands, job, context);
}
#else
void engine_run_bands(int32_t bands, void (*job)(void*, int32_t), void* context) {
    for (int32_t b = 0; b < bands; ++b) job(context, b);
}
#endif
