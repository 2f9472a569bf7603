// Tests of orvane-flow's parts through their public functions: still-image reading and
// writing, file listing, the all-or-nothing output folder, the pictures and the report text,
// the pipeline, the built-in sequence's flow, the job's cancel and the stabiliser's warp. The
// program as a whole is tested end to end in test_orvane_flow.py.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "analysis/affine.hpp"
#include "analysis/component_session.hpp"
#include "analysis/tracker.hpp"
#include "flow/canvas.hpp"
#include "flow/flow_job.hpp"
#include "flow/frame_source.hpp"
#include "flow/image_io.hpp"
#include "flow/output_stage.hpp"
#include "flow/pictures.hpp"
#include "flow/pipeline.hpp"
#include "flow/reports.hpp"
#include "flow/stabilize.hpp"

namespace fs = std::filesystem;

namespace {

// A fresh folder per test, removed afterwards.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/orvane-flow-test-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const {
        return (fs::path(path_) / name).string();
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

TEST(StillImages, ReadBackWhatWasWrittenAndScaleDeepImages) {
    TempDir dir;
    GreyImage img(7, 3);
    for (size_t i = 0; i < img.data.size(); ++i) img.data[i] = static_cast<float>(i * 12 % 256);
    write_png_grey(dir / "a.png", img);
    const GreyImage png = read_still_image(dir / "a.png");
    ASSERT_EQ(png.columns, 7);
    ASSERT_EQ(png.lines, 3);
    EXPECT_EQ(png.data, img.data) << "8-bit PNG round trip";

    struct Case {
        const char* name;
        std::string bytes;
        std::vector<float> expected;
    };
    const Case cases[] = {
        {"P5 8-bit", std::string("P5\n2 1\n255\n") + '\x00' + '\xff', {0.0f, 255.0f}},
        {"P5 16-bit, big-endian",
         std::string("P5 2 1 65535\n") + '\xff' + '\xff' + '\x01' + '\x01',
         {255.0f, 1.0f}},
        {"P2 with a comment, maxval 15",
         "P2\n# made by hand\n3 1\n15\n0 15 5\n",
         {0.0f, 255.0f, 85.0f}},
    };
    for (const Case& c : cases) {
        write_bytes(dir / "b.pgm", c.bytes);
        const GreyImage pgm = read_still_image(dir / "b.pgm");
        EXPECT_EQ(pgm.data, c.expected) << c.name;
    }
}

// A PNG signature and IHDR chunk (8-bit grey) followed by an empty IDAT and IEND.
std::string png_header(uint32_t width, uint32_t height) {
    auto be32 = [](uint32_t v) {
        return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 8), static_cast<char>(v)};
    };
    auto chunk = [&](const std::string& type, const std::string& data) {
        // libpng checks the CRC of critical chunks: compute it.
        uint32_t crc = 0xffffffffu;
        for (char ch : type + data) {
            crc ^= static_cast<uint8_t>(ch);
            for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
        return be32(static_cast<uint32_t>(data.size())) + type + data + be32(~crc);
    };
    const std::string ihdr = be32(width) + be32(height) + std::string("\x08\x00\x00\x00\x00", 5);
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", "") +
           chunk("IEND", "");
}

TEST(StillImages, BadFilesGiveAMessageNamingTheFile) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string bytes;
        const char* expected;
    };
    const Case cases[] = {
        {"empty", "", "is empty"},
        {"not an image", "hello world", "neither a PNG nor a PGM"},
        {"zero size", "P5 0 4 255\n", "zero-size"},
        {"truncated", "P5 4 4 255\nabc", "truncated"},
        {"bad maxval", "P5 1 1 70000\nab", "maxval"},
        {"truncated PNG", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16), "cannot read PNG"},
        // Sizes from a header are judged before anything of that size is allocated.
        {"PGM header claiming 65536x16384", "P5\n65536 16384\n255\n", "larger than the component"},
        {"PGM header claiming more than the file holds", "P5 4000 4000 255\nabc", "truncated"},
        {"P2 with more than the file holds", "P2 4000 4000 255\n1 2 3", "truncated"},
        {"P2 with a negative sample", "P2 2 1 255\n4 -3\n", "sample 1 is not a whole number"},
        {"PNG header claiming 65536x65536", png_header(65536, 65536), "larger than the component"},
        {"PNG header claiming more than the file holds", png_header(4000, 4000), "more than its"},
    };
    for (const Case& c : cases) {
        const std::string path = dir / (std::string(c.name) + ".img");
        write_bytes(path, c.bytes);
        try {
            read_still_image(path);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const FlowError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.expected), std::string::npos) << c.name << ": " << what;
            EXPECT_NE(what.find(path), std::string::npos) << c.name << ": " << what;
        }
    }
}

