// orvane-flow: measures the motion in a video or an image sequence with the Orvane component
// and writes pictures and numbers. Option parsing only; the run itself is run_flow().
#include <malloc.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "analysis/window.hpp"
#include "engine/motion_engine.hpp"
#include "flow/run.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

// The tool's version with those of the libraries it reads and writes video with.
std::string orvane_flow_version() {
    auto dotted = [](unsigned v) {
        return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xff) + "." +
               std::to_string(v & 0xff);
    };
    return std::string("orvane-flow ") + ORVANE_FLOW_VERSION + " (libavformat " +
           dotted(avformat_version()) + ", libavcodec " + dotted(avcodec_version()) + ")";
}

// A whole number of at least `low`, with a message that says so (CLI11's range checks print
// the type's full range).
CLI::Validator at_least(long long low) {
    return CLI::Validator(
        [low](std::string& text) -> std::string {
            try {
                size_t used = 0;
                const long long v = std::stoll(text, &used);
                if (used == text.size() && v >= low) return {};
            } catch (const std::exception&) {
            }
            return "'" + text + "' is not a whole number of at least " + std::to_string(low);
        },
        "", "at_least");
}

// A finite number above zero, with a message that says so.
CLI::Validator positive(const char* what) {
    return CLI::Validator(
        [what](std::string& text) -> std::string {
            try {
                size_t used = 0;
                const double v = std::stod(text, &used);
                if (used == text.size() && v > 0 && v < 1e30) return {};
            } catch (const std::exception&) {
            }
            return "'" + text + "' is not a positive number of " + what;
        },
        "", "positive");
}

}  // namespace

