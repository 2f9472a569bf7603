// Google Benchmark suite: every image kernel, and MotionEngine::process in every computation
// mode, both time rules, with and without the input filter, at 128x128, 640x480 and 1920x1080,
// in every variant column this machine can run (column 0 with the engine's fused pipeline, as the
// engine chooses it, and with the kernel sequence forced: col0-kernels).
//
// Names read kernel/<kernel>/<column>/<size> and engine/<mode>/<time rule>/<filter>/<column>/
// <size>; select with --benchmark_filter (for example 'engine/all/recursive/filter/.*').
#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.hpp"
#include "engine/motion_engine.hpp"
#include "primitives/primitives.hpp"

namespace {

using bench::AllocatedImage;
using bench::Column;
using bench::Geometry;

// The operands of one kernel benchmark: two sources, a destination, and a bordered source for
// the filters (two pixels all round).
struct Operands {
    AllocatedImage a, b, d, bordered;
    Size roi;
    explicit Operands(const Geometry& g)
        : a(g.columns, g.lines),
          b(g.columns, g.lines),
          d(g.columns, g.lines),
          bordered(g.columns + 4, g.lines + 4),
          roi{g.columns, g.lines} {
        a.fill(1.0f);  // strictly positive: the division meets no zero divisor
        b.fill(-3.0f);
        d.fill(0.5f);
        bordered.fill(2.0f);
    }
};

struct KernelCase {
    const char* name;
    int operands_touched;  // images read or written per pixel, for the bytes/s figure; 0: none
    std::function<void(Operands&)> run;
};

std::vector<KernelCase> kernel_cases() {
    return {
        {"copy", 2,
         [](Operands& o) { prim_copy_32f(o.a.data(), o.a.step(), o.d.data(), o.d.step(), o.roi); }},
        {"set", 1, [](Operands& o) { prim_set_32f(0.0f, o.d.data(), o.d.step(), o.roi); }},
        {"malloc_free", 0,
         [](Operands& o) {
             int32_t step = 0;
             float* image = prim_malloc_32f(o.roi.width, o.roi.height, &step);
             benchmark::DoNotOptimize(image);
             prim_free(image);
         }},
        {"add", 3,
         [](Operands& o) {
             prim_add_32f(o.a.data(), o.a.step(), o.b.data(), o.b.step(), o.d.data(), o.d.step(),
                          o.roi);
         }},
        {"add_const_inplace", 2,
         [](Operands& o) { prim_add_const_inplace_32f(0.01f, o.d.data(), o.d.step(), o.roi); }},
        {"subtract", 3,
         [](Operands& o) {
             prim_subtract_32f(o.a.data(), o.a.step(), o.b.data(), o.b.step(), o.d.data(),
                               o.d.step(), o.roi);
         }},
        {"mul", 3,
         [](Operands& o) {
             prim_mul_32f(o.a.data(), o.a.step(), o.b.data(), o.b.step(), o.d.data(), o.d.step(),
                          o.roi);
         }},
        {"div", 3,
         [](Operands& o) {
             prim_div_32f(o.a.data(), o.a.step(), o.b.data(), o.b.step(), o.d.data(), o.d.step(),
                          o.roi);
         }},
        {"sqr", 2,
         [](Operands& o) { prim_sqr_32f(o.a.data(), o.a.step(), o.d.data(), o.d.step(), o.roi); }},
        {"filter_row", 2,
         [](Operands& o) {
             prim_filter_row_32f(o.bordered.at(2, 2), o.bordered.step(), o.d.data(), o.d.step(),
                                 o.roi, bench::kSmoothTaps, 5, 2);
         }},
        {"filter_column", 2,
         [](Operands& o) {
             prim_filter_column_32f(o.bordered.at(2, 2), o.bordered.step(), o.d.data(), o.d.step(),
                                    o.roi, bench::kSmoothTaps, 5, 2);
         }},
        {"add_weighted_inplace", 2,
         [](Operands& o) {
             prim_add_weighted_inplace_32f(o.a.data(), o.a.step(), o.d.data(), o.d.step(), o.roi,
                                           0.5f);
         }},
    };
}

void register_kernels() {
    for (const Column& c : bench::all_columns()) {
        for (const Geometry& g : bench::geometries()) {
            for (const KernelCase& k : kernel_cases()) {
                const std::string name =
                    std::string("kernel/") + k.name + "/" + c.name + "/" + g.name();
                benchmark::RegisterBenchmark(name.c_str(), [c, g, k](benchmark::State& state) {
                    if (!bench::use_column(c)) {
                        state.SkipWithError("column lacks a variant");
                        return;
                    }
                    Operands o(g);
                    for (auto _ : state) {
                        k.run(o);
                        benchmark::ClobberMemory();
                    }
                    if (k.operands_touched > 0) {  // pixels per second mean nothing for malloc
                        state.SetBytesProcessed(int64_t(state.iterations()) * k.operands_touched *
                                                4 * g.columns * g.lines);
                        state.SetItemsProcessed(int64_t(state.iterations()) * g.columns * g.lines);
                    }
                })->Unit(benchmark::kMicrosecond);
            }
        }
    }
}

// Eight frames per geometry, made once and shared by every engine benchmark.
const std::vector<std::vector<float>>& frames_of(const Geometry& g) {
    static std::map<std::pair<int32_t, int32_t>, std::vector<std::vector<float>>> cache;
    auto& frames = cache[{g.columns, g.lines}];
    if (frames.empty()) {
        frames.resize(8);
        for (int32_t m = 0; m < 8; ++m) bench::make_frame(g.columns, g.lines, m, frames[m]);
    }
    return frames;
}

struct Mode {
    const char* name;
    int32_t flag;
};

void register_engine() {
    const Mode modes[] = {{"changedetection", FLAG_CHANGE_DETECTION},
                          {"affineparams", FLAG_AFFINE_PARAMS},
                          {"orvane", FLAG_ORVANE},
                          {"all", FLAG_ALL}};
    const std::pair<const char*, int32_t> rules[] = {{"recursive", TD_RECURSIVE},
                                                     {"batch", TD_BATCH}};
    // Column 0 has the fused pipeline, which the engine chooses by itself; "col0-kernels" forces
    // the whole-image kernel sequence there for comparison.
    std::vector<std::pair<Column, EnginePath>> runs;
    for (const Column& c : bench::all_columns()) {
        runs.push_back({c, EnginePath::automatic});
        if (c.k == 0) runs.push_back({Column{0, c.wide, "col0-kernels"}, EnginePath::kernels});
    }
    for (const auto& [c, path] : runs) {
        for (const Mode& mode : modes) {
            for (const auto& [rule_name, rule] : rules) {
                for (bool filter : {true, false}) {
                    for (const Geometry& g : bench::geometries()) {
                        const std::string name =
                            std::string("engine/") + mode.name + "/" + rule_name + "/" +
                            (filter ? "filter" : "nofilter") + "/" + c.name + "/" + g.name();
                        const int32_t flags = mode.flag | (filter ? FLAG_INPUT_FILTER : 0);
                        const int32_t td = rule;
                        benchmark::RegisterBenchmark(name.c_str(), [c = c, path = path, g, flags,
                                                                    td](benchmark::State& state) {
                            if (!bench::use_column(c)) {
                                state.SkipWithError("column lacks a variant");
                                return;
                            }
                            const auto& frames = frames_of(g);
                            auto engine = std::make_unique<MotionEngine>();
                            if (!engine->create(g.columns, g.lines, 0.01f, td, flags)) {
                                state.SkipWithError("engine could not be created");
                                return;
                            }
                            engine->set_path(path);
                            // Past the start-up frames of the batch rule: the steady state.
                            size_t m = 0;
                            for (; m < 6; ++m) engine->process(frames[m % frames.size()].data());
                            for (auto _ : state) {
                                engine->process(frames[m++ % frames.size()].data());
                                benchmark::ClobberMemory();
                            }
                            state.SetItemsProcessed(int64_t(state.iterations()) * g.columns *
                                                    g.lines);
                            state.counters["frames/s"] = benchmark::Counter(
                                double(state.iterations()), benchmark::Counter::kIsRate);
                        })->Unit(benchmark::kMillisecond);
                    }
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("processor: %s; variant selection picks column %d here\n",
                bench::cpu_model_name().c_str(), prim_cpu_class());
    register_kernels();
    register_engine();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    prim_use_eight_lanes(true);
    prim_fill_slots(0);
    return 0;
}
