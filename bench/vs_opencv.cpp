// Orvane against the same "all"-mode pipeline written with OpenCV, in one process.
//
// Both pipelines take the same frames in the same order and do the same work: the input smoothed
// by the 5x5 separable filter (31, 60, 74, 60, 31)/256 with the edge replicated, a bordered copy of
// it kept in a five-frame history (as the component keeps its ring), the recursive time
// derivative It = D + 0.5 (It_prev - D) of the frame difference D, the 5-tap spatial derivatives,
// and the products and quotients It2, Ix2, Iy2, Ig2 = Ix2 + Iy2 + regularizer, Ixy, Ixt, Iyt,
// Fn2, Un, Vn. OpenCV runs on one thread (cv::setNumThreads(0)) with every matrix allocated
// beforehand. Orvane runs as the component selects it on this machine (the variant selection,
// then the engine's automatic path), unless --columns or --path say otherwise.
//
// The timing runs rounds of a few frames of each pipeline, OpenCV and every column and path asked
// for, one after another, each round starting one place further along (round-robin), so that all
// see the same machine states and every ratio comes from one interleaved run; the figure per size
// is the median round, in milliseconds of the thread's processor time per frame. Per size the table gives both times,
// their ratio, both costs per megapixel, and Orvane's time against a memory-traffic bound: the
// bytes a frame must move at least (the input, the previous frame and It_prev read; the bordered
// input, which is both Is and its history slot, It and the twelve products written once) at the
// copy bandwidth measured in the same run, just before the size is timed (a streaming copy of
// 256 MiB, best of three).
//
// With --threads=N (N > 1) a second table compares Orvane's wall time per frame on N band
// threads with its wall time on one, every column in turn and one and N threads in either order,
// beside the time that the frame's traffic alone takes on one and on N threads (what a second
// thread can add at best where the cores share the memory system) and the ratio of the N-thread
// time to the traffic's own N-thread time, for the median round and for the lowest ("best", as the
// traffic loop's best of five).
//
// Afterwards the outputs of the last frame are compared: for each image the largest difference,
// relative to the largest magnitude in the OpenCV image, must stay within the stated tolerance:
// 2e-5 for the smoothed input, the derivatives and their products (both pipelines round in single
// precision, in different orders), 2e-3 for the quotients Fn2, Un and Vn, whose denominator Ig2
// falls to the regularizer 0.01 where the gradient vanishes and so magnifies the same differences
// up to a hundredfold. Allocations are counted through the malloc slot of the kernel table while
// Orvane runs; "memory" is what the engine's create took from the C heap, blocks mapped from the
// system counted as whole pages (glibc's own count; -1 elsewhere). The exit status is 0 only when
// every comparison agrees.
//
// Usage: orvane_vs_opencv [--columns=auto,3,3-sse2,0,1,2] [--path=auto,kernels,fused]
//                         [--sizes=WxH,...] [--rounds=N] [--threads=N] [--tolerance=T]
//                         [--quotient-tolerance=Q] [--stream=auto,never,always] [--details]
//                         (--stream overrides when the fused pipeline writes its results past the
//                         cache; --details prints the difference of every image)
#include <immintrin.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_common.hpp"
#include "engine/motion_engine.hpp"
#include "primitives/primitives.hpp"

namespace {

using bench::Column;
using bench::Geometry;

// Processor time of the calling thread [ms]: the machine is shared, and time spent waiting for
// the processor must count for neither pipeline.
double thread_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

constexpr float kRegularizer = 0.01f;

// ---- the OpenCV pipeline ------------------------------------------------------------------------
class OpenCvPipeline {
  public:
    OpenCvPipeline(int columns, int lines) : columns_(columns), lines_(lines) {
        for (cv::Mat* m : {&Is, &D, &It, &It_prev, &It2, &Ix, &Iy, &Ix2, &Iy2, &Ig2, &Ixy, &Ixt,
                           &Iyt, &Fn2, &Un, &Vn}) {
            m->create(lines, columns, CV_32F);
            m->setTo(0);
        }
        for (cv::Mat& slot : history_) {
            slot.create(lines + 4, columns + 4, CV_32F);
            slot.setTo(0);
        }
        smooth_ = cv::Mat(1, 5, CV_32F, const_cast<float*>(bench::kSmoothTaps)).clone();
        // OpenCV correlates; Orvane convolves. The reversed taps give the same sums.
        deriv_.create(1, 5, CV_32F);
        for (int k = 0; k < 5; ++k) deriv_.at<float>(0, k) = bench::kDerivTaps[4 - k];
        one_ = cv::Mat::ones(1, 1, CV_32F);
    }