TEST(StillImages, AFailedWriteNamesTheSystemsReason) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const GreyImage image(64, 64, 7.0f);
    const std::vector<std::pair<const char*, std::function<void()>>> writers = {
        {"text", [] { write_text_file("/dev/full", std::string(100000, 'x')); }},
        {"grey PNG", [&] { write_png_grey("/dev/full", image); }},
        {"npy", [&] { write_npy("/dev/full", image); }},
    };
    for (const auto& [name, write] : writers) {
        try {
            write();
            ADD_FAILURE() << name << ": no error";
        } catch (const FlowError& e) {
            EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos)
                << name << ": " << e.what();
        }
    }
}

TEST(ImageFiles, FolderIsListedInNaturalOrderWithoutOtherFiles) {
    TempDir dir;
    for (const char* name : {"f10.png", "f2.png", "f1.PGM", "notes.txt", "f02b.png"}) {
        write_bytes(dir / name, "x");
    }
    fs::create_directory(dir / "sub.png");
    const auto files = list_image_files(dir.path());
    std::vector<std::string> names;
    for (const auto& f : files) names.push_back(fs::path(f).filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"f1.PGM", "f2.png", "f02b.png", "f10.png"}));

    TempDir empty;
    EXPECT_THROW(list_image_files(empty.path()), FlowError);
    EXPECT_THROW(list_image_files(empty / "*.png"), FlowError);
}

// The folder's visible entries and their contents ("name=text", folders as "name/").
std::vector<std::string> folder_state(const std::string& folder) {
    std::vector<std::string> state;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        std::error_code ec;
        if (e.is_directory(ec)) {
            state.push_back(name + "/");
            continue;
        }
        std::ifstream f(e.path());
        std::string text;
        f >> text;
        state.push_back(name + "=" + text);
    }
    std::sort(state.begin(), state.end());
    return state;
}

// Writes `files` (name=text) through a stage with the summary.json that lists them, as a run of
// the tool does, and commits.
std::string summary_of(const std::vector<std::string>& names) {
    std::string listed;
    for (const auto& n : names) listed += (listed.empty() ? "\"" : ", \"") + n + "\"";
    return "{\"tool\": \"orvane-flow\", \"outputs\": [" + listed + "]}";
}

void run_into(const std::string& out, bool replace,
              const std::vector<std::pair<std::string, std::string>>& files) {
    OutputStage stage(out, replace);
    for (const auto& [name, text] : files) write_bytes(stage.path_for(name), text);
    const std::string summary = stage.path_for("summary.json");
    write_bytes(summary, summary_of(stage.names()));
    stage.commit();
}

// The ways a stage can put its files in place: exchanged with the output folder in one rename,
// set aside and renamed where the file system cannot exchange, and file by file inside a folder
// that cannot be moved.
const struct Strategy {
    const char* name;
    OutputStage::Testing testing;
} kStrategies[] = {
    {"exchange", {}}, {"two renames", {.no_exchange = true}}, {"inside", {.inside = true}}};

// Sets the test hooks for the scope.
struct Hooks {
    explicit Hooks(OutputStage::Testing t) { OutputStage::set_testing(t); }
    ~Hooks() { OutputStage::set_testing({}); }
};

TEST(OutputStage, FilesAppearOnlyOnCommitAndVanishOnFailure) {
    for (const Strategy& strategy : kStrategies) {
        SCOPED_TRACE(strategy.name);
        const Hooks hooks(strategy.testing);
        TempDir dir;
        const std::string out = dir / "out";
        {
            OutputStage stage(out, false);
            write_bytes(stage.path_for("a.txt"), "new");
            write_bytes(stage.path_for("summary.json"), summary_of(stage.names()));
            EXPECT_FALSE(fs::exists(fs::path(out) / "a.txt")) << "visible before commit";
            stage.commit();
        }
        EXPECT_EQ(folder_state(dir.path()), std::vector<std::string>{"out/"});
        const std::vector<std::string> earlier = folder_state(out);
        EXPECT_EQ(earlier, (std::vector<std::string>{"a.txt=new", "summary.json={\"tool\":"}));

        // A run that fails leaves the earlier results and nothing of its own.
        {
            OutputStage stage(out, true);
            write_bytes(stage.path_for("a.txt"), "half");
            write_bytes(stage.path_for("b.txt"), "half");
        }
        EXPECT_EQ(folder_state(out), earlier);
        EXPECT_EQ(folder_state(dir.path()), std::vector<std::string>{"out/"});

        // Nor the folders it made for the output.
        {
            OutputStage stage(dir / "fresh/deeper", false);
            write_bytes(stage.path_for("x.png"), "x");
        }
        EXPECT_FALSE(fs::exists(dir / "fresh"));

    }
}

