// What a run of orvane-flow is asked to do: the values of the option table (options.hpp), typed,
// and how the caller spells its settings in messages. Every door fills one RunOptions: the
// command line from its flags, the Python module from its keywords.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/component_session.hpp"
#include "analysis/window.hpp"
#include "flow/stabilize.hpp"

// How motion is measured.
enum class Method {
    pairwise,     // a PairFlowEstimator from each frame to the next, any pair of images; the
                  // global motion from compensated frames
    compensated,  // a FlowTracker on motion-compensated frames, up to several pixels per frame
    direct,       // the moment images of the component on the raw stream, below 1 px/frame
    global,       // compensated frames, the global motion only
    align,        // each frame registered onto the one before, the global motion only
};
// The keywords, in the order of Method.
const std::vector<std::string>& method_names();
const char* method_name(Method method);
// False for a keyword that names no method.
bool parse_method(const std::string& keyword, Method* method);
// Whether the method measures a dense flow (global and align do not).
inline bool measures_dense_flow(Method m) {
    return m != Method::global && m != Method::align;
}

// How messages name a setting: as the command line's flag (--max-speed) or as the Python
// module's keyword (max_speed).
enum class Spelling { command_line, python };
// `name` is the option table's (max_speed).
std::string spelled(const std::string& name, Spelling spelling);
// The setting with its value as the caller wrote it: "--start 5" or "start=5"; for Python a
// text value is quoted after the name, as the option table's refusals do ("save 'Un'").
std::string spelled_with(const std::string& name, const std::string& value, bool text,
                         Spelling spelling);

struct RunOptions {
    std::string input;                // empty: the built-in default sequence
    std::vector<std::string> images;  // several image files named one by one (replaces input)
    std::string out = "orvane-out";   // output folder
    // false: no output folder, nothing is written but the videos asked for (a host that takes
    // the results from memory).
    bool write_folder = true;
    // The component's own settings, with the tool's defaults: the batch time rule (its temporal
    // derivative is centred on the frame of its spatial ones, where the recursive one lags
    // them) and the input filter on (it keeps the derivatives inside their accurate range).
    ComponentSettings settings{"all", "batch", 1, 0.01};
    Method method = Method::pairwise;
    WindowSpec window;               // the dense flow's local window
    bool save_flow = false;          // flow_NNNNNN.flo, flow_NNNNNN.npy and valid_NNNNNN.png
    int64_t frames = -1;             // at most this many frames (-1: all)
    int64_t start = 0;               // input frames passed over first
    int64_t every = 10;              // pictures of every K-th frame, and of the last
    std::vector<ResultImage> save;   // raw images stored as .npy
    double change_threshold = 64.0;  // It2 above which a pixel counts as changed
    bool robust_fit = true;          // false: one plain least-squares fit per frame
    // [px/frame] full colour in the flow pictures, one scale for the whole run; 0: chosen from
    // the first flow's fastest motions (pairwise method), 2 for the other methods.
    double max_speed = 0;
    bool arrows = false;         // arrows_NNNNNN.png: the flow as arrows on the input
    std::string video;           // --video FILE: input and flow side by side, H.264
    StabilizeOptions stabilize;  // --stabilize FILE: the input with the shake taken out
    int threads = 0;             // 1: decode, measure and write on one thread; else three
    // Threads that split each frame of the component into bands, for this run only (0: the
    // process's setting as it is).
    int engine_threads = 0;
    bool quiet = false;
    bool verbose = false;  // FFmpeg's own messages are shown too
    bool force = false;    // an output folder holding earlier results is replaced
};