    void process(const float* frame) {
        ++frames_;
        const cv::Mat in(lines_, columns_, CV_32F, const_cast<float*>(frame));
        std::swap(It, It_prev);
        cv::sepFilter2D(in, Is, CV_32F, smooth_, smooth_, cv::Point(-1, -1), 0,
                        cv::BORDER_REPLICATE);
        // The bordered frame into the five-frame history; the previous frame is read back from it.
        cv::Mat& slot = history_[frames_ % 5];
        cv::copyMakeBorder(Is, slot, 2, 2, 2, 2, cv::BORDER_REPLICATE);
        if (frames_ == 1) {
            It.setTo(0);
        } else {
            const cv::Mat prev = history_[(frames_ + 4) % 5](cv::Rect(2, 2, columns_, lines_));
            cv::subtract(Is, prev, D);
            cv::addWeighted(D, 0.5, It_prev, 0.5, 0.0, It);
        }
        cv::multiply(It, It, It2);
        cv::sepFilter2D(Is, Ix, CV_32F, deriv_, one_, cv::Point(-1, -1), 0, cv::BORDER_REPLICATE);
        cv::sepFilter2D(Is, Iy, CV_32F, one_, deriv_, cv::Point(-1, -1), 0, cv::BORDER_REPLICATE);
        cv::multiply(Ix, Ix, Ix2);
        cv::multiply(Iy, Iy, Iy2);
        cv::add(Ix2, Iy2, Ig2);
        cv::add(Ig2, cv::Scalar(kRegularizer), Ig2);
        cv::multiply(Ix, Iy, Ixy);
        cv::multiply(Ix, It, Ixt);
        cv::multiply(Iy, It, Iyt);
        cv::divide(It2, Ig2, Fn2);
        cv::divide(Ixt, Ig2, Un);
        cv::divide(Iyt, Ig2, Vn);
    }

    cv::Mat Is, D, It, It_prev, It2, Ix, Iy, Ix2, Iy2, Ig2, Ixy, Ixt, Iyt, Fn2, Un, Vn;

  private:
    int columns_, lines_;
    int frames_ = 0;
    cv::Mat history_[5];
    cv::Mat smooth_, deriv_, one_;
};

// ---- allocation count ---------------------------------------------------------------------------
std::atomic<long> g_allocations{0};
std::atomic<prim_malloc_32f_fn> g_real_malloc{nullptr};

float* counting_malloc(int32_t width, int32_t height, int32_t* step) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return g_real_malloc.load()(width, height, step);
}

// Routes the malloc slot through the counter for the life of the scope.
class CountAllocations {
  public:
    CountAllocations() : saved_(prim_slots::malloc_32f.load()) {
        g_real_malloc = reinterpret_cast<prim_malloc_32f_fn>(saved_);
        prim_slots::malloc_32f.store(reinterpret_cast<PrimFn>(&counting_malloc));
    }
    ~CountAllocations() { prim_slots::malloc_32f.store(saved_); }
    CountAllocations(const CountAllocations&) = delete;
    CountAllocations& operator=(const CountAllocations&) = delete;

  private:
    PrimFn saved_;
};

// ---- agreement ----------------------------------------------------------------------------------
// Largest |orvane - opencv| over the image, divided by the largest |opencv| (or 1 if that is 0).
double relative_difference(const float* orvane, int32_t step, const cv::Mat& ref) {
    double peak = 0, worst = 0;
    for (int y = 0; y < ref.rows; ++y) {
        const float* row = orvane + static_cast<ptrdiff_t>(y) * (step / 4);
        const float* r = ref.ptr<float>(y);
        for (int x = 0; x < ref.cols; ++x) {
            peak = std::max(peak, std::fabs(double(r[x])));
            const double diff = std::fabs(double(row[x]) - double(r[x]));
            if (!(diff <= worst)) worst = diff;  // a NaN on either side counts as the worst
        }
    }
    return worst / (peak > 0 ? peak : 1.0);
}

