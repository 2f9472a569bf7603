// The typed door into the engine: its refusals with the component's messages, frames given
// with gaps between their lines, and the engine's stages run by a host on frames of its own
// giving the engine's own bits.
#include "engine/motion_session.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_stages.hpp"

namespace {

std::vector<float> random_frame(std::mt19937& rng, int32_t columns, int32_t lines) {
    std::uniform_real_distribution<float> grey(0.0f, 255.0f);
    std::vector<float> f(static_cast<size_t>(columns) * lines);
    for (float& v : f) v = grey(rng);
    return f;
}

// Every refusal: which fault, the component's message, and that the session is unchanged.
TEST(MotionSession, RefusesWithTheComponentsMessages) {
    const std::vector<float> frame(8 * 6, 1.0f);
    struct Case {
        const char* name;
        void (*act)(MotionSession&, const float*);
        MotionFault fault;
        const char* message;
    };
    const Case cases[] = {
        {"columns not a multiple of 4", [](MotionSession& s, const float*) { s.create(6, 6); },
         MotionFault::columns, motion_messages::columns},
        {"no columns", [](MotionSession& s, const float*) { s.create(0, 6); },
         MotionFault::columns, motion_messages::columns},
        {"no lines", [](MotionSession& s, const float*) { s.create(8, 0); }, MotionFault::lines,
         motion_messages::lines},
        {"a frame before create", [](MotionSession& s, const float* f) { s.process(f, 8, 6); },
         MotionFault::not_created, motion_messages::not_allocated},
        {"an image before create", [](MotionSession& s, const float*) { s.view(EngineImage::It); },
         MotionFault::not_created, motion_messages::not_allocated},
        {"a wider frame",
         [](MotionSession& s, const float* f) {
             s.create(8, 6);
             s.process(f, 12, 4);
         },
         MotionFault::frame_size, motion_messages::incompatible_size},
        {"a shorter frame",
         [](MotionSession& s, const float* f) {
             s.create(8, 6);
             s.process(f, 8, 5);
         },
         MotionFault::frame_size, motion_messages::incompatible_size},
        {"no frame",
         [](MotionSession& s, const float*) {
             s.create(8, 6);
             s.process(nullptr, 8, 6);
         },
         MotionFault::frame_missing, motion_messages::invalid_argument},
        {"lines overlapping",
         [](MotionSession& s, const float* f) {
             s.create(8, 6);
             s.process(f, 8, 6, 7);
         },
         MotionFault::frame_missing, motion_messages::invalid_argument},
    };
    for (const Case& c : cases) {
        MotionSession s;
        try {
            c.act(s, frame.data());
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const MotionError& e) {
            EXPECT_EQ(e.fault(), c.fault) << c.name;
            EXPECT_STREQ(e.what(), c.message) << c.name;
        }
        EXPECT_EQ(s.frames_processed(), 0) << c.name << ": a refused frame counts";
    }
}

TEST(MotionSession, KeywordsAreTheComponentsInItsOrder) {
    EXPECT_EQ(computation_mode_keywords(), "changedetection, orvane, affineparams, all");
    EXPECT_EQ(time_derivative_keywords(), "recursive, batch");
    for (ComputationMode m : {ComputationMode::changedetection, ComputationMode::orvane,
                              ComputationMode::affineparams, ComputationMode::all}) {
        ComputationMode back{};
        ASSERT_TRUE(parse_computation_mode(keyword_of(m), &back)) << keyword_of(m);
        EXPECT_EQ(back, m);
    }
    ComputationMode m{};
    TimeDerivative t{};
    for (const char* refused : {"All", "all ", "", "fast"}) {
        EXPECT_FALSE(parse_computation_mode(refused, &m)) << "'" << refused << "'";
        EXPECT_FALSE(parse_time_derivative(refused, &t)) << "'" << refused << "'";
    }
}

// A frame whose lines lie apart gives the results of the same frame without gaps, in every
// mode; the images a mode does not compute are empty views.
TEST(MotionSession, FramesWithGapsAndTheImagesOfEachMode) {
    constexpr int32_t kColumns = 12, kLines = 9, kStride = 17;
    std::mt19937 rng(3);
    for (ComputationMode mode : {ComputationMode::changedetection, ComputationMode::orvane,
                                 ComputationMode::affineparams, ComputationMode::all}) {
        const MotionSettings settings{mode, TimeDerivative::batch, true, 0.01};
        MotionSession tight, gapped;
        tight.create(kColumns, kLines, settings);
        gapped.create(kColumns, kLines, settings);
        for (int k = 0; k < 6; ++k) {
            const std::vector<float> f = random_frame(rng, kColumns, kLines);
            std::vector<float> wide(static_cast<size_t>(kStride) * kLines, -1.0f);
            for (int32_t y = 0; y < kLines; ++y) {
                std::memcpy(&wide[static_cast<size_t>(y) * kStride], &f[static_cast<size_t>(y) * kColumns],
                            kColumns * sizeof(float));
            }
            tight.process(f.data(), kColumns, kLines);
            gapped.process(wide.data(), kColumns, kLines, kStride);
        }
        for (const ResultImageInfo& r : kResultImages) {
            const ImageView a = tight.view(r.image), b = gapped.view(r.image);
            const bool computed = engine_computes(r.image, mode_flag(mode));
            ASSERT_EQ(a.empty(), !computed) << keyword_of(mode) << " " << r.name;
            if (!computed) continue;
            ASSERT_EQ(a.columns, kColumns);
            ASSERT_EQ(a.lines, kLines);
            for (int32_t y = 0; y < kLines; ++y) {
                ASSERT_EQ(std::memcmp(a.line(y), b.line(y), kColumns * sizeof(float)), 0)
                    << keyword_of(mode) << " " << r.name << " line " << y;
            }
        }
    }
}

// A host that runs the stages on frames of its own (smoothing, derivatives of the centre frame,
// the batch moments line by line) gets exactly the engine's images of the same five frames.
TEST(EngineStages, AHostsStagesGiveTheEnginesBits) {
    std::mt19937 rng(5);
    for (const bool filter : {false, true}) {
        for (const int32_t columns : {8, 36}) {
            constexpr int32_t kLines = 7;
            const std::string name =
                std::to_string(columns) + " columns" + (filter ? ", input filter" : "");
            MotionSession s;
            s.create(columns, kLines,
                     {ComputationMode::affineparams, TimeDerivative::batch, filter, 0.01});
            const int32_t bw = columns + 2 * engine_stages::kBorder;
            const int32_t bstep = bw * 4, step = columns * 4;
            const Size roi{columns, kLines};
            // The five frames as the host keeps them: bordered, smoothed with the filter.
            std::vector<std::vector<float>> frames;
            std::vector<float> scratch(static_cast<size_t>(bw) * (kLines + 4));
            const size_t at = 2 * static_cast<size_t>(bw) + 2;
            for (int k = 0; k < 5; ++k) {
                const std::vector<float> f = random_frame(rng, columns, kLines);
                s.process(f.data(), columns, kLines);
                std::vector<float> b(static_cast<size_t>(bw) * (kLines + 4));
                for (int32_t y = 0; y < kLines; ++y) {
                    std::memcpy(&b[at + static_cast<size_t>(y) * bw],
                                &f[static_cast<size_t>(y) * columns], step);
                }
                if (filter) engine_stages::smooth(&b[at], &scratch[at], bstep, roi);
                engine_stages::fill_border(&b[at], bstep, roi);
                frames.push_back(std::move(b));
            }
            const size_t n = static_cast<size_t>(columns) * kLines;
            std::vector<float> ix(n), iy(n), ix2(n), iy2(n), ixy(n), it(n), ixt(n), iyt(n);
            engine_stages::spatial_derivatives(&frames[2][at], bstep, ix.data(), iy.data(), step,
                                               roi);
            engine_stages::spatial_products(ix.data(), iy.data(), ix2.data(), iy2.data(),
                                            ixy.data(), step, roi);
            for (int32_t y = 0; y < kLines; ++y) {
                const float* f[5];
                for (int k = 0; k < 5; ++k) f[k] = &frames[k][at + static_cast<size_t>(y) * bw];
                const size_t i = static_cast<size_t>(y) * columns;
                engine_stages::batch_moments_line(f, &ix[i], &iy[i], columns, &it[i], &ixt[i],
                                                  &iyt[i]);
            }
            const std::pair<EngineImage, const std::vector<float>*> expected[] = {
                {EngineImage::Ix, &ix},   {EngineImage::Iy, &iy},   {EngineImage::Ix2, &ix2},
                {EngineImage::Iy2, &iy2}, {EngineImage::Ixy, &ixy}, {EngineImage::It, &it},
                {EngineImage::Ixt, &ixt}, {EngineImage::Iyt, &iyt}};
            for (const auto& [which, mine] : expected) {
                const ImageView v = s.view(which);
                for (int32_t y = 0; y < kLines; ++y) {
                    ASSERT_EQ(std::memcmp(v.line(y), mine->data() + static_cast<size_t>(y) * columns,
                                          step),
                              0)
                        << name << ": " << kResultImages[static_cast<int>(which)].name << " line "
                        << y;
                }
            }
        }
    }
}

}  // namespace
