#include "flow/flow_job.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "analysis/frame_align.hpp"
#include "analysis/tracker.hpp"
#include "analysis/units.hpp"
#include "engine/motion_engine.hpp"
#include "flow/direct_method.hpp"
#include "flow/folder_output.hpp"
#include "flow/frame_measures.hpp"
#include "flow/frame_source.hpp"
#include "flow/options.hpp"
#include "flow/pair_method.hpp"
#include "flow/pictures.hpp"
#include "flow/pipeline.hpp"
#include "flow/progress.hpp"
#include "flow/video_writer.hpp"

// Each option and value judged before any input is read or any file is made.
void check_job_options(const RunOptions& opt, Spelling spelling) {
    // Every value by the rules of the option table, the same the command line and the Python
    // module apply (a host that fills the options itself gets the same answers).
    if (const std::string refused = check_run_options(opt, spelling); !refused.empty()) {
        throw UsageError(refused);
    }
    auto setting = [spelling](const char* name) { return spelled(name, spelling); };
    const std::string names[] = {setting("computation_mode"), setting("timederivative_mode"),
                                 setting("input_filter"), setting("regularizer")};
    ComponentSession::SettingNames spelled_as{names[0].c_str(), names[1].c_str(),
                                              names[2].c_str(), names[3].c_str()};
    try {
        ComponentSession().apply(opt.settings, spelled_as);
    } catch (const ComponentError& e) {
        throw UsageError(e.what());
    }
    const std::string& mode = opt.settings.computation_mode;
    for (ResultImage which : opt.save) {
        if (!mode_computes(mode, which)) {
            const std::string name = result_image_name(which);
            throw UsageError(spelled_with("save", name, true, spelling) +
                             ": the computation mode \"" + mode + "\" does not compute " + name);
        }
    }
    if (!measures_dense_flow(opt.method)) {
        // These show or store the dense flow, which the global and align methods do not
        // measure.
        const std::pair<std::string, bool> needs_flow[] = {
            {spelled_with("save", "flow", true, spelling), opt.save_flow},
            {setting("video"), !opt.video.empty()},
            {setting("arrows"), opt.arrows}};
        for (const auto& [option, given] : needs_flow) {
            if (given) {
                throw UsageError(option + ": the method \"" + method_name(opt.method) +
                                 "\" measures no dense flow (choose pairwise, compensated or "
                                 "direct)");
            }
        }
    }
    if (!opt.stabilize.video.empty()) {
        // The video is read twice: once to measure the camera's path, once to render it.
        if (opt.input == "-") {
            throw UsageError(setting("stabilize") +
                             " reads the input twice (once to measure the camera's path, once "
                             "to render the video), and the standard input can be read only "
                             "once: save the video to a file and give its name");
        }
        if (!opt.video.empty() && opt.video == opt.stabilize.video) {
            throw UsageError(setting("stabilize") + " and " + setting("video") +
                             " name the same file '" + opt.stabilize.video + "'");
        }
    }
}

namespace {

using Clock = std::chrono::steady_clock;

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

// One run. Everything it creates is owned here, so an exception unwinds it: the output stage
// removes its staging folder and nothing half-written is left.
class FlowJob {
  public:
    FlowJob(const RunOptions& o, const JobHost& host)
        : opt_(o),
          host_(host),
          mode_(o.settings.computation_mode),
          max_speed_(o.max_speed > 0 ? o.max_speed : o.method == Method::pairwise ? 0.0 : 2.0) {}
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
    bool read_frame(FrameWork& w);
    bool produce(FrameWork& out);
    void component_stage(FrameWork& w);
    void flow_stage(FrameWork& w);
    void align_stage(FrameWork& w);
    void write_stage(FrameWork& w);