struct Agreement {
    double worst = 0;  // of the images other than the quotients
    std::string worst_image;
    double worst_quotient = 0;  // of Fn2, Un and Vn
    std::string worst_quotient_image;
    std::string details;  // every image with its relative difference
};

Agreement compare(const MotionEngine& e, const OpenCvPipeline& cv) {
    const int32_t ps = e.get_plain_step();
    const std::pair<EngineImage, const cv::Mat*> plain[] = {
        {EngineImage::It, &cv.It},   {EngineImage::It2, &cv.It2}, {EngineImage::Ix, &cv.Ix},
        {EngineImage::Iy, &cv.Iy},   {EngineImage::Ix2, &cv.Ix2}, {EngineImage::Iy2, &cv.Iy2},
        {EngineImage::Ig2, &cv.Ig2}, {EngineImage::Ixy, &cv.Ixy}, {EngineImage::Ixt, &cv.Ixt},
        {EngineImage::Iyt, &cv.Iyt}, {EngineImage::Fn2, &cv.Fn2}, {EngineImage::Un, &cv.Un},
        {EngineImage::Vn, &cv.Vn}};
    const char* names[] = {"It",  "It2", "Ix",  "Iy",  "Ix2", "Iy2", "Ig2",
                           "Ixy", "Ixt", "Iyt", "Fn2", "Un",  "Vn"};
    Agreement a;
    a.worst = relative_difference(e.get_image(EngineImage::Is) + e.get_interior_offset(),
                                  e.get_padded_step(), cv.Is);
    a.worst_image = "Is";
    char text[64];
    std::snprintf(text, sizeof text, "Is %.1e", a.worst);
    a.details = text;
    for (size_t i = 0; i < std::size(plain); ++i) {
        const double d = relative_difference(e.get_image(plain[i].first), ps, *plain[i].second);
        std::snprintf(text, sizeof text, ", %s %.1e", names[i], d);
        a.details += text;
        const bool quotient = plain[i].first == EngineImage::Fn2 ||
                              plain[i].first == EngineImage::Un ||
                              plain[i].first == EngineImage::Vn;
        double& worst = quotient ? a.worst_quotient : a.worst;
        std::string& worst_image = quotient ? a.worst_quotient_image : a.worst_image;
        if (!(d <= worst)) {
            worst = d;
            worst_image = names[i];
        }
    }
    return a;
}

