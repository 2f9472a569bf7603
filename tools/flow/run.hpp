// One run of orvane-flow: read the frames, drive the component, write pictures and numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/component_session.hpp"
#include "analysis/window.hpp"
#include "flow/stabilize.hpp"

struct RunOptions {
    std::string input;                // empty: the built-in default sequence
    std::vector<std::string> images;  // several image files named one by one (replaces input)
    std::string out = "orvane-out";   // output folder
    // The component's own settings, with the tool's defaults: the batch time rule (its temporal
    // derivative is centred on the frame of its spatial ones, where the recursive one lags
    // them) and the input filter on (it keeps the derivatives inside their accurate range).
    ComponentSettings settings{"all", "batch", 1, 0.01};
    // How motion is measured: "pairwise" (a PairFlowEstimator from each frame to the next,
    // any pair of images; the global motion from compensated frames), "compensated" (a
    // FlowTracker on motion-compensated frames, any speed up to several pixels per frame),
    // "direct" (the moment images of the component that runs on the raw stream, below about
    // one pixel per frame) or "global" (compensated frames, the global motion only).
    std::string method = "pairwise";
    WindowSpec window;       // the dense flow's local window
    bool save_flow = false;  // flow_NNNNNN.flo, flow_NNNNNN.npy and valid_NNNNNN.png
    int64_t frames = -1;             // at most this many frames (-1: all)
    int64_t start = 0;               // input frames passed over first
    int64_t every = 10;              // pictures of every K-th frame, and of the last
    std::vector<ResultImage> save;   // raw images stored as .npy
    double change_threshold = 64.0;  // It2 above which a pixel counts as changed
    bool robust_fit = true;          // false: one plain least-squares fit per frame
    // [px/frame] full colour in the flow pictures, one scale for the whole run; 0: chosen from
    // the first flow's fastest motions (pairwise method), 2 for the other methods.
    double max_speed = 0;
    bool arrows = false;             // arrows_NNNNNN.png: the flow as arrows on the input
    std::string video;               // --video FILE: input and flow side by side, H.264
    StabilizeOptions stabilize;      // --stabilize FILE: the input with the shake taken out
    int threads = 0;                 // 1: decode, measure and write on one thread; else three
    // Threads that split each frame of the component into bands (0: the command line's default
    // of two on a machine of two or more cores, a host's own setting in process).
    int engine_threads = 0;
    bool quiet = false;
    bool verbose = false;  // FFmpeg's own messages are shown too
    bool force = false;    // an output folder holding earlier results is replaced
};

// Exit codes of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the input or the output could not be used
inline constexpr int kExitUsage = 2;   // an option was refused
inline constexpr int kExitInterrupted = 130;

// Runs to the end and returns the exit code; messages go to standard error, the results to
// standard output. Output is all-or-nothing (see OutputStage).
int run_flow(const RunOptions& options);

// The same run for a host that runs it inside its own process (the Python module): an error
// message (without the program's name) is handed back in `message` instead of being printed,
// and the process's signal handlers are left alone, so Ctrl-C stays the host's business.
int run_flow_in_process(const RunOptions& options, std::string& message);
