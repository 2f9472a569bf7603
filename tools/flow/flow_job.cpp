#include "flow/flow_job.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "analysis/width.hpp"
#include "engine/motion_engine.hpp"
#include "flow/frame_measures.hpp"
#include "flow/job_run.hpp"
#include "flow/options.hpp"
#include "flow/pictures.hpp"
#include "flow/pipeline.hpp"

namespace {

// Frames whose shorter side reaches this are registered reduced by 2 (--method align and
// --stabilize) [pixels].
constexpr int32_t kAlignReductionSide = 360;

// Frames larger than this (about 1.5 Mpx, e.g. 1920x1080) are reduced by 2 for the global method.
constexpr int64_t kGlobalReductionPixels = 1500000;

// Frames in each queue between the stages. One is enough: the measuring stages take far longer
// per frame than decoding or writing a picture, so a deeper queue only holds more frames (each
// with its input and smoothed images, 8 MB apiece at 1920x1080) without saving any time.
constexpr size_t kQueueCapacity = 1;

// The engine's thread count is the process's setting: changed for this run only (the results
// are the same for any count).
class EngineThreads {
  public:
    explicit EngineThreads(int n) {
        if (n > 0 && n <= 64) engine_set_threads(n);
    }
    ~EngineThreads() { engine_set_threads(before_); }
    EngineThreads(const EngineThreads&) = delete;
    EngineThreads& operator=(const EngineThreads&) = delete;

  private:
    int32_t before_ = engine_threads();
};

}  // namespace

void FlowJob::check_options() {
    check_job_options(opt_, host_.spelling);
    session_ = std::make_unique<ComponentSession>();
    apply_component_settings(*session_, opt_.settings, host_.spelling);
    // Mode "all" differs from "orvane" only by Ixy, which only the direct method and --save Ixy
    // read: without them the component computes in mode "orvane", the same images with the same
    // bits, and holds one frame-sized image fewer. The run still reports the mode as chosen.
    const bool reads_ixy =
        opt_.method == Method::direct ||
        std::find(opt_.save.begin(), opt_.save.end(), ResultImage::Ixy) != opt_.save.end();
    if (opt_.settings.computation_mode == motion_keywords::all && !reads_ixy) {
        ComponentSettings engine = opt_.settings;
        engine.computation_mode = motion_keywords::orvane;
        apply_component_settings(*session_, engine, host_.spelling);
    }
    // The component took the keyword, so it is one of the two rules.
    parse_time_rule(opt_.settings.timederivative_mode, &rule_);
}

// The output folder, the input and its geometry, and the progress display.
void FlowJob::open_input() {
    // The output folder is judged before any input is read; a failing run removes what it
    // made.
    if (opt_.write_folder) folder_ = std::make_unique<FolderOutput>(opt_, host_.spelling);
    source_ = opt_.images.empty() ? open_frame_source(opt_.input) : open_image_files(opt_.images);
    in_columns_ = source_->columns();
    lines_ = source_->lines();
    if (in_columns_ <= 0 || lines_ <= 0) {
        throw FlowError(source_->description() + " has zero size (" + std::to_string(in_columns_) +
                        "x" + std::to_string(lines_) + ")");
    }
    columns_ = cropped_width(in_columns_);
    if (columns_ == 0) {
        throw FlowError(source_->description() + " is " + std::to_string(in_columns_) +
                        " pixels wide; the component needs at least 4");
    }
    if (opt_.settings.input_filter != 0) margin_ = 4;  // the smoothing reads two more pixels

    int64_t total = source_->frame_count();
    if (total >= 0) total = std::max<int64_t>(0, total - opt_.start);
    if (opt_.frames >= 0 && (total < 0 || opt_.frames < total)) total = opt_.frames;
    progress_ = std::make_unique<Progress>(opt_.quiet, total);
    if (columns_ != in_columns_) {
        progress_->notice("the width " + std::to_string(in_columns_) +
                          " is not a multiple of 4; using the left " + std::to_string(columns_) +
                          " columns");
    }
}

