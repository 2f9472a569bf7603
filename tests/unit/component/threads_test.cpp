// Objects on several threads at once, as a free-threaded host uses them: each thread drives
// objects of its own while others are constructed (which rewrites the kernel slots without a
// lock) and fail with messages of their own, and each frame is split into bands on the engine's
// own threads. Every thread must get the images a lone object computes with one band, and only
// its own error messages. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#if defined(__MINGW32__) && !defined(_GLIBCXX_HAS_GTHREADS)
// MinGW's win32 thread model has no std::thread: nothing to run here.
#else
#include <vector>

#include "component/component_test_util.hpp"
#include "engine/motion_engine.hpp"

using namespace orvane_test;

namespace {

constexpr LONG kColumns = 32, kLines = 24;
constexpr int32_t kFrames = 6;

// The images of one object after kFrames frames: Un, then Ixy.
std::vector<std::vector<float> > run_object() {
    std::vector<std::vector<float> > images;
    Object obj = make_object();
    if (!obj) return images;
    obj->put_columns(kColumns);
    obj->put_lines(kLines);
    if (obj->create_orvane() != S_OK) return images;
    for (int32_t f = 0; f < kFrames; ++f) {
        Variant img;
        make_float_array(&img.v, kColumns, kLines, 0, test_frame(kColumns, kLines, f));
        if (obj->process_data(img.v) != S_OK) return images;
    }
    Variant un, ixy;
    obj->get_Un(&un.v);
    obj->get_Ixy(&ixy.v);
    images.push_back(floats_of(un.v));
    images.push_back(floats_of(ixy.v));
    return images;
}

}  // namespace

TEST(CoOrvaneThreads, ObjectsOnFourThreadsComputeWhatALoneObjectComputes) {
    const int32_t bands = engine_threads();
    engine_set_threads(1);
    const auto expected = run_object();
    ASSERT_EQ(expected.size(), 2u);
    engine_set_threads(2);
    constexpr int kThreads = 4, kObjectsPerThread = 3;
    std::vector<std::string> problems(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &expected, &problems] {
            for (int k = 0; k < kObjectsPerThread; ++k) {
                if (run_object() != expected) problems[t] += "images differ; ";
                // A failure of this thread's own, read back on this thread.
                Object idle = make_object();
                Variant img;
                if (!idle || idle->process_data(img.v) != E_FAIL ||
                    take_error() != "Object not allocated. Please invoke 'create_orvane()'.")
                    problems[t] += "wrong error record; ";
            }
        });
    }
    for (std::thread& th : threads) th.join();
    engine_set_threads(bands);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(problems[t], "") << "thread " << t;
}
#endif