// ---- one measurement ----------------------------------------------------------------------------
struct Result {
    double orvane_ms = 0, opencv_ms = 0;
    double allocations_per_frame = 0;
    int64_t object_bytes = -1;
    bool fused = false;
    Agreement agreement;
    bool ok = false;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

double wall_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

// Copy bandwidth [bytes/ms]: 256 MiB read and written past the cache, best of three, in thread
// processor time like the pipelines. The buffers take large pages where the system gives them
// for the asking, as the engine's images do: without them the address translations, not the
// memory, would set the pace.
struct LargePageBuffer {
    explicit LargePageBuffer(size_t floats) {
        const size_t bytes = (floats * sizeof(float) + kLarge - 1) / kLarge * kLarge;
        data = static_cast<float*>(std::aligned_alloc(kLarge, bytes));
        if (data == nullptr) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
        madvise(data, bytes, MADV_HUGEPAGE);
#endif
        std::fill(data, data + floats, 1.0f);
    }
    ~LargePageBuffer() {
        std::free(data);
    }
    LargePageBuffer(const LargePageBuffer&) = delete;
    LargePageBuffer& operator=(const LargePageBuffer&) = delete;
    static constexpr size_t kLarge = size_t{2} << 20;
    float* data = nullptr;
};

double copy_bandwidth() {
    const size_t floats = size_t{64} << 20;
    LargePageBuffer src(floats), dst(floats);
    float* s = src.data;
    float* d = dst.data;
    double best = 0;
    for (int r = 0; r < 3; ++r) {
        const double t0 = thread_ms();
#if defined(__AVX__)
        for (size_t i = 0; i < floats; i += 8) _mm256_stream_ps(d + i, _mm256_load_ps(s + i));
        _mm_sfence();
#else
        std::memcpy(d, s, floats * sizeof(float));
#endif
        const double t1 = thread_ms();
        best = std::max(best, 2.0 * double(floats) * sizeof(float) / (t1 - t0));
    }
    return best;
}

// The least a frame of the "all" mode with the recursive rule moves [bytes]: the input, the
// previous frame and It_prev read; the bordered input (Is, which is also the frame's history
// slot), It and the twelve products written once.
double traffic_bound_bytes(const Geometry& g) {
    const double plain = double(g.columns) * g.lines * sizeof(float);
    const double bordered = double(g.columns + 4) * (g.lines + 4) * sizeof(float);
    return 3 * plain + bordered + 13 * plain;
}

struct Setup {
    std::vector<std::vector<float>> frames;
    std::unique_ptr<MotionEngine> engine;
    int per_round = 2;
    int64_t object_bytes = -1;  // [bytes] the engine's create took from the C heap; -1: unknown
};

// Bytes the C heap has handed out and not taken back, counting blocks mapped from the system
// whole, as the pages they occupy: what an object costs in memory. -1 where it cannot be read.
int64_t heap_bytes_in_use() {
#if defined(__GLIBC__)
    const struct mallinfo2 m = mallinfo2();
    return static_cast<int64_t>(m.uordblks + m.hblkhd);
#else
    return -1;
#endif
}

StreamStores g_stream_stores = StreamStores::automatic;

bool prepare(const Geometry& g, const Column& column, EnginePath path, Setup& s) {
    if (!bench::use_column(column)) return false;
    s.frames.resize(8);
    for (int m = 0; m < 8; ++m) bench::make_frame(g.columns, g.lines, m, s.frames[size_t(m)]);
    s.engine = std::make_unique<MotionEngine>();
    const int64_t heap_before = heap_bytes_in_use();
    if (!s.engine->create(g.columns, g.lines, kRegularizer, TD_RECURSIVE,
                          FLAG_ALL | FLAG_INPUT_FILTER)) {
        return false;
    }
    if (heap_before >= 0) s.object_bytes = heap_bytes_in_use() - heap_before;
    s.engine->set_path(path);
    s.engine->set_stream_stores(g_stream_stores);
    // Enough frames per round for a round to last about a millisecond or more.
    const int64_t pixels = int64_t{g.columns} * g.lines;
    s.per_round = static_cast<int>(std::clamp<int64_t>(2'000'000 / pixels, 2, 100));
    return true;
}

// One column and path in an interleaved run.
struct Contender {
    Column column;
    EnginePath path;
    std::string path_name;
    Setup setup;
    bool ready = false;
    std::vector<double> times;
    long allocations = 0;
};

// Runs `per_round` frames of the contender from frame m on, with the slots of its column.
void run_frames(Contender& c, size_t m) {
    bench::use_column(c.column);
    for (int i = 0; i < c.setup.per_round; ++i) {
        c.setup.engine->process(c.setup.frames[(m + size_t(i)) % 8].data());
    }
}

// Every contender and the OpenCV pipeline take the same frames in rounds; each round runs them one
// after another, starting one place further along each time (round-robin), so that each sees the
// machine in the same states as the others. OpenCV's median is shared by every contender's ratio.
std::vector<Result> measure(const Geometry& g, std::vector<Contender>& contenders, int rounds) {
    std::vector<Result> results(contenders.size());
    int per_round = 2;
    for (Contender& c : contenders) {
        c.ready = prepare(g, c.column, c.path, c.setup);
        if (c.ready) per_round = c.setup.per_round;
    }
    OpenCvPipeline cv_pipeline(g.columns, g.lines);
    std::vector<std::vector<float>> frames(8);
    for (int m = 0; m < 8; ++m) bench::make_frame(g.columns, g.lines, m, frames[size_t(m)]);
    auto run_opencv = [&](size_t m) {
        for (int i = 0; i < per_round; ++i) cv_pipeline.process(frames[(m + size_t(i)) % 8].data());
    };

    size_t m = 0;
    for (int i = 0; i < 3; ++i, m += size_t(per_round)) {  // warm-up, identical for all
        run_opencv(m);
        for (Contender& c : contenders)
            if (c.ready) run_frames(c, m);
    }
    std::vector<double> opencv_times;
    const size_t players = contenders.size() + 1;  // the last place is OpenCV's
    for (int r = 0; r < rounds; ++r, m += size_t(per_round)) {
        for (size_t k = 0; k < players; ++k) {
            const size_t who = (k + size_t(r)) % players;
            if (who == contenders.size()) {
                const double t0 = thread_ms();
                run_opencv(m);
                opencv_times.push_back((thread_ms() - t0) / per_round);
                continue;
            }
            Contender& c = contenders[who];
            if (!c.ready) continue;
            bench::use_column(c.column);
            CountAllocations count;
            const long before = g_allocations.load();
            const double t0 = thread_ms();
            run_frames(c, m);
            const double t1 = thread_ms();
            c.allocations += g_allocations.load() - before;
            c.times.push_back((t1 - t0) / per_round);
        }
    }
    const double opencv_ms = median(opencv_times);
    for (size_t i = 0; i < contenders.size(); ++i) {
        Contender& c = contenders[i];
        if (!c.ready) continue;
        Result& result = results[i];
        result.orvane_ms = median(c.times);
        result.opencv_ms = opencv_ms;
        result.allocations_per_frame = double(c.allocations) / (double(rounds) * per_round);
        result.fused = c.setup.engine->last_frame_fused();
        result.agreement = compare(*c.setup.engine, cv_pipeline);
        result.object_bytes = c.setup.object_bytes;
        result.ok = true;
    }
    return results;
}

// Orvane's wall time per frame on one band thread and on `threads` [ms], every contender in turn
// in each round (round-robin, as measure), one thread and `threads` in either order: the medians,
// and the lowest round on `threads` (what the traffic loop reports: its best of five).
struct ThreadTimes {
    double one = 0, many = 0, many_best = 0;
};
std::vector<ThreadTimes> measure_threads(const Geometry& g,
                                                       std::vector<Contender>& contenders,
                                                       int rounds, int32_t threads) {
    for (Contender& c : contenders) c.ready = prepare(g, c.column, c.path, c.setup);
    std::vector<std::vector<double>> one(contenders.size()), many(contenders.size());
    size_t m = 0;
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < contenders.size(); ++k) {
            const size_t who = (k + size_t(r)) % contenders.size();
            Contender& c = contenders[who];
            if (!c.ready) continue;
            for (int32_t t : r % 2 == 0 ? std::vector<int32_t>{1, threads}
                                        : std::vector<int32_t>{threads, 1}) {
                engine_set_threads(t);
                bench::use_column(c.column);
                c.setup.engine->process(c.setup.frames[m % 8].data());  // settles the band split
                const double t0 = wall_ms();
                run_frames(c, m + 1);
                (t == 1 ? one : many)[who].push_back((wall_ms() - t0) / c.setup.per_round);
            }
        }
        m += 1 + size_t(contenders.empty() ? 0 : contenders[0].setup.per_round);
    }
    engine_set_threads(1);
    std::vector<ThreadTimes> out(contenders.size());
    for (size_t i = 0; i < contenders.size(); ++i) {
        if (!contenders[i].ready) continue;
        out[i].one = median(one[i]);
        out[i].many = median(many[i]);
        out[i].many_best = *std::min_element(many[i].begin(), many[i].end());
    }
    return out;
}