// The component session's geometry, the video writer and the dense flow's measuring state.
void FlowJob::prepare_measuring() {
    session_->create(columns_, lines_);
    if (!opt_.stabilize.video.empty()) {
        if (!source_->rereadable()) {
            throw UsageError(setting("stabilize") +
                             " reads the input twice (once to measure the camera's path, once "
                             "to render the video), and " +
                             source_->description() +
                             " can be read only once (a pipe): save it to a file and give its "
                             "name");
        }
        stabilizer_ = std::make_unique<Stabilizer>(
            opt_.stabilize, *source_, opt_.images.empty() ? opt_.input : std::string(), opt_.force);
    }
    if (!opt_.video.empty()) {
        int32_t w = 0, h = 0;
        side_by_side_size(columns_, lines_, &w, &h);
        video_ = std::make_unique<VideoWriter>(opt_.video, w, h, source_->frame_rate(), opt_.force);
    }
    DenseFlowSettings dense;
    dense.window = opt_.window;
    const int helpers =
        opt_.threads == 1
            ? 1
            : static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 2u));
    switch (opt_.method) {
        case Method::align:
            // No dense flow and no tracker: the component's change images and the registration.
            break;
        case Method::direct:
            direct_ = std::make_unique<DirectMethod>(columns_, lines_, margin_, dense, mode_,
                                                     opt_.robust_fit);
            break;
        case Method::pairwise:
            pair_ = std::make_unique<PairMethod>(helpers, in_columns_, lines_);
            // The pairwise method takes the global motion from the compensated frames too,
            // where a clip has the five frames they need.
            [[fallthrough]];
        case Method::compensated:
        case Method::global: {
            TrackerSettings ts;
            ts.dense = dense;
            ts.dense_flow = opt_.method == Method::compensated;
            // The global motion of large frames is measured as well on frames reduced by 2, at
            // a quarter of the work.
            if (!ts.dense_flow && int64_t{columns_} * lines_ > kGlobalReductionPixels) {
                ts.reduction = 2;
            }
            // The tracker's window sums and warps take a second thread unless the run is to
            // stay on one.
            ts.dense.threads = helpers;
            tracker_ = std::make_unique<FlowTracker>(columns_, lines_, ts);
            break;
        }
    }
    if (opt_.method == Method::align || stabilizer_) {
        // The motion from each frame to the next, registered at the frames' full width; large
        // frames are registered reduced by 2, which holds a hundredth of a pixel.
        AlignSettings as;
        if (std::min(in_columns_, lines_) >= kAlignReductionSide) as.reduction = 2;
        aligner_ = std::make_unique<FrameAligner>(as);
    }
}

// The frames before --start are passed over, not measured.
void FlowJob::skip_start() {
    for (int64_t i = 0; i < opt_.start; ++i) {
        if (cancelled()) throw Interrupted();
        if (!source_->skip()) {
            if (cancelled()) throw Interrupted();
            throw FlowError(
                source_->description() + " has only " + std::to_string(i) + " frames; " +
                spelled_with("start", std::to_string(opt_.start), false, host_.spelling) +
                " passes over all of them");
        }
    }
}

// Decoding, the measuring stages and writing, as a pipeline of threads.
void FlowJob::run_frames() {
    started_ = Clock::now();
    std::vector<std::function<void(FrameInWork&)>> transforms{
        [this](FrameInWork& w) { component_stage(w); }};
    if (tracker_) transforms.emplace_back([this](FrameInWork& w) { flow_stage(w); });
    if (aligner_) transforms.emplace_back([this](FrameInWork& w) { align_stage(w); });
    Pipeline<FrameInWork>([this](FrameInWork& w) { return produce(w); }, transforms,
                          [this](FrameInWork& w) { write_stage(w); })
        .run(opt_.threads == 1 ? 1 : 3, kQueueCapacity);
}

// --stabilize: the input read again from the first measured frame and rendered along the
// smoothed camera path. A cancel here (or before) leaves no video; the measurement is kept.
void FlowJob::render_stabilized(int64_t count) {
    const std::string not_written =
        "interrupted: the stabilised video '" + opt_.stabilize.video + "' was not written";
    if (interrupted_) {
        progress_->notice(not_written);
        return;
    }
    auto again =
        opt_.images.empty() ? open_frame_source(opt_.input) : open_image_files(opt_.images);
    for (int64_t i = 0; i < opt_.start; ++i) {
        if (!again->skip()) throw FlowError(source_->description() + " ended when read again");
    }
    progress_->notice("writing the stabilised video '" + opt_.stabilize.video + "'");
    Progress progress(opt_.quiet, count);
    stabilized_ = stabilizer_->render(
        *again, [this] { return cancelled(); }, [&](int64_t done) { progress.update(done); });
    progress.finish(stabilized_ ? count : 0);
    if (!stabilized_) {
        interrupted_ = true;
        progress_->notice(not_written);
        return;
    }
    if (!stabilized_->zoom_enough) {
        char text[64];
        std::snprintf(text, sizeof text, "%.2f", Stabilizer::kMaxZoom);
        progress_->notice(std::string("warning: hiding the borders needs a zoom beyond ") + text +
                          "; the video is zoomed by " + text +
                          " and some borders show (a "
                          "shorter " +
                          setting("smoothing") + " follows the camera closer and needs less)");
    }
    if (!stabilized_->audio.empty() && stabilized_->audio.rfind("not copied", 0) == 0) {
        progress_->notice("the stabilised video has no sound: the input's audio was " +
                          stabilized_->audio);
    }
}