TEST(OutputStage, PathsThatCannotBeAFolderAreRefusedSayingWhy) {
    TempDir dir;
    write_bytes(dir / "plainfile", "x");
    fs::create_symlink("loop", dir / "loop");
    const std::pair<std::string, const char*> cases[] = {
        {dir / "plainfile", "exists and is not a folder"},
        {dir / "plainfile/out", "Not a directory"},
        {dir / "loop", "is a symbolic link that loops"},
    };
    for (const auto& [path, message] : cases) {
        try {
            OutputStage stage(path, true);
            ADD_FAILURE() << path << " accepted";
        } catch (const FlowError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(folder_state(dir.path()), (std::vector<std::string>{"loop=", "plainfile=x"}));
}

TEST(OutputStage, ReplacesOnlyWhatAnEarlierRunWrote) {
    const std::string earlier_run = summary_of({"frames.csv", "Is_000001.png", "summary.json"});
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;  // in the folder before the run
        bool replace;
        const char* refusal;  // part of the message, or null: the run replaces the folder
    } cases[] = {
        {"a folder of other files",
         {{"clip.mp4", "video"}, {"notes.txt", "mine"}},
         false,
         "holds files that are not results of orvane-flow (clip.mp4, notes.txt)"},
        {"the same with --force",
         {{"clip.mp4", "video"}, {"notes.txt", "mine"}},
         true,
         "--force replaces only the files an earlier run wrote"},
        {"earlier results beside a file of the user's",
         {{"frames.csv", "old"}, {"summary.json", earlier_run}, {"notes.txt", "mine"}},
         true,
         "not results of orvane-flow (notes.txt)"},
        {"a hidden file of the user's",
         {{"frames.csv", "old"}, {"summary.json", earlier_run}, {".notes", "mine"}},
         true,
         "not results"},
        {"a summary of another program",
         {{"frames.csv", "old"}, {"summary.json", "{\"tool\": \"x\"}"}},
         true,
         "not results"},
        {"earlier results without --force",
         {{"frames.csv", "old"}, {"summary.json", earlier_run}},
         false,
         "holds earlier results; choose another --out or add --force"},
        {"earlier results with --force, some of them gone",
         {{"frames.csv", "old"}, {"summary.json", earlier_run}},
         true,
         nullptr},
        {"a leftover of a killed run of an earlier version",
         {{"frames.csv", "old"},
          {"summary.json", earlier_run},
          {".orvane-flow-999999999.partial", "half"}},
         true,
         nullptr},
        {"a video the earlier run placed beside its results",
         {{"flow.mp4", "old"},
          {"summary.json",
           "{\"tool\": \"orvane-flow\", \"outputs\": [\"summary.json\"], "
           "\"video\": \"VIDEO\"}"}},
         true,
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string out = dir / "out";
        fs::create_directory(out);
        for (auto [name, text] : c.files) {
            if (const size_t at = text.find("VIDEO"); at != std::string::npos)
                text.replace(at, 5, out + "/flow.mp4");
            write_bytes(fs::path(out) / name, text);
        }
        const std::vector<std::string> before = folder_state(out);
        if (c.refusal) {
            try {
                OutputStage stage(out, c.replace);
                ADD_FAILURE() << "not refused";
            } catch (const FlowError& e) {
                EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
            }
            EXPECT_EQ(folder_state(out), before);
        } else {
            run_into(out, c.replace, {{"frames.csv", "new"}});
            EXPECT_EQ(folder_state(out),
                      (std::vector<std::string>{"frames.csv=new", "summary.json={\"tool\":"}));
        }
        EXPECT_EQ(folder_state(dir.path()), std::vector<std::string>{"out/"});
    }
}

TEST(OutputStage, RunsIntoOneFolderNeverTouchEachOthersFiles) {
    for (const Strategy& strategy : kStrategies) {
        for (const bool earlier : {false, true}) {
            SCOPED_TRACE(std::string(strategy.name) + (earlier ? ", earlier results" : ", new"));
            const Hooks hooks(strategy.testing);
            TempDir dir;
            const std::string out = dir / "out";
            if (earlier) run_into(out, true, {{"frames.csv", "old"}});
            OutputStage first(out, true), second(out, true);
            write_bytes(first.path_for("frames.csv"), "first");
            write_bytes(second.path_for("frames.csv"), "second");
            {
                // A third run that fails removes its own files only.
                OutputStage third(out, true);
                write_bytes(third.path_for("frames.csv"), "third");
            }
            first.commit();
            std::vector<std::string> seen = folder_state(out);
            std::erase_if(seen, [](const std::string& e) { return e[0] == '.'; });  // the second's
            EXPECT_EQ(seen, std::vector<std::string>{"frames.csv=first"});
            // The second finds the folder changed since it began and replaces nothing.
            try {
                second.commit();
                ADD_FAILURE() << "the second commit replaced the first one's results";
            } catch (const FlowError& e) {
                EXPECT_NE(std::string(e.what()).find("changed during the run"), std::string::npos)
                    << e.what();
            }
            EXPECT_EQ(folder_state(out), std::vector<std::string>{"frames.csv=first"});
            EXPECT_EQ(folder_state(dir.path()), std::vector<std::string>{"out/"});
        }
    }
}

TEST(OutputStage, AFailedCommitLeavesTheFolderAsItWas) {
    for (const Strategy& strategy : kStrategies) {
        TempDir dir;
        const std::string out = dir / "out";
        run_into(out, false, {{"old_000001.png", "old"}, {"frames.csv", "old"}});
        const std::vector<std::string> earlier = folder_state(out);
        // Every rename of the commit may be the one that fails.
        for (int fail_at = 1;; ++fail_at) {
            SCOPED_TRACE(std::string(strategy.name) + ", rename " + std::to_string(fail_at));
            OutputStage::Testing t = strategy.testing;
            t.fail_rename = fail_at;
            const Hooks hooks(t);
            OutputStage stage(out, true);
            write_bytes(stage.path_for("frames.csv"), "new");
            write_bytes(stage.path_for("flow_000001.png"), "new");
            try {
                stage.commit();
            } catch (const FlowError& e) {
                EXPECT_NE(std::string(e.what()).find("the folder keeps its earlier contents"),
                          std::string::npos)
                    << e.what();
                EXPECT_EQ(folder_state(out), earlier);
                EXPECT_EQ(folder_state(dir.path()), std::vector<std::string>{"out/"});
                continue;
            }
            // Past the last rename.
            EXPECT_EQ(folder_state(out),
                      (std::vector<std::string>{"flow_000001.png=new", "frames.csv=new"}));
            break;
        }
    }
}

TEST(OutputStage, WhatAKilledRunLeftIsRemovedOrRolledBackByTheNext) {
    for (const Strategy& strategy : kStrategies) {
        for (const bool earlier : {false, true}) {
            bool finished = false;
            // Killed before each step of the commit in turn, until one commit completes.
            for (int kill_at = 1; !finished; ++kill_at) {
                const std::string trace = std::string(strategy.name) +
                                          (earlier ? ", earlier results" : ", new") +
                                          ", killed before step " + std::to_string(kill_at);
                SCOPED_TRACE(trace);
                ASSERT_LT(kill_at, 20);
                TempDir dir;
                const std::string out = dir / "out";
                const std::vector<std::string> nothing, parent_only{"out/"};
                std::vector<std::string> before;
                if (earlier) {
                    run_into(out, false, {{"frames.csv", "old"}, {"old_000001.png", "old"}});
                    before = folder_state(out);
                }
                const pid_t child = ::fork();
                ASSERT_GE(child, 0);
                if (child == 0) {
                    OutputStage::Testing t = strategy.testing;
                    t.exit_before_step = kill_at;
                    OutputStage::set_testing(t);
                    run_into(out, true, {{"frames.csv", "new"}, {"flow_000001.png", "new"}});
                    ::_exit(0);
                }
                // Ended but not yet waited for, as a killed worker often is for a while.
                siginfo_t info{};
                ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
                ASSERT_EQ(info.si_code, CLD_EXITED);
                finished = info.si_status == 0;
                if (!finished) {
                    ASSERT_EQ(info.si_status, 86);
                }
                // The next run into the folder (here one that fails).
                { OutputStage next(out, true); }
                ::waitpid(child, nullptr, 0);
                const std::vector<std::string> got = fs::exists(out) ? folder_state(out) : nothing;
                const std::vector<std::string> made{"flow_000001.png=new", "frames.csv=new",
                                                    "summary.json={\"tool\":"};
                EXPECT_TRUE(got == before || got == made) << ::testing::PrintToString(got);
                if (finished) {
                    EXPECT_EQ(got, made);
                }
                EXPECT_EQ(folder_state(dir.path()),
                          got.empty() && !earlier ? nothing : parent_only);
            }
        }
    }
}

TEST(Pictures, FlowColourIsDirectionAndSpeedOnOneFixedScale) {
    // u, v in px/frame, the direction the content moves; max_speed 2 is full colour.
    struct Case {
        const char* name;
        float u, v;
        bool valid;
        int r, g, b;
    };
    const Case cases[] = {
        {"right at full speed: red", 2, 0, true, 255, 0, 0},
        {"down: yellow-green", 0, 2, true, 128, 255, 0},
        {"left: cyan", -2, 0, true, 0, 255, 255},
        {"up: violet", 0, -2, true, 128, 0, 255},
        {"beyond the scale is clipped", 40, 0, true, 255, 0, 0},
        {"half the scale: half saturated", 1, 0, true, 255, 128, 128},
        {"still: white", 0, 0, true, 255, 255, 255},
        {"invalid: neutral grey", 2, 0, false, 128, 128, 128},
        {"NaN: neutral grey", NAN, 0, true, 128, 128, 128},
    };
    for (const Case& c : cases) {
        const GreyImage u(40, 30, c.u), v(40, 30, c.v);
        const std::vector<uint8_t> valid(u.data.size(), c.valid ? 1 : 0);
        const RgbPicture pic = flow_picture(u, v, valid, 2.0);
        ASSERT_GT(pic.columns, 40) << "legend strip";
        ASSERT_GE(pic.lines, 30);
        const uint8_t* px = pic.rgb.data() + (20 * pic.columns + 20) * 3;
        EXPECT_NEAR(px[0], c.r, 1) << c.name;
        EXPECT_NEAR(px[1], c.g, 1) << c.name;
        EXPECT_NEAR(px[2], c.b, 1) << c.name;
    }
}

TEST(Pictures, HeatMapKeepsStillScenesDark) {
    GreyImage still(50, 40, 1.0f);  // |It| = 1 grey level everywhere: noise
    const RgbPicture heat = heat_picture(still);
    EXPECT_LT(heat.rgb[0], 200);
    EXPECT_EQ(heat.rgb[1], 0);
}

TEST(Pictures, TicksAreRoundNumbersCoveringTheRange) {
    struct Case {
        double lo, hi;
        int count;
        double first, step;
        int ticks;
    };
    const Case cases[] = {
        {0, 17.3, 4, 0, 5, 4}, {-0.013, 0.042, 5, 0, 0.02, 3}, {1.21, 1.52, 5, 1.3, 0.1, 3}};
    for (const Case& c : cases) {
        const Ticks t = nice_ticks(c.lo, c.hi, c.count);
        EXPECT_NEAR(t.first, c.first, 1e-12) << c.lo << ".." << c.hi;
        EXPECT_NEAR(t.step, c.step, 1e-12) << c.lo << ".." << c.hi;
        EXPECT_EQ(t.count, c.ticks) << c.lo << ".." << c.hi;
    }
    EXPECT_EQ(tick_label(-1e-17, 0.01), "0.00");
    EXPECT_EQ(tick_label(15, 5), "15");
}

TEST(Reports, CsvRowsAndJsonText) {
    FrameRecord a;
    a.frame = 4;
    a.mean_flow = NAN;
    FrameRecord b = a;
    b.frame = 5;
    b.affine = AffineMotion{{1, 2, 3, 4, 5, 6}};
    b.affine_frame = 3;
    b.time_s = 0.2;
    b.flow_frame = 3;
    b.valid_share = 0.5;
    b.median_speed = 1.25;
    b.beyond_range = true;
    const std::string csv = frames_csv({a, b});
    EXPECT_EQ(csv, std::string(kFramesCsvHeader) +
                       "\n4,0,0,0,,,,,,,,,,,,,\n5,0,0,0,,3,1,2,3,4,5,6,0.2,3,0.5,1.25,1\n");

    EXPECT_EQ(json_string("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000a\\u0001\"");
    EXPECT_EQ(json_string("caf\xc3\xa9 \xff"), "\"caf\xc3\xa9 \\ufffd\"");
    EXPECT_EQ(json_number(NAN), "null");
    EXPECT_EQ(json_number(0.25), "0.25");
}

TEST(DefaultSequence, IsDeterministicWholeGreyLevels) {
    DefaultSequence one, two;
    EXPECT_EQ(one.columns(), 320);
    EXPECT_EQ(one.lines(), 240);
    EXPECT_GE(one.frame_count(), 100);
    const GreyImage f1 = one.render(37);
    EXPECT_EQ(f1.data, two.render(37).data);
    double mean = 0;
    for (float v : f1.data) {
        ASSERT_EQ(v, std::round(v));
        ASSERT_GE(v, 0.0f);
        ASSERT_LE(v, 255.0f);
        mean += v;
    }
    mean /= static_cast<double>(f1.data.size());
    EXPECT_NEAR(mean, 128.0, 20.0);
    EXPECT_NE(f1.data, one.render(38).data) << "the scene moves";
}

TEST(Pipeline, KeepsOrderBoundsMemoryAndPassesOnTheFirstFailure) {
    // Items 0..199 through four stages; a slow consumer must hold the producer back.
    struct Case {
        int threads;
        int fail_in;  // 0: none, 1: produce, 2: a transform, 3: consume (at item 50)
    };
    for (const Case c : {Case{1, 0}, Case{3, 0}, Case{3, 1}, Case{3, 2}, Case{3, 3}, Case{1, 2}}) {
        std::atomic<int> produced{0}, consumed{0}, most_ahead{0};
        std::vector<int> seen;
        int next = 0;
        auto check = [&](int stage, int item) {
            if (c.fail_in == stage && item == 50) throw FlowError("stage " + std::to_string(stage));
        };
        Pipeline<int> p(
            [&](int& item) {
                if (next == 200) return false;
                item = next++;
                check(1, item);
                ++produced;
                most_ahead = std::max(most_ahead.load(), produced - consumed);
                return true;
            },
            {[&](int& item) { item *= 3; },
             [&](int& item) {
                 check(2, item / 3);
                 item += 1;
             }},
            [&](int& item) {
                check(3, item / 3);
                if (item % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
                seen.push_back(item);
                ++consumed;
            });
        const std::string name =
            std::to_string(c.threads) + " threads, failing in stage " + std::to_string(c.fail_in);
        if (c.fail_in) {
            try {
                p.run(c.threads, 2);
                ADD_FAILURE() << name << ": no error";
            } catch (const FlowError& e) {
                EXPECT_EQ(std::string(e.what()), "stage " + std::to_string(c.fail_in)) << name;
            }
            EXPECT_LE(seen.size(), 50u) << name << ": nothing after the failing item";
        } else {
            p.run(c.threads, 2);
            ASSERT_EQ(seen.size(), 200u) << name;
            for (int i = 0; i < 200; ++i) ASSERT_EQ(seen[i], 3 * i + 1) << name;
            // Three queues of two, and one item in each stage.
            EXPECT_LE(most_ahead.load(), 10) << name;
        }
    }
}

// The built-in sequence's dense flow against its known field: the background's affine motion
// and the disc's own velocity, each region judged apart (the band along the disc's rim, where
// either answer is partly right, is left out).
TEST(DefaultSequenceFlow, EachRegionMatchesItsKnownMotion) {
    DefaultSequence seq;
    const AffineMotion known = *seq.known_motion();
    ComponentSession session;
    ComponentSettings cs;
    cs.computation_mode = "changedetection";
    cs.timederivative_mode = "batch";
    cs.input_filter = 1;
    session.apply(cs);
    session.create(DefaultSequence::kColumns, DefaultSequence::kLines);
    FlowTracker tracker(DefaultSequence::kColumns, DefaultSequence::kLines);
    struct Region {
        double sum = 0;
        size_t valid = 0, all = 0;
    };
    Region background, disc;
    for (int32_t m = 0; m < 16; ++m) {
        GreyImage frame;
        ASSERT_TRUE(seq.next(frame));
        session.process(frame);
        if (!tracker.push(session.read(ResultImage::Is)) || m < 8) continue;
        const FlowResult& r = tracker.result();
        const DefaultSequence::Object o = DefaultSequence::object_at(static_cast<int32_t>(r.frame));
        for (int32_t y = 8; y < DefaultSequence::kLines - 8; ++y) {
            for (int32_t x = 8; x < DefaultSequence::kColumns - 8; ++x) {
                const double d = std::hypot(x - o.x, y - o.y);
                const bool in_disc = d<o.radius - 5, in_background = d> o.radius + 5;
                if (!in_disc && !in_background) continue;
                Region& g = in_disc ? disc : background;
                const double u = in_disc ? o.u : known.u(x, y), v = in_disc ? o.v : known.v(x, y);
                const size_t i = static_cast<size_t>(y) * DefaultSequence::kColumns + x;
                ++g.all;
                if (!r.flow.valid[i]) continue;
                ++g.valid;
                g.sum += std::hypot(r.flow.u.data[i] - u, r.flow.v.data[i] - v);
            }
        }
    }
    ASSERT_GT(disc.all, 0u);
    const double epe_bg = background.sum / static_cast<double>(background.valid);
    const double epe_disc = disc.sum / static_cast<double>(disc.valid);
    // Measured: 0.011 px on the background and 0.024 px on the disc, all pixels valid.
    EXPECT_LT(epe_bg, 0.02);
    EXPECT_LT(epe_disc, 0.05);
    EXPECT_GT(static_cast<double>(background.valid) / static_cast<double>(background.all), 0.8);
    EXPECT_GT(static_cast<double>(disc.valid) / static_cast<double>(disc.all), 0.8);
}

namespace {

// A plane of 8-bit pixels whose value says where it is: v(x, y) = 10 x + 3 y + 20 (< 256).
std::vector<uint8_t> ramp_plane(int32_t columns, int32_t lines) {
    std::vector<uint8_t> p(static_cast<size_t>(columns) * lines);
    for (int32_t y = 0; y < lines; ++y) {
        for (int32_t x = 0; x < columns; ++x) p[static_cast<size_t>(y) * columns + x] = 10 * x + 3 * y + 20;
    }
    return p;
}

}  // namespace

// The stabiliser's warp: Catmull-Rom reads whole pixels exactly and reproduces a ramp at any
// sub-pixel position; what falls outside follows --borders.
// A host's cancel ends the run at a frame boundary: before the first frame nothing is kept
// and the run fails as interrupted; later the frames measured so far are the result. With one
// thread the decoder reads one frame ahead of the frames handed to the host.
TEST(FlowJob, AHostsCancelKeepsTheFramesMeasuredSoFar) {
    struct Case {
        int64_t cancel_after;  // frames handed to on_frame before the cancel
        int64_t kept;          // frames in the result; 0: the run fails
    };
    for (const Case c : {Case{0, 0}, Case{3, 4}, Case{30, 12}}) {
        TempDir dir;
        RunOptions o;
        o.out = dir / "out";
        o.frames = 12;
        o.threads = 1;
        o.quiet = true;
        int64_t seen = 0;
        JobHost host;
        host.cancelled = [&] { return seen >= c.cancel_after; };
        host.on_frame = [&](const FrameRecord& r) { EXPECT_EQ(r.frame, seen++); };
        if (c.kept == 0) {
            EXPECT_THROW(run_flow_job(o, host), Interrupted);
            EXPECT_FALSE(fs::exists(o.out)) << "a run interrupted before its first frame writes nothing";
            continue;
        }
        const JobResult r = run_flow_job(o, host);
        EXPECT_EQ(static_cast<int64_t>(r.records.size()), c.kept) << c.cancel_after;
        EXPECT_EQ(r.interrupted, c.kept < 12) << c.cancel_after;
        EXPECT_NE(summary_json(r).find("\"interrupted\": " +
                                       std::string(r.interrupted ? "true" : "false")),
                  std::string::npos);
        EXPECT_TRUE(fs::exists(fs::path(o.out) / "summary.json"));
    }
}

TEST(WarpPlane, ReadsWhereTheMapSaysAndFillsTheBordersAsAsked) {
    constexpr int32_t kC = 20, kL = 12;
    const std::vector<uint8_t> in = ramp_plane(kC, kL);
    auto value = [](double x, double y) { return 10 * x + 3 * y + 20; };
    const struct {
        const char* name;
        double dx, dy;  // the map: output (x, y) reads input (x + dx, y + dy)
        Borders borders;
        int32_t x, y;   // an output pixel
        double want;    // its value
    } cases[] = {
        {"identity", 0, 0, Borders::crop, 7, 5, value(7, 5)},
        {"whole pixels", 2, -1, Borders::crop, 7, 5, value(9, 4)},
        {"a quarter pixel on a ramp", 0.25, 0.5, Borders::crop, 7, 5, value(7.25, 5.5)},
        {"outside, black", -3, 0, Borders::black, 1, 5, 16},
        {"outside, the nearest edge (crop)", -3, 0, Borders::crop, 1, 5, value(0, 5)},
        // Mirrored at the edge: x = -2 reads x = 1 (the edge pixel is its own mirror image).
        {"outside, mirrored", -3, 0, Borders::mirror, 1, 5, value(1, 5)},
    };
    for (const auto& c : cases) {
        Affine2D map;
        map.t[0] = c.dx, map.t[1] = c.dy;
        std::vector<uint8_t> out(in.size(), 0);
        warp_plane(in.data(), kC, kL, kC, out.data(), kC, kL, kC, map, c.borders, 16);
        EXPECT_NEAR(out[static_cast<size_t>(c.y) * kC + c.x], c.want, 0.51) << c.name;
    }
}

TEST(WarpPlane, EveryPixelOfATurnedAndZoomedMapIsTheCubicThere) {
    // Maps that cross the picture's edges at a slant, on widths that leave every tail of the
    // four-pixel loop: each output pixel is the Catmull-Rom value at its mapped position
    // (taps beyond the edges reading the edge pixel), black where that lies outside.
    const struct {
        const char* name;
        int32_t columns, lines;
        double zoom, angle, dx, dy;
    } cases[] = {
        {"turned 30 mrad, wide", 37, 23, 1.0, 0.03, 1.3, -0.7},
        {"zoomed in, turned back", 41, 19, 1.08, -0.05, -2.2, 1.6},
        {"zoomed out past the edges", 34, 26, 0.9, 0.02, 0.4, 0.2},
    };
    auto catmull_rom = [](double f, double w[4]) {
        const double f2 = f * f, f3 = f2 * f;
        w[0] = 0.5 * (-f3 + 2 * f2 - f), w[1] = 0.5 * (3 * f3 - 5 * f2 + 2);
        w[2] = 0.5 * (-3 * f3 + 4 * f2 + f), w[3] = 0.5 * (f3 - f2);
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> in(static_cast<size_t>(c.columns) * c.lines);
        for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>((i * 37 + i / 7 * 11) % 251);
        Affine2D map;
        map.m[0][0] = map.m[1][1] = std::cos(c.angle) / c.zoom;
        map.m[0][1] = -std::sin(c.angle) / c.zoom, map.m[1][0] = std::sin(c.angle) / c.zoom;
        map.t[0] = c.dx, map.t[1] = c.dy;
        for (const Borders borders : {Borders::crop, Borders::black}) {
            std::vector<uint8_t> out(in.size(), 7);
            warp_plane(in.data(), c.columns, c.lines, c.columns, out.data(), c.columns, c.lines,
                       c.columns, map, borders, 16);
            for (int32_t y = 0; y < c.lines; ++y) {
                for (int32_t x = 0; x < c.columns; ++x) {
                    const double sx = map.x(x, y), sy = map.y(x, y);
                    double want = 16;
                    const bool inside = sx >= -0.5 && sy >= -0.5 && sx <= c.columns - 0.5 &&
                                        sy <= c.lines - 0.5;
                    if (inside || borders == Borders::crop) {
                        double wx[4], wy[4];
                        catmull_rom(sx - std::floor(sx), wx);
                        catmull_rom(sy - std::floor(sy), wy);
                        want = 0;
                        for (int j = 0; j < 4; ++j) {
                            const int32_t yy = std::clamp(
                                static_cast<int32_t>(std::floor(sy)) - 1 + j, 0, c.lines - 1);
                            for (int i = 0; i < 4; ++i) {
                                const int32_t xx = std::clamp(
                                    static_cast<int32_t>(std::floor(sx)) - 1 + i, 0, c.columns - 1);
                                want += wy[j] * wx[i] * in[static_cast<size_t>(yy) * c.columns + xx];
                            }
                        }
                        want = std::clamp(want, 0.0, 255.0);
                    }
                    // The weights' 1/256 pixel phases move a value by up to about 1.5 grey
                    // levels on this rough texture.
                    ASSERT_NEAR(out[static_cast<size_t>(y) * c.columns + x], want, 2.0)
                        << c.name << (borders == Borders::crop ? " (crop)" : " (black)")
                        << ", pixel " << x << ", " << y;
                }
            }
        }
    }
}

TEST(WarpPlane, TheBordersKeywords) {
    Borders b = Borders::black;
    EXPECT_TRUE(parse_borders("crop", &b) && b == Borders::crop);
    EXPECT_TRUE(parse_borders("mirror", &b) && b == Borders::mirror);
    EXPECT_FALSE(parse_borders("Crop", &b)) << "keywords are exact";
}