// The traffic alone of a frame like the engine's on `threads` threads [ms, wall time, best of
// five]: three images read and fourteen written past the cache, one pass of bands as the engine
// cuts them, nothing computed. On a machine whose cores share the memory system it says how much
// a second thread can add at best.
double traffic_only_ms(const Geometry& g, int32_t threads) {
    constexpr int kReads = 3, kWrites = 14;
    const size_t pixels = size_t(g.columns) * size_t(g.lines);
    const size_t per_image = (pixels + 16 + 15) / 16 * 16;  // each image on its own line
    LargePageBuffer block(per_image * (kReads + kWrites));
    float* images[kReads + kWrites];
    for (int k = 0; k < kReads + kWrites; ++k) images[k] = block.data + per_image * k + 16 * k;
    auto band = [&](int32_t y0, int32_t y1) {
        const size_t begin = size_t(y0) * g.columns, end = size_t(y1) * g.columns;
#if defined(__SSE__)
        // A whole 64-byte line of each image at a time, as the engine writes them: a line
        // left half-written while the others are written would leave the processor's
        // write-combining buffers as a partial write.
        for (size_t i = begin; i + 16 <= end; i += 16) {
            __m128 sum[4];
            for (int q = 0; q < 4; ++q) {
                sum[q] = _mm_loadu_ps(images[0] + i + 4 * q);
                for (int k = 1; k < kReads; ++k) {
                    sum[q] = _mm_add_ps(sum[q], _mm_loadu_ps(images[k] + i + 4 * q));
                }
            }
            for (int k = 0; k < kWrites; ++k) {
                for (int q = 0; q < 4; ++q) _mm_stream_ps(images[kReads + k] + i + 4 * q, sum[q]);
            }
        }
        _mm_sfence();
#else
        for (size_t i = begin; i < end; ++i) {
            float sum = images[0][i];
            for (int k = 1; k < kReads; ++k) sum += images[k][i];
            for (int k = 0; k < kWrites; ++k) images[kReads + k][i] = sum;
        }
#endif
    };
    double best = 0;
    for (int r = 0; r < 5; ++r) {
        const double t0 = wall_ms();
        std::vector<std::thread> others;
        for (int32_t b = 1; b < threads; ++b) {
            others.emplace_back(band, g.lines * b / threads, g.lines * (b + 1) / threads);
        }
        band(0, g.lines / threads);
        for (std::thread& t : others) t.join();
        const double ms = wall_ms() - t0;
        best = r == 0 ? ms : std::min(best, ms);
    }
    return best;
}