// What the run measured, its records and estimates handed over.
JobResult FlowJob::result(double elapsed_s) {
    JobResult r;
    r.options = opt_;
    r.input_description = source_->description();
    r.columns = columns_, r.lines = lines_, r.input_columns = in_columns_;
    r.records = std::move(records_);
    r.estimates = std::move(estimates_);
    r.known = source_->known_motion();
    r.damage = source_->damage();
    r.ended_at_damage = source_->ended_at_damage();
    r.interrupted = interrupted_;
    r.global_motion = tracker_ || is_affine_mode(mode_);
    r.elapsed_s = elapsed_s;
    r.component_s = component_seconds_;
    r.decode = decode_time_, r.component = component_time_, r.flow = flow_time_;
    r.write = write_time_, r.align = align_time_;
    r.threads = opt_.threads == 1 ? 1 : pipeline_threads();
    r.max_speed = max_speed_;
    if (stabilizer_) r.stabilize_encoder = stabilizer_->encoder();
    return r;
}

// The run's files committed into the output folder and the videos put in place.
JobResult FlowJob::finish() {
    const int64_t count = static_cast<int64_t>(records_.size());
    const std::string after_start =
        opt_.start > 0
            ? " after " + spelled_with("start", std::to_string(opt_.start), false, host_.spelling)
            : std::string();
    if (count == 0 && interrupted_) throw Interrupted();
    if (count == 0) throw FlowError(source_->description() + " yielded no frame" + after_start);
    if (count == 1 && !interrupted_) {
        // Motion is a change between frames: one frame measures nothing, and a run that says
        // so with exit status 0 would pass for a measurement.
        throw FlowError(source_->description() + " gave a single frame" + after_start +
                        "; motion needs at least two (an image pair, say)");
    }
    if (estimates_.empty() && !pair_affines_.empty()) {
        // A clip too short for the compensated frames: the global motion of each pair.
        for (FrameRecord& rec : records_) {
            for (const auto& [frame, motion] : pair_affines_) {
                if (rec.flow_frame == frame) rec.affine = motion, rec.affine_frame = frame;
            }
        }
        for (const auto& fm : pair_affines_) estimates_.push_back(fm.second);
    }
    if (beyond_frames_ > 0) {
        progress_->notice("warning: " + std::to_string(beyond_frames_) +
                          " frames moved beyond what can be measured; their motion is not "
                          "reliable (beyond_range in frames.csv)");
    }
    JobResult r = result(std::chrono::duration<double>(Clock::now() - started_).count());
    progress_->finish(count);
    if (!r.damage.empty()) {
        // Shown even with --quiet: the results cover less of the input than asked for.
        Progress::close_open_line();
        std::fprintf(stderr, "orvane-flow: warning: %s is damaged: %s; %s\n",
                     r.input_description.c_str(), r.damage.c_str(),
                     damage_consequence(r.ended_at_damage, r.records.size()).c_str());
    }
    if (stabilizer_) {
        render_stabilized(count);
        r.interrupted = interrupted_;
        r.stabilized = stabilized_;
        // A stabilised video that was not rendered is neither left half-written nor listed
        // among the outputs.
        if (!stabilized_) stabilizer_->discard();
    }
    if (folder_) folder_->write_results(r, *progress_);
    if (video_) video_->finish();
    if (folder_) folder_->commit();
    // The videos go in place once the results they belong to are.
    if (video_) video_->publish();
    if (stabilizer_) stabilizer_->publish();
    return r;
}

JobResult FlowJob::run() {
    check_options();
    route_ffmpeg_log(opt_.verbose);
    open_input();
    prepare_measuring();
    skip_start();
    run_frames();
    return finish();
}

JobResult run_flow_job(const RunOptions& options, const JobHost& host) {
    const EngineThreads engine(options.engine_threads);
    FlowJob job(options, host);
    try {
        return job.run();
    } catch (...) {
        // A bar left open on the terminal is ended, so that the message starts a line.
        Progress::close_open_line();
        throw;
    }
}