int main(int argc, char** argv) {
    // Every frame allocates and frees images of a few MB on three threads. Served by mmap,
    // each one would be mapped, faulted in page by page and unmapped again (a third of the
    // measuring stage's time at 640x480); from the heap they are reused.
    mallopt(M_MMAP_THRESHOLD, 512 << 20);
    mallopt(M_TRIM_THRESHOLD, 1024 << 20);
    // A console that goes away (`orvane-flow clip.mp4 2>&1 | head -1`) must not end the run
    // half way: its writes fail instead, the progress display stops and the results are
    // written as usual.
    std::signal(SIGPIPE, SIG_IGN);
    RunOptions opt;
    CLI::App app{
        "orvane-flow measures image motion in a video or an image sequence with the Orvane\n"
        "component: the dense 2-D flow of every pixel and the global affine motion of every\n"
        "frame, in pixels per frame, from a tenth of a pixel to several pixels per frame. It\n"
        "writes pictures (the flow, the change heat map, the smoothed input), the flow itself\n"
        "on request, frames.csv and summary.json into the output folder. Without INPUT it runs\n"
        "on a built-in test sequence whose motion is known.\n\n"
        "Two images give the flow from the first to the second (flow_000000), with its\n"
        "confidence; more give a flow for every consecutive pair.\n\n"
        "The defaults measure best: the pairwise method (the global motion of five frames\n"
        "or more from motion-compensated frames), the batch time rule (its temporal\n"
        "derivative is centred on the frame of its spatial ones; the recursive rule lags\n"
        "them) and the input filter on.",
        "orvane-flow"};
    app.get_formatter()->column_width(34);

    std::vector<std::string> inputs;
    app.add_option(
        "INPUT", inputs,
        "Video (- for the standard input), folder or glob of PNG/PGM images, or image files");
    auto* measuring = "Measuring";
    app.add_option("--method", opt.method,
                   "pairwise: the flow from each frame to the next, any pair of images,\n"
                   "  up to about 60 px/frame, a value and a confidence at every pixel;\n"
                   "compensated: motion-compensated frames, any speed up to several px/frame;\n"
                   "direct: the component's own moment images, below about 1 px/frame;\n"
                   "global: compensated, the global affine motion only, no dense flow;\n"
                   "align: the global affine motion from each frame to the next by registering\n"
                   "  the frames, each jump of a shaking camera itself, no dense flow (fastest;\n"
                   "  what --stabilize measures with)")
        ->check(CLI::IsMember({"pairwise", "compensated", "direct", "global", "align"}))
        ->capture_default_str()
        ->group(measuring);
    std::string window = window_text(opt.window);
    app.add_option("--window", window,
                   "Local window of the dense flow: gaussian:SIGMA or box:SIDE [px]")
        ->capture_default_str()
        ->group(measuring);
    auto* settings = "Component settings (the component's names; tool defaults that measure best)";
    app.add_option("--computation-mode", opt.settings.computation_mode,
                   "changedetection, orvane, affineparams or all")
        ->capture_default_str()
        ->group(settings);
    app.add_option("--timederivative-mode", opt.settings.timederivative_mode,
                   "recursive (2 frames) or batch (5 frames; refers to 2 frames back)")
        ->capture_default_str()
        ->group(settings);
    app.add_option("--input-filter", opt.settings.input_filter,
                   "Non-zero: smooth each frame with the 5x5 filter first")
        ->capture_default_str()
        ->group(settings);
    app.add_option("--regularizer", opt.settings.regularizer,
                   "Added to the squared gradient before dividing (a finite number of at least 0)")
        ->capture_default_str()
        ->group(settings);

    auto* frames = "Frames and output";
    app.add_option("--frames", opt.frames, "Process at most N frames (default: all)")
        ->check(at_least(1))
        ->type_name("N")
        ->group(frames);
    app.add_option("--start", opt.start, "Pass over the first N input frames")
        ->check(at_least(0))
        ->capture_default_str()
        ->type_name("N")
        ->group(frames);
    app.add_option("--every", opt.every, "Write pictures of every K-th frame (and of the last)")
        ->check(at_least(1))
        ->capture_default_str()
        ->type_name("K")
        ->group(frames);
    app.add_option("--out", opt.out, "Output folder (created when missing)")
        ->capture_default_str()
        ->type_name("DIR")
        ->group(frames);
    std::vector<std::string> save;
    app.add_option("--save", save,
                   "On picture frames store 'flow' (.flo, .npy, valid mask) and/or these\n"
                   "component images as float32 .npy, e.g. flow,Un,Vn")
        ->delimiter(',')
        ->type_name("LIST")
        ->group(frames);
    app.add_option("--change-threshold", opt.change_threshold,
                   "It2 above which a pixel counts as changed in frames.csv")
        ->capture_default_str()
        ->group(frames);
    std::string fit = "robust";
    app.add_option("--affine-fit", fit,
                   "robust (objects moving on their own weigh little) or plain")
        ->check(CLI::IsMember({"robust", "plain"}))
        ->capture_default_str()
        ->group(frames);
    app.add_option("--max-speed", opt.max_speed,
                   "Speed [px/frame] shown in full colour in the flow pictures (one scale for "
                   "the whole run; default: a round number above the first flow's fastest "
                   "motions, 2 with the compensated and direct methods)")
        ->check(positive("pixels per frame"))
        ->type_name("PX")
        ->group(frames);
    app.add_option("--video", opt.video,
                   "Also write the input and the flow side by side as an H.264 video")
        ->type_name("FILE.mp4")
        ->group(frames);
    app.add_flag("--arrows", opt.arrows, "Also draw the flow as arrows on the input frame")
        ->group(frames);

    auto* stabilizing = "Stabilised video";
    app.add_option("--stabilize", opt.stabilize.video,
                   "Also write the input with the shake taken out (the camera path smoothed),\n"
                   "  H.264 in colour, with the input's time stamps and sound; the input is\n"
                   "  read twice, so it must be a file, not a pipe")
        ->type_name("OUT.mp4")
        ->group(stabilizing);
    std::string smoothing = "1";
    app.add_option("--smoothing", smoothing,
                   "How the camera path is smoothed: a Gaussian of SECONDS (standard deviation;\n"
                   "  longer keeps less of the camera's own slow motion), or tripod: one path of\n"
                   "  constant velocity for the whole video")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                if (text == "tripod") return {};
                try {
                    size_t used = 0;
                    const double v = std::stod(text, &used);
                    if (used == text.size() && v > 0 && v < 1e6) return {};
                } catch (const std::exception&) {
                }
                return "'" + text + "' is neither a positive number of seconds nor tripod";
            },
            "", "smoothing"))
        ->capture_default_str()
        ->type_name("SECONDS|tripod")
        ->group(stabilizing);
    app.add_option("--borders", opt.stabilize.borders,
                   "What fills the borders the correction opens: crop (one zoom for the whole\n"
                   "  video, just enough to hide them), black, or mirror (the picture mirrored)")
        ->check(CLI::IsMember({"crop", "black", "mirror"}))
        ->capture_default_str()
        ->group(stabilizing);
    app.add_option("--threads", opt.threads,
                   "1: decode, measure and write one after another on one thread (default: "
                   "each on its own thread; the results are the same)")
        ->check(at_least(1))
        ->type_name("N")
        ->group(frames);
    int engine_threads_wanted = 0;
    app.add_option("--engine-threads", engine_threads_wanted,
                   "Split each frame's measurement into bands of rows on N threads (1 to 64; "
                   "default: 2 with the pipeline on two or more cores, else 1, or "
                   "ORVANE_THREADS; the results are the same)")
        ->check(CLI::Range(1, 64))
        ->type_name("N")
        ->group(frames);
    app.add_flag("--force", opt.force,
                 "Replace the results of an earlier run in DIR, on success (only the files its "
                 "summary.json lists; a folder holding other files is refused)")
        ->group(frames);
    app.add_flag("-q,--quiet", opt.quiet, "No progress, notices or result table; errors only")
        ->group(frames);
    app.add_flag("-v,--verbose", opt.verbose, "Also show what FFmpeg says about the input")
        ->group(frames);
    app.set_version_flag("--version", orvane_flow_version());

    app.footer(
        "\nOutputs in DIR: Is_NNNNNN.png (input after smoothing), flow_NNNNNN.png (the dense\n"
        "flow: direction as hue, speed as saturation on one scale for the run, --max-speed;\n"
        "grey where the texture does not fix the motion), It2_NNNNNN.png (change heat map),\n"
        "with --save flow flow_NNNNNN.flo and .npy (u, v in px/frame) and valid_NNNNNN.png,\n"
        "NAME_NNNNNN.npy (--save), frames.csv, summary.json, motion.png, report.html.\n"
        "NNNNNN is the frame shown; the flow of a frame is known two frames later.\n"
        "Motion beyond what can be measured is warned about and flagged in frames.csv.\n\n"
        "Examples:\n"
        "  orvane-flow                                   built-in sequence into orvane-out/\n"
        "  orvane-flow clip.mp4 --out clip-flow --every 25\n"
        "  orvane-flow clip.mp4 --save flow --every 1   the dense flow of every frame\n"
        "  orvane-flow 'shots/*.png' --method direct --save Un,Vn\n"
        "  orvane-flow shaky.mp4 --method align --stabilize steady.mp4 --smoothing 2\n"
        "  ffmpeg -i cam.mkv -f nut - | orvane-flow -   a video from another program\n\n"
        "Exit status: 0 done, 1 the input or the output could not be used (an output folder\n"
        "or video in the way included), 2 an option or value was refused, 130 interrupted\n"
        "(the frames measured so far are kept).\n");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // Every refused option is a usage error, whatever code the parser gives it.
        std::fprintf(stderr, "orvane-flow: %s\nRun with --help for the options.\n", e.what());
        return kExitUsage;
    }
    if (engine_threads_wanted > 0) {
        engine_set_threads(engine_threads_wanted);
    } else if (opt.threads != 1 && !std::getenv("ORVANE_THREADS") &&
               std::thread::hardware_concurrency() >= 2) {
        // The measuring stages wait on the component's frames (the tool's own and the
        // tracker's): split over two threads, they leave the pipeline less to wait on.
        engine_set_threads(2);
    }
    opt.robust_fit = fit == "robust";
    opt.stabilize.tripod = smoothing == "tripod";
    if (!opt.stabilize.tripod) opt.stabilize.smoothing_s = std::stod(smoothing);
    if (opt.stabilize.video.empty() &&
        (app.count("--smoothing") > 0 || app.count("--borders") > 0)) {
        std::fprintf(stderr,
                     "orvane-flow: --smoothing and --borders shape the stabilised video; give "
                     "--stabilize OUT.mp4 too\n");
        return kExitUsage;
    }
    // An unquoted glob reaches us expanded: several files, read in the order given.
    if (inputs.size() == 1) opt.input = inputs.front();
    if (inputs.size() > 1) opt.images = inputs;
    std::string window_error;
    if (!parse_window(window, &opt.window, &window_error)) {
        std::fprintf(stderr, "orvane-flow: --window: %s\n", window_error.c_str());
        return kExitUsage;
    }
    for (const std::string& name : save) {
        if (name == "flow") {
            opt.save_flow = true;
            continue;
        }
        ResultImage which;
        if (!parse_result_image(name, &which)) {
            std::fprintf(stderr, "orvane-flow: --save: unknown image '%s' (choose from flow %s)\n",
                         name.c_str(), result_image_names().c_str());
            return kExitUsage;
        }
        // An image named twice is stored once.
        if (std::find(opt.save.begin(), opt.save.end(), which) == opt.save.end()) {
            opt.save.push_back(which);
        }
    }
    return run_flow(opt);
}