// ---- command line -------------------------------------------------------------------------------
struct Options {
    std::vector<Column> columns;
    std::vector<std::pair<EnginePath, std::string>> paths;
    std::vector<Geometry> sizes;
    int rounds = 31;
    int32_t threads = 1;
    double tolerance = 2e-5;
    double quotient_tolerance = 2e-3;
    bool details = false;
};

bool parse_column(const std::string& word, std::vector<Column>& out) {
    if (word == "auto") {
        // What the component's variant selection picks on this processor.
        const int32_t k = prim_cpu_class();
        const bool wide = prim_eight_lanes_available(k);
        out.push_back({k, wide, "auto=col" + std::to_string(k) + (wide ? "-avx2" : "")});
        return true;
    }
    if (word == "3-sse2") {
        out.push_back({3, false, "col3-sse2"});
        return true;
    }
    if (word.size() == 1 && word[0] >= '0' && word[0] <= '3') {
        const int32_t k = word[0] - '0';
        const bool wide = prim_eight_lanes_available(k);
        out.push_back({k, wide, "col" + word + (wide ? "-avx2" : "")});
        return true;
    }
    return false;
}

bool parse_path(const std::string& word, Options& o) {
    if (word == "auto") {
        o.paths.push_back({EnginePath::automatic, ""});
    } else if (word == "kernels") {
        o.paths.push_back({EnginePath::kernels, "/kernels"});
    } else if (word == "fused") {
        o.paths.push_back({EnginePath::fused, "/fused"});
    } else {
        return false;
    }
    return true;
}

bool parse_size(const std::string& word, Options& o) {
    int columns = 0, lines = 0;
    char x = 0;
    if (std::sscanf(word.c_str(), "%d%c%d", &columns, &x, &lines) != 3 || x != 'x' ||
        columns <= 0 || lines <= 0) {
        return false;
    }
    o.sizes.push_back({columns, lines});
    return true;
}