    void measure(FrameWork& w);
    void take_flow(FrameWork& w, const DenseFlow& flow, const std::optional<AffineMotion>& affine,
                   int64_t frame, bool beyond);
    void measure_pair(FrameWork& w);
    void take_flow_outputs(FrameWork& w);
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
    int32_t in_columns_ = 0;         // the input's width (columns_ is it cut to a multiple of 4)
    int64_t produced_ = 0;           // frames read since --start
    std::optional<FrameWork> held_;  // the frame read ahead
    Clock::time_point started_;      // the first frame's start
    double component_seconds_ = 0;   // in process_data
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

void FlowJob::check_options() {
    check_job_options(opt_, host_.spelling);
    session_ = std::make_unique<ComponentSession>();
    session_->apply(opt_.settings);
    // The component took the keyword, so it is one of the two rules.
    parse_time_rule(opt_.settings.timederivative_mode, &rule_);
}

// The output folder, the input and its geometry, and the progress display.
void FlowJob::open_input() {
    // The output folder is judged before any input is read; a failing run removes what it
    // made.
    if (opt_.write_folder) folder_ = std::make_unique<FolderOutput>(opt_);
    source_ = opt_.images.empty() ? open_frame_source(opt_.input) : open_image_files(opt_.images);
    in_columns_ = source_->columns();
    lines_ = source_->lines();
    if (in_columns_ <= 0 || lines_ <= 0) {
        throw FlowError(source_->description() + " has zero size (" + std::to_string(in_columns_) +
                        "x" + std::to_string(lines_) + ")");
    }
    columns_ = in_columns_ / 4 * 4;
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

// The component object, the video writer and the dense flow's measuring state.
void FlowJob::prepare_measuring() {
    session_->create(columns_, lines_);
    if (!opt_.stabilize.video.empty()) {
        if (!source_->rereadable()) {
            throw UsageError(setting("stabilize") +
                             " reads the input twice (once to measure the camera's path, once "
                             "to render the video), and " + source_->description() +
                             " can be read only once (a pipe): save it to a file and give its "
                             "name");
        }
        stabilizer_ = std::make_unique<Stabilizer>(
            opt_.stabilize, *source_, opt_.images.empty() ? opt_.input : std::string(),
            opt_.force);
    }
    if (!opt_.video.empty()) {
        int32_t w = 0, h = 0;
        side_by_side_size(columns_, lines_, &w, &h);
        video_ = std::make_unique<VideoWriter>(opt_.video, w, h, source_->frame_rate(), opt_.force);
    }
    DenseFlowSettings dense;
    dense.window = opt_.window;
    const int helpers =
        opt_.threads == 1 ? 1
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
            throw FlowError(source_->description() + " has only " + std::to_string(i) +
                            " frames; " +
                            spelled_with("start", std::to_string(opt_.start), false,
                                         host_.spelling) +
                            " passes over all of them");
        }
    }
}

// The next input frame into w; false at the end of the input, of --frames, or on a cancel.
bool FlowJob::read_frame(FrameWork& w) {
    if (opt_.frames >= 0 && produced_ >= opt_.frames) return false;
    if (cancelled()) {
        interrupted_ = true;
        return false;
    }
    if (!source_->next(w.frame)) return false;
    // The pairwise flow and the registration measure the whole width; the component needs a
    // multiple of 4. Where the two are the same the frame is kept once (the component stage
    // hands it on).
    if (columns_ != in_columns_) {
        if (pair_) w.whole = w.frame;
        if (aligner_) w.steady = w.frame;
        w.frame = crop(w.frame, columns_);
    }
    w.count = ++produced_;
    w.rec.frame = opt_.start + w.count - 1;
    w.rec.time_s = source_->frame_time();
    return true;
}

// Decoding reads one frame ahead, so that it knows which frame is the last: that one always
// gets its pictures, so a short input still shows something.
bool FlowJob::produce(FrameWork& out) {
    const StageTimer timer(decode_time_);
    if (!held_) {
        FrameWork first;
        if (!read_frame(first)) return false;
        held_ = std::move(first);
    }
    FrameWork next;
    const bool more = read_frame(next);
    out = std::move(*held_);
    out.last = !more;
    out.pictures = folder_ && (out.count % opt_.every == 0 || out.last);
    if (more)
        held_ = std::move(next);
    else
        held_.reset();
    return true;
}

// The statistics are taken where the component keeps its images; copies are made only of what
// later stages draw or the direct method reads.
void FlowJob::measure(FrameWork& w) {
    FrameRecord& rec = w.rec;
    FrameImages& img = w.img;
    const bool has_it2 = mode_computes(mode_, ResultImage::It2);
    const ImageView it = session_->view(ResultImage::It);
    if (has_it2) {
        const ImageView it2 = session_->view(ResultImage::It2);
        change_statistics(it, &it2, opt_.change_threshold, &rec);
        if (w.pictures) img.It2 = session_->read(ResultImage::It2);
    } else {
        change_statistics(it, nullptr, opt_.change_threshold, &rec);
    }
    const double scale = flow_scale(rule_, w.count);
    rec.mean_flow = NAN;
    // (Un, Vn) has the length |It| / |grad I| of the measured derivatives; the gains carry it
    // to pixels per frame.
    if (is_flow_mode(mode_) && scale > 0) {
        rec.mean_flow =
            mean_flow_length(session_->view(ResultImage::Un), session_->view(ResultImage::Vn)) *
            scale;
    }
    img.flow = nullptr;
    if (!direct_) return;
    img.It = session_->read(ResultImage::It);
    if (is_flow_mode(mode_)) {
        img.Un = session_->read(ResultImage::Un);
        img.Vn = session_->read(ResultImage::Vn);
    }
    if (auto step = direct_->measure(*session_, img, rec.frame, rule_, w.count)) {
        img.flow_input = step->input;
        take_flow(w, *step->flow, step->affine, step->frame, false);
    }
}

void FlowJob::note_beyond(int64_t frame) {
    if (beyond_frames_++ > 0) return;
    progress_->notice("warning: the motion at frame " + std::to_string(frame) +
                      " is beyond what can be measured (too fast, or the frames do not match); "
                      "frames.csv flags every such frame in beyond_range");
}

void FlowJob::take_flow(FrameWork& w, const DenseFlow& flow,
                        const std::optional<AffineMotion>& affine, int64_t frame, bool beyond) {
    FrameRecord& rec = w.rec;
    // The global method's flow is empty: nothing to draw, and no share or speed of it.
    const bool dense = !flow.u.empty();
    w.img.flow = dense ? &flow : nullptr;
    w.img.flow_frame = frame;
    rec.flow_frame = frame;
    rec.valid_share = dense ? flow.valid_share() : NAN;
    rec.median_speed = dense ? flow.median_speed() : NAN;
    rec.beyond_range = beyond;
    rec.affine = affine;
    rec.affine_frame = frame;
    if (affine) estimates_.push_back(*affine);
    if (beyond) note_beyond(frame);
}

// What the writer needs of the flow just measured, copied out of the measuring state that the
// next frame changes: written on the frames it names, and the last one of the run always.
void FlowJob::take_flow_outputs(FrameWork& w) {
    w.flow_due = folder_ && w.img.flow &&
                 ((w.img.flow_frame - opt_.start + 1) % opt_.every == 0 || w.last);
    if (w.img.flow && (w.flow_due || video_ || (folder_ && opt_.save_flow))) {
        w.flow = *w.img.flow;
        w.flow_frame = w.img.flow_frame;
        if (w.img.flow_input) w.flow_input = *w.img.flow_input;
        if (pair_) w.confidence = pair_->flow().confidence;
    }
    w.img.flow = nullptr;
    w.img.flow_input = nullptr;
}

// The component lives on the calling thread: every call to it is made here, and what the later
// stages need is copied out. The direct method's flow comes from its images, so it is measured
// here too.
void FlowJob::component_stage(FrameWork& w) {
    const StageTimer timer(component_time_);
    const auto t0 = Clock::now();
    session_->process(w.frame);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    component_seconds_ += seconds;
    w.rec.time_ms = 1000.0 * seconds;
    // The component keeps what it needs; the registration and the pairwise flow take the frame
    // itself where it was not cut to the component's width (a copy only when both want it).
    if (aligner_ && w.steady.empty()) {
        w.steady = pair_ && w.whole.empty() ? w.frame : std::move(w.frame);
    }
    if (pair_ && w.whole.empty()) w.whole = std::move(w.frame);
    w.frame = GreyImage();
    measure(w);
    if (!tracker_) take_flow_outputs(w);
    if (w.pictures || tracker_) w.Is = session_->read(ResultImage::Is);
    if (w.pictures) {
        for (ResultImage which : opt_.save) w.saved.emplace_back(which, session_->read(which));
    } else {
        w.img = FrameImages();  // only picture frames need their images downstream
    }
}

// The tracker follows the smoothed input on a thread of its own, so that the component's next
// frame and this frame's flow are measured side by side.
void FlowJob::flow_stage(FrameWork& w) {
    const StageTimer timer(flow_time_);
    if (pair_) {
        if (tracker_->push(w.Is)) {
            const FlowResult& r = tracker_->result();
            w.rec.affine = r.affine;
            w.rec.affine_frame = opt_.start + r.frame;
            if (r.affine) estimates_.push_back(*r.affine);
        }
        measure_pair(w);
    } else if (tracker_->push(w.Is)) {
        const FlowResult& r = tracker_->result();
        take_flow(w, r.flow, r.affine, opt_.start + r.frame, r.beyond_range);
        w.img.flow_input = &tracker_->result_frame();
        take_flow_outputs(w);
    }
    if (!w.pictures) w.Is = GreyImage();
}

// The pairwise method: the flow from the frame before to this one, which describes the frame
// before.
void FlowJob::measure_pair(FrameWork& w) {
    // The global motion of short clips, which the compensated frames never reach.
    if (const auto pair = pair_->measure(w.whole, estimates_.empty())) {
        const int64_t frame = w.rec.frame - 1;
        const DenseFlow& flow = pair_->flow();
        w.img.flow = &flow;
        w.img.flow_frame = frame;
        w.img.flow_input = &pair_->previous();
        w.rec.flow_frame = frame;
        if (max_speed_ == 0) max_speed_ = picture_scale(pair->fast);
        w.rec.beyond_range = pair->beyond;
        if (pair->beyond) note_beyond(frame);
        if (pair->affine) pair_affines_.emplace_back(frame, *pair->affine);
        w.rec.valid_share = flow.valid_share();
        w.rec.median_speed = flow.median_speed();
        take_flow_outputs(w);
    }
    pair_->advance(std::move(w.whole));
    w.whole = GreyImage();
}

// --method align and --stabilize: each frame registered onto the one before, on a thread of
// its own. The method's global motion is the step from the frame before to this one, which
// describes the frame before (as the pairwise flow does).
void FlowJob::align_stage(FrameWork& w) {
    const StageTimer timer(align_time_);
    const std::optional<AffineMotion> step = aligner_->push(w.steady);
    w.steady = GreyImage();
    if (opt_.method == Method::align && step) {
        w.rec.affine = step;
        w.rec.affine_frame = w.rec.frame - 1;
        estimates_.push_back(*step);
    }
    if (stabilizer_) stabilizer_->add_step(step, w.rec.time_s);
}

// Pictures, flow files, the video and the frame's record, in frame order.
void FlowJob::write_stage(FrameWork& w) {
    const StageTimer timer(write_time_);
    if (video_) frame_times_[w.rec.frame] = w.rec.time_s;
    if (folder_) folder_->write_frame(w, max_speed_);
    if (video_ && w.flow_frame >= 0 && !w.flow_input.empty()) {
        // " at 1.24 s" for frames whose time in the video is known.
        std::string at;
        if (const auto it = frame_times_.find(w.flow_frame); it != frame_times_.end()) {
            if (std::isfinite(it->second)) {
                char text[32];
                std::snprintf(text, sizeof text, " at %.2f s", it->second);
                at = text;
            }
            frame_times_.erase(frame_times_.begin(), it);
        }
        video_->write(side_by_side_picture(w.flow_input, w.flow.u, w.flow.v, w.flow.valid,
                                           max_speed_,
                                           "frame " + std::to_string(w.flow_frame) + at));
    }
    records_.push_back(w.rec);
    if (host_.on_frame) host_.on_frame(w.rec);
    progress_->update(static_cast<int64_t>(records_.size()));
}

void FlowJob::run_frames() {
    started_ = Clock::now();
    std::vector<std::function<void(FrameWork&)>> transforms{
        [this](FrameWork& w) { component_stage(w); }};
    if (tracker_) transforms.emplace_back([this](FrameWork& w) { flow_stage(w); });
    if (aligner_) transforms.emplace_back([this](FrameWork& w) { align_stage(w); });
    Pipeline<FrameWork>([this](FrameWork& w) { return produce(w); }, transforms,
                        [this](FrameWork& w) { write_stage(w); })
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
    auto again = opt_.images.empty() ? open_frame_source(opt_.input) : open_image_files(opt_.images);
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
                          "; the video is zoomed by " + text + " and some borders show (a "
                          "shorter " + setting("smoothing") +
                          " follows the camera closer and needs less)");
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

}  // namespace

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
