// FlowJob: the state of one run of the measuring job (flow_job.hpp), private to the job's two
// files: flow_job.cpp sets the run up, drives the pipeline and finishes it; job_stages.cpp
// holds the pipeline's stages.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/frame_align.hpp"
#include "analysis/tracker.hpp"
#include "analysis/units.hpp"
#include "flow/direct_method.hpp"
#include "flow/flow_job.hpp"
#include "flow/folder_output.hpp"
#include "flow/frame_in_work.hpp"
#include "flow/frame_source.hpp"
#include "flow/pair_method.hpp"
#include "flow/progress.hpp"
#include "flow/video_writer.hpp"

// One run. Everything it creates is owned here, so an exception unwinds it: the output stage
// removes its staging folder and nothing half-written is left.
class FlowJob {
  public:
    using Clock = std::chrono::steady_clock;

    FlowJob(const RunOptions& o, const JobHost& host)
        : opt_(o),
          host_(host),
          mode_(o.settings.computation_mode),
          max_speed_(o.max_speed > 0                ? o.max_speed
                     : o.method == Method::pairwise ? 0.0
                                                    : 2.0) {}
    JobResult run();

  private:
    // The steps of run(), in order.
    void check_options();
    void open_input();
    void prepare_measuring();
    void skip_start();
    void run_frames();
    JobResult finish();
    JobResult result(double elapsed_s);
    // The pipeline's stages.
    bool read_frame(FrameInWork& w);
    bool produce(FrameInWork& out);
    void component_stage(FrameInWork& w);
    void flow_stage(FrameInWork& w);
    void align_stage(FrameInWork& w);
    void write_stage(FrameInWork& w);

    void measure(FrameInWork& w);
    void take_flow(FrameInWork& w, const DenseFlow& flow, const std::optional<AffineMotion>& affine,
                   int64_t frame, bool beyond);
    void measure_pair(FrameInWork& w);
    void take_flow_outputs(FrameInWork& w);
    void note_beyond(int64_t frame);
    void render_stabilized(int64_t count);
    bool cancelled() const { return host_.cancelled && host_.cancelled(); }
    std::string setting(const char* name) const { return spelled(name, host_.spelling); }
    // Decoding, the component and writing, and the tracker's and the registration's stages.
    int pipeline_threads() const { return 3 + (tracker_ ? 1 : 0) + (aligner_ ? 1 : 0); }

    const RunOptions& opt_;
    const JobHost& host_;
    const std::string mode_;
    // [px/frame] full colour in the flow pictures; 0 until the pairwise method's first flow
    // chooses it (written before that flow goes downstream, read by the writer after).
    double max_speed_;
    std::unique_ptr<FolderOutput> folder_;
    std::unique_ptr<FrameSource> source_;
    std::unique_ptr<ComponentSession> session_;
    std::unique_ptr<Progress> progress_;
    int32_t columns_ = 0, lines_ = 0;
    TimeRule rule_ = TimeRule::recursive;  // the time rule of the settings
    int32_t in_columns_ = 0;           // the input's width (columns_ is it cut to a multiple of 4)
    int64_t produced_ = 0;             // frames read since --start
    std::optional<FrameInWork> held_;  // the frame read ahead
    Clock::time_point started_;        // the first frame's start
    double component_seconds_ = 0;     // in process_data
    int32_t margin_ = 2;
    std::vector<FrameRecord> records_;
    std::vector<AffineMotion> estimates_;
    std::unique_ptr<VideoWriter> video_;
    // Where each frame lies in the video [s], until the flow video has shown it (writer thread).
    std::map<int64_t, double> frame_times_;
    StageTime decode_time_, component_time_, flow_time_, write_time_, align_time_;
    // --stabilize: the frame-to-frame registration (a pipeline stage of its own) and the
    // rendering pass after the measuring one; its result once the video is written.
    std::unique_ptr<Stabilizer> stabilizer_;
    std::optional<StabilizeResult> stabilized_;
    std::unique_ptr<FrameAligner> aligner_;
    bool interrupted_ = false;
    // The dense flow: the tracker (compensated, global and the pairwise method's global
    // motion), the pairwise estimator or the direct method.
    std::unique_ptr<FlowTracker> tracker_;
    std::unique_ptr<PairMethod> pair_;
    std::unique_ptr<DirectMethod> direct_;
    int64_t beyond_frames_ = 0;
    // The global motion of each pair from its flow, for clips too short for the compensated
    // frames: (frame, motion).
    std::vector<std::pair<int64_t, AffineMotion>> pair_affines_;
};