// Calls `take` on every comma-separated word; false (after a message) at the first it rejects.
template <class Take>
bool each_word(const std::string& list, const char* what, Take take) {
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = list.find(',', start);
        const std::string word =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!take(word)) {
            std::fprintf(stderr, "unknown %s '%s'\n", what, word.c_str());
            return false;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

bool parse(int argc, char** argv, Options& o) {
    std::string columns = "auto";
    std::string paths = "auto";
    std::string sizes = "64x64,128x128,320x240,640x480,1280x720,1920x1080,2560x1440";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--columns=", 0) == 0) {
            columns = arg.substr(10);
        } else if (arg.rfind("--path=", 0) == 0) {
            paths = arg.substr(7);
        } else if (arg.rfind("--sizes=", 0) == 0) {
            sizes = arg.substr(8);
        } else if (arg.rfind("--rounds=", 0) == 0) {
            o.rounds = std::atoi(arg.c_str() + 9);
            if (o.rounds < 1) {
                std::fprintf(stderr, "--rounds needs a positive number, got '%s'\n",
                             arg.c_str() + 9);
                return false;
            }
        } else if (arg.rfind("--threads=", 0) == 0) {
            o.threads = std::atoi(arg.c_str() + 10);
            if (o.threads < 1 || o.threads > 64) {
                std::fprintf(stderr, "--threads needs a number from 1 to 64, got '%s'\n",
                             arg.c_str() + 10);
                return false;
            }
        } else if (arg.rfind("--stream=", 0) == 0) {
            const std::string word = arg.substr(9);
            if (word == "auto") {
                g_stream_stores = StreamStores::automatic;
            } else if (word == "never") {
                g_stream_stores = StreamStores::never;
            } else if (word == "always") {
                g_stream_stores = StreamStores::always;
            } else {
                std::fprintf(stderr, "--stream takes auto, never or always, got '%s'\n",
                             word.c_str());
                return false;
            }
        } else if (arg == "--details") {
            o.details = true;
        } else if (arg.rfind("--tolerance=", 0) == 0) {
            o.tolerance = std::atof(arg.c_str() + 12);
        } else if (arg.rfind("--quotient-tolerance=", 0) == 0) {
            o.quotient_tolerance = std::atof(arg.c_str() + 21);
        } else {
            const bool help = arg == "--help" || arg == "-h";
            if (!help) std::fprintf(stderr, "unknown argument '%s'\n", arg.c_str());
            std::fprintf(help ? stdout : stderr,
                         "usage: %s [--columns=auto,3,3-sse2,0,1,2] "
                         "[--path=auto,kernels,fused] [--sizes=WxH,...] [--rounds=N] "
                         "[--threads=N] [--tolerance=T] [--quotient-tolerance=Q] "
                         "[--stream=auto,never,always] [--details]\n",
                         argv[0]);
            if (help) std::exit(0);
            return false;
        }
    }
    if (!each_word(columns, "column (use auto, 0, 1, 2, 3 or 3-sse2)",
                   [&](const std::string& w) { return parse_column(w, o.columns); }) ||
        !each_word(paths, "path (use auto, kernels or fused)",
                   [&](const std::string& w) { return parse_path(w, o); }) ||
        !each_word(sizes, "size (use WxH)",
                   [&](const std::string& w) { return parse_size(w, o); })) {
        return false;
    }
    // "auto" and an explicit column may name the same variant; measure it once.
    std::vector<Column> unique;
    for (const Column& c : o.columns) {
        const bool seen = std::any_of(unique.begin(), unique.end(), [&](const Column& u) {
            return u.k == c.k && u.wide == c.wide;
        });
        if (!seen) unique.push_back(c);
    }
    o.columns = unique;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) return 2;
    cv::setNumThreads(0);

    std::printf("Orvane vs OpenCV %s: mode \"all\", input filter on, recursive rule, one thread\n",
                CV_VERSION);
    std::printf("processor: %s (the variant selection picks column %d; fused rows: %s)\n",
                bench::cpu_model_name().c_str(), prim_cpu_class(), MotionEngine::fused_flavour());
    std::printf(
        "agreement: largest difference / largest OpenCV magnitude, per image, at most "
        "%.0e (%.0e for the quotients Fn2, Un, Vn)\n",
        options.tolerance, options.quotient_tolerance);
    std::printf(
        "bound: bytes a frame moves at least / copy bandwidth measured before each size\n\n");
    std::printf("%-10s %-20s %10s %10s %8s %9s %9s %8s %9s %6s %11s %9s %9s %s\n", "size", "column",
                "Orvane", "OpenCV", "OpenCV/", "Orvane", "OpenCV", "bound", "Orvane/", "alloc",
                "memory", "worst", "worst", "agree");
    std::printf("%-10s %-20s %10s %10s %8s %9s %9s %8s %9s %6s %11s %9s %9s\n", "", "", "ms/frame",
                "ms/frame", "Orvane", "ms/Mpx", "ms/Mpx", "ms", "bound", "/frame", "bytes",
                "rel.diff", "quotient");
    std::fflush(stdout);

    // Every column and path of the command line, in the order given.
    auto contenders = [&] {
        std::vector<Contender> list;
        for (const Column& c : options.columns) {
            for (const auto& [path, path_name] : options.paths) {
                list.emplace_back();
                list.back().column = c;
                list.back().path = path;
                list.back().path_name = path_name;
            }
        }
        return list;
    };
    bool all_agree = true;
    for (const Geometry& g : options.sizes) {
        const double bandwidth = copy_bandwidth();
        const double bound_ms = traffic_bound_bytes(g) / bandwidth;
        const double mpx = double(g.columns) * g.lines * 1e-6;
        std::vector<Contender> list = contenders();
        const std::vector<Result> results = measure(g, list, options.rounds);
        for (size_t i = 0; i < list.size(); ++i) {
            const Result& r = results[i];
            const std::string name =
                list[i].column.name + list[i].path_name + (r.fused ? "(fused)" : "");
            if (!r.ok) {
                std::printf("%-10s %-20s could not run (column incomplete or out of memory)\n",
                            g.name().c_str(), name.c_str());
                all_agree = false;
                continue;
            }
            const bool agree = r.agreement.worst <= options.tolerance &&
                               r.agreement.worst_quotient <= options.quotient_tolerance;
            all_agree = all_agree && agree;
            std::printf(
                "%-10s %-20s %10.4f %10.4f %8.2f %9.2f %9.2f %8.4f %9.2f %6.2f %11lld %9.1e "
                "%9.1e %s\n",
                g.name().c_str(), name.c_str(), r.orvane_ms, r.opencv_ms, r.opencv_ms / r.orvane_ms,
                r.orvane_ms / mpx, r.opencv_ms / mpx, bound_ms, r.orvane_ms / bound_ms,
                r.allocations_per_frame, static_cast<long long>(r.object_bytes), r.agreement.worst,
                r.agreement.worst_quotient, agree ? "yes" : "NO");
            if (!agree) {
                std::printf("    largest differences in %s and %s\n",
                            r.agreement.worst_image.c_str(),
                            r.agreement.worst_quotient_image.c_str());
            }
            if (options.details) std::printf("    %s\n", r.agreement.details.c_str());
        }
        std::fflush(stdout);
    }
    if (options.threads > 1) {
        std::printf(
            "\nOrvane on %d band threads, wall time per frame [ms]; \"traffic\": the same "
            "frame's reads and writes alone, on 1 and %d threads\n",
            options.threads, options.threads);
        std::printf("%-10s %-20s %10s %10s %8s %10s %10s %8s %9s %10s %9s\n", "size", "column",
                    "1 thread", (std::to_string(options.threads) + " threads").c_str(),
                    "speed-up", "traffic 1", ("traffic " + std::to_string(options.threads)).c_str(),
                    "speed-up", "/traffic", "best", "/traffic");
        for (const Geometry& g : options.sizes) {
            const double traffic_one = traffic_only_ms(g, 1);
            const double traffic_many = traffic_only_ms(g, options.threads);
            std::vector<Contender> list = contenders();
            const auto times = measure_threads(g, list, options.rounds, options.threads);
            for (size_t i = 0; i < list.size(); ++i) {
                const ThreadTimes& t = times[i];
                std::printf(
                    "%-10s %-20s %10.4f %10.4f %8.2f %10.4f %10.4f %8.2f %9.2f %10.4f %9.2f\n",
                    g.name().c_str(), (list[i].column.name + list[i].path_name).c_str(), t.one,
                    t.many, t.many > 0 ? t.one / t.many : 0.0, traffic_one, traffic_many,
                    traffic_one / traffic_many, t.many / traffic_many, t.many_best,
                    t.many_best / traffic_many);
            }
            std::fflush(stdout);
        }
    }
    prim_use_eight_lanes(true);
    prim_fill_slots(0);
    if (!all_agree) {
        std::printf("\nthe two pipelines disagree beyond the tolerance\n");
        return 1;
    }
    return 0;
}
