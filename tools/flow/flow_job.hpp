// The measuring job of orvane-flow as a library: a RunOptions in, the frames read and measured
// (decoding, the component, the dense flow and the registration as pipeline stages), each
// frame's record handed to the host, and the run's result out. The command line (main.cpp) and
// the Python module (flow_bridge.cpp) are its two hosts; it knows neither.
//
// Where the results go:
// - the output folder (RunOptions::out, written all-or-nothing, see FolderOutput): pictures,
//   flow files, frames.csv, report.html, summary.json; none without write_folder;
// - the videos asked for (--video, --stabilize), written where they are named;
// - the host's on_frame, with every frame's record in frame order;
// - the JobResult returned, from which summary_json() gives summary.json's text.
//
// Failures are thrown, typed (errors.hpp): UsageError for a refused option, Interrupted for a
// cancel before the first frame, FlowError (and ComponentError, std::bad_alloc) for an input
// or output that cannot be used. Whatever the job made is removed again on the way out. A
// cancel after the first frame is no failure: the frames measured so far are kept and the
// result says `interrupted`.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "analysis/affine.hpp"
#include "flow/errors.hpp"
#include "flow/job_config.hpp"
#include "flow/reports.hpp"
#include "flow/stabilize.hpp"
#include "flow/stage_time.hpp"

// What the host gives the job besides its configuration.
struct JobHost {
    // How messages name the settings.
    Spelling spelling = Spelling::command_line;
    // Asked between frames; true ends the run after the current frame (empty: never).
    std::function<bool()> cancelled;
    // Each frame's record, in frame order, as it is written (on the writing stage's thread).
    std::function<void(const FrameRecord&)> on_frame;
};

// What a finished run measured and wrote.
struct JobResult {
    RunOptions options;
    std::string input_description;        // how the input is named in messages
    int32_t columns = 0, lines = 0;       // measured (the width cut to a multiple of 4)
    int32_t input_columns = 0;            // of the input
    std::vector<FrameRecord> records;     // one per frame, in order
    std::vector<AffineMotion> estimates;  // the global motions measured
    std::optional<AffineMotion> known;    // the true motion, where the input knows it
    std::string damage;                   // empty for a sound input
    bool ended_at_damage = false;
    bool interrupted = false;
    // Whether the console shows the global motion (the tracker or the mode measures one).
    bool global_motion = false;
    double elapsed_s = 0;    // the measuring pass
    double component_s = 0;  // in the component's process_data
    StageTime decode, component, flow, write, align;
    int threads = 1;       // the pipeline's threads
    double max_speed = 0;  // [px/frame] full colour in the flow pictures
    // --stabilize: the encoder, and what was done (empty when not written).
    std::string stabilize_encoder;
    std::optional<StabilizeResult> stabilized;
    std::vector<std::string> outputs;  // the output folder's files, as summary.json lists them
    size_t pictures = 0;               // of them, pictures the report shows

    // The image centre the pans are taken at [pixels].
    double cx() const { return 0.5 * (columns - 1); }
    double cy() const { return 0.5 * (lines - 1); }
};

// The checks the job makes before it reads any input: each value by the option table's rules,
// and the settings together (an image the mode does not compute, the dense flow's outputs with
// a method that measures none, ...); throws UsageError naming the settings as `spelling` does.
void check_job_options(const RunOptions& options, Spelling spelling);
// The component's settings put to `session`; a refusal is a UsageError with the component's
// own message, the setting named as `spelling` does.
void apply_component_settings(ComponentSession& session, const ComponentSettings& settings,
                              Spelling spelling);

// Runs the job to its end; throws as said above.
JobResult run_flow_job(const RunOptions& options, const JobHost& host);

// summary.json's text for a result.
std::string summary_json(const JobResult& result);
