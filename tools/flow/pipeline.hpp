// A pipeline of stages: produce, one or more transforms, and consume items on separate threads,
// linked by bounded queues, in order.
//
// orvane-flow's measuring job (flow_job.hpp) decodes a frame (produce), drives the component
// session (the first transform, on the calling thread), measures the dense flow or the pairwise
// flow and the registration (further transforms), and draws and writes pictures (consume). Every
// stage handles one item at a time in the order produced, so the results are those of a one-thread
// run; the queues hold at most `capacity` items each, so memory stays bounded when one stage is
// slower than the others. With threads = 1 the stages run one after another on the calling thread,
// item by item.
//
// The first exception thrown by any stage stops every stage (the others finish the item they
// hold, then stop) and is rethrown by run() once all threads are joined.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

template <class T>
class BoundedQueue {
  public:
    explicit BoundedQueue(size_t capacity) : capacity_(capacity ? capacity : 1) {}

    // Blocks while full; false when the queue was stopped (the item is dropped).
    bool push(T&& item) {
        std::unique_lock<std::mutex> lock(mutex_);
        not_full_.wait(lock, [&] { return stopped_ || items_.size() < capacity_; });
        if (stopped_) return false;
        items_.push_back(std::move(item));
        not_empty_.notify_one();
        return true;
    }
    // Blocks while empty; nothing once the queue is closed and drained, or stopped.
    std::optional<T> pop() {
        std::unique_lock<std::mutex> lock(mutex_);
        not_empty_.wait(lock, [&] { return stopped_ || closed_ || !items_.empty(); });
        if (stopped_ || items_.empty()) return std::nullopt;
        T item = std::move(items_.front());
        items_.pop_front();
        not_full_.notify_one();
        return item;
    }
    // No more items will come; the ones queued are still handed out.
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        not_empty_.notify_all();
    }
    // Wakes every waiter; what is queued is dropped.
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        items_.clear();
        not_empty_.notify_all();
        not_full_.notify_all();
    }

  private:
    const size_t capacity_;
    std::mutex mutex_;
    std::condition_variable not_empty_, not_full_;
    std::deque<T> items_;
    bool closed_ = false, stopped_ = false;
};

template <class T>
class Pipeline {
  public:
    // produce: fills the next item, false at the end. Each transform, then consume: one item
    // each, in order. The first transform runs on the calling thread (the one that set
    // the job's component session up), every later one on its own.
    Pipeline(std::function<bool(T&)> produce, std::vector<std::function<void(T&)>> transforms,
             std::function<void(T&)> consume)
        : produce_(std::move(produce)),
          transforms_(std::move(transforms)),
          consume_(std::move(consume)) {}

    void run(int threads, size_t capacity) {
        if (threads <= 1) {
            for (;;) {
                T item{};
                if (!produce_(item)) return;
                for (auto& t : transforms_) t(item);
                consume_(item);
            }
        }
        // queues[0] links the producer to the first transform, queues[k] transform k - 1 to
        // transform k (or to the consumer, after the last).
        const size_t n = transforms_.size();
        std::vector<std::unique_ptr<BoundedQueue<T>>> queues;
        for (size_t k = 0; k <= n; ++k) {
            queues.push_back(std::make_unique<BoundedQueue<T>>(capacity));
        }
        std::exception_ptr failure;
        std::mutex failure_mutex;
        auto fail = [&] {
            {
                std::lock_guard<std::mutex> lock(failure_mutex);
                if (!failure) failure = std::current_exception();
            }
            for (auto& q : queues) q->stop();
        };
        auto transform_stage = [&](size_t k) {
            try {
                while (auto item = queues[k]->pop()) {
                    transforms_[k](*item);
                    if (!queues[k + 1]->push(std::move(*item))) break;
                }
                queues[k + 1]->close();
            } catch (...) {
                fail();
            }
        };
        std::vector<std::thread> threads_;
        threads_.emplace_back([&] {
            try {
                for (;;) {
                    T item{};
                    if (!produce_(item) || !queues[0]->push(std::move(item))) break;
                }
                queues[0]->close();
            } catch (...) {
                fail();
            }
        });
        for (size_t k = 1; k < n; ++k) threads_.emplace_back(transform_stage, k);
        threads_.emplace_back([&] {
            try {
                while (auto item = queues[n]->pop()) consume_(*item);
            } catch (...) {
                fail();
            }
        });
        if (n > 0) {
            transform_stage(0);
        }
        for (std::thread& t : threads_) t.join();
        if (failure) std::rethrow_exception(failure);
    }

  private:
    std::function<bool(T&)> produce_;
    std::vector<std::function<void(T&)>> transforms_;
    std::function<void(T&)> consume_;
};
