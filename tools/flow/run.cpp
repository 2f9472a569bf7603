#include "flow/run.hpp"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "analysis/affine.hpp"
#include "analysis/dense_flow.hpp"
#include "analysis/frame_align.hpp"
#include "analysis/pair_flow.hpp"
#include "analysis/tracker.hpp"
#include "analysis/units.hpp"
#include "engine/motion_engine.hpp"
#include "flow/frame_source.hpp"
#include "flow/image_io.hpp"
#include "flow/motion_plot.hpp"
#include "flow/options.hpp"
#include "flow/output_stage.hpp"
#include "flow/pictures.hpp"
#include "flow/pipeline.hpp"
#include "flow/progress.hpp"
#include "flow/report_html.hpp"
#include "flow/reports.hpp"
#include "flow/video_writer.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// [s] of processor time used by the calling thread: a stage's own cost, whatever else the
// machine is running.
double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Time spent in one pipeline stage's own work, queue waits left out.
struct StageTime {
    double wall_s = 0, cpu_s = 0;
};

// Adds the wall and processor time of its scope to a StageTime.
class StageTimer {
  public:
    explicit StageTimer(StageTime& t) : t_(t), wall0_(Clock::now()), cpu0_(thread_cpu_seconds()) {}
    ~StageTimer() {
        t_.wall_s += std::chrono::duration<double>(Clock::now() - wall0_).count();
        t_.cpu_s += thread_cpu_seconds() - cpu0_;
    }
    StageTimer(const StageTimer&) = delete;
    StageTimer& operator=(const StageTimer&) = delete;

  private:
    StageTime& t_;
    Clock::time_point wall0_;
    double cpu0_;
};

// The first Ctrl-C ends the run after the current frame and keeps what was measured; the
// handler then puts back what was there before (normally the default), so a second one stops
// the program at once.
volatile std::sig_atomic_t g_interrupted = 0;
struct sigaction g_previous[2];  // SIGINT, SIGTERM as they were before the run

int slot_of(int sig) {
    return sig == SIGINT ? 0 : 1;
}

extern "C" void on_interrupt(int sig) {
    g_interrupted = 1;
    sigaction(sig, &g_previous[slot_of(sig)], nullptr);
}

// Catches Ctrl-C and termination requests for as long as output is being made. A signal the
// caller chose to ignore (a job started with nohup or in the background of a shell without
// job control) stays ignored; on leaving, every disposition is restored as it was.
struct InterruptGuard {
    InterruptGuard() {
        g_interrupted = 0;
        for (int sig : {SIGINT, SIGTERM}) {
            struct sigaction& previous = g_previous[slot_of(sig)];
            sigaction(sig, nullptr, &previous);
            if (previous.sa_handler == SIG_IGN) continue;
            struct sigaction ours {};
            ours.sa_handler = on_interrupt;
            // A read that blocks on a pipe resumes; the flag is looked at between frames.
            ours.sa_flags = SA_RESTART;
            sigemptyset(&ours.sa_mask);
            sigaction(sig, &ours, nullptr);
        }
    }
    ~InterruptGuard() {
        for (int sig : {SIGINT, SIGTERM}) sigaction(sig, &g_previous[slot_of(sig)], nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// Ctrl-C before any frame was measured: nothing is written and the exit status says why.
class Interrupted : public FlowError {
  public:
    Interrupted() : FlowError("interrupted before the first frame; nothing written") {}
};

std::string frame_name(const char* what, int64_t frame, const char* ext) {
    char name[64];
    std::snprintf(name, sizeof name, "%s_%06lld.%s", what, static_cast<long long>(frame), ext);
    return name;
}

// TODO(job): use crop() and cropped_width() of analysis/width.hpp, the one width rule.
GreyImage crop(const GreyImage& in, int32_t columns) {
    if (in.columns == columns) return in;
    GreyImage out(columns, in.lines);
    for (int32_t y = 0; y < in.lines; ++y) {
        std::copy(in.line(y), in.line(y) + columns, out.line(y));
    }
    return out;
}

// Mean length of the flow vectors (un, vn) over the pixels where it is finite.
double mean_flow_length(const ImageView& un, const ImageView& vn) {
    double s = 0;
    size_t n = 0;
    for (int32_t y = 0; y < un.lines; ++y) {
        const float* u = un.line(y);
        const float* v = vn.line(y);
        for (int32_t x = 0; x < un.columns; ++x) {
            const float length = std::sqrt(u[x] * u[x] + v[x] * v[x]);
            if (std::isfinite(length)) s += length, ++n;
        }
    }
    return n ? s / static_cast<double>(n) : NAN;
}

bool is_affine_mode(const std::string& mode) {
    return mode == "affineparams" || mode == "all";
}
bool is_flow_mode(const std::string& mode) {
    return mode == "orvane" || mode == "all";
}

// Everything one frame produces that the run keeps or writes.
struct FrameImages {
    GreyImage It, It2, Un, Vn;
    // The dense flow measured at this step, or null; it describes frame flow_frame, whose
    // input (after the component's smoothing) is flow_input.
    const DenseFlow* flow = nullptr;
    int64_t flow_frame = -1;
    const GreyImage* flow_input = nullptr;
};

// One frame on its way through the pipeline: decoded, measured, pictured. What the writer
// needs is owned here (copied out of the measuring state, which the next frame changes).
struct FrameWork {
    int64_t count = 0;  // 1-based since the first processed frame
    GreyImage frame;    // the input, until the component has taken it
    GreyImage whole;    // the input at its full width, for the pairwise flow (else empty)
    GreyImage steady;   // the input at its full width, for the stabiliser (else empty)
    FrameRecord rec;
    FrameImages img;
    bool last = false;      // the last frame of the run
    bool pictures = false;  // this frame gets pictures (and --save images)
    GreyImage Is;
    std::vector<std::pair<ResultImage, GreyImage>> saved;
    // The dense flow of this step (flow_frame >= 0) when it is written (flow_due) or goes
    // into the video, and the input it describes.
    DenseFlow flow;
    int64_t flow_frame = -1;
    bool flow_due = false;
    GreyImage flow_input;
    GreyImage confidence;  // the pairwise flow's, beside `flow` (else empty)
};

// What the damage of an input means for the results of its `count` frames.
std::string damage_consequence(bool ended, size_t count) {
    return ended ? "the " + std::to_string(count) + " frames before the damage are kept"
                 : "the " + std::to_string(count) +
                       " frames decoded are measured, but the motion around the damage may be "
                       "wrong";
}

// The flow pictures' full-colour speed for a run whose fastest motions (all but the fastest
// hundredth of the pixels) reach `fast` [px/frame]: the next round number above it, so that
// they show in nearly full colour and nothing saturates.
double picture_scale(double fast) {
    static const double steps[] = {1, 1.5, 2, 3, 4, 5, 6, 8};
    const double want = std::max(0.5, 1.1 * fast);
    for (double decade = 0.1; decade < 1e6; decade *= 10) {
        for (double s : steps) {
            if (s * decade >= want) return s * decade;
        }
    }
    return want;
}

// Frames whose shorter side reaches this are registered reduced by 2 (--method align and
// --stabilize) [pixels].
constexpr int32_t kAlignReductionSide = 360;

// Frames larger than this (about 1.5 Mpx, e.g. 1920x1080) are reduced by 2 for the global method.
constexpr int64_t kGlobalReductionPixels = 1500000;

// Frames in each queue between the stages. One is enough: the measuring stages take far longer
// per frame than decoding or writing a picture, so a deeper queue only holds more frames (each
// with its input and smoothed images, 8 MB apiece at 1920x1080) without saving any time.
constexpr size_t kQueueCapacity = 1;

// Where a run's error messages go: standard error with the program's name, or the string of a
// host that runs the job in-process.
struct ErrorSink {
    std::string* host_message = nullptr;
    void operator()(const std::string& text) const {
        if (host_message)
            *host_message = text;
        else
            std::fprintf(stderr, "orvane-flow: %s\n", text.c_str());
    }
};

class Run {
  public:
    Run(const RunOptions& o, ErrorSink error, bool catch_signals)
        : opt_(o),
          mode_(o.settings.computation_mode),
          error_(error),
          catch_signals_(catch_signals),
          max_speed_(o.max_speed > 0 ? o.max_speed : o.method == "pairwise" ? 0.0 : 2.0) {}
    int execute();

  private:
    // The stages of execute(), in order.
    int check_options();
    void open_input();
    void prepare_measuring();
    void skip_start();
    void run_frames();
    int finish();
    // The pipeline's stages.
    bool read_frame(FrameWork& w);
    bool produce(FrameWork& out);
    void component_stage(FrameWork& w);
    void flow_stage(FrameWork& w);
    void align_stage(FrameWork& w);
    void write_stage(FrameWork& w);
    void render_stabilized(int64_t count);

    void measure(FrameRecord& rec, FrameImages& img, int64_t count, bool pictures);
    void measure_direct(FrameRecord& rec, FrameImages& img, TimeRule rule, int64_t count);
    void take_flow(FrameRecord& rec, FrameImages& img, const DenseFlow& flow,
                   const std::optional<AffineMotion>& affine, int64_t frame, bool beyond);
    void measure_pair(FrameWork& w);
    void take_flow_outputs(FrameWork& w);
    void write_pictures(FrameWork& w);
    void write_flow_outputs(const FrameWork& w);
    std::string summary_json(double elapsed, double component_seconds) const;
    nlohmann::ordered_json stabilization_json() const;
    // Decoding, the component and writing, and the tracker's and the registration's stages.
    int pipeline_threads() const { return 3 + (tracker_ ? 1 : 0) + (aligner_ ? 1 : 0); }
    // Staged path of a picture, which the report shows.
    std::string picture_path(const std::string& name) {
        picture_names_.push_back(name);
        return stage_->path_for(name);
    }
    void write_report(double elapsed, double component_seconds);
    void print_results(double elapsed) const;

    const RunOptions& opt_;
    const std::string mode_;
    const ErrorSink error_;
    const bool catch_signals_;
    // [px/frame] full colour in the flow pictures; 0 until the pairwise method's first flow
    // chooses it (written before that flow goes downstream, read by the writer after).
    double max_speed_;
    std::unique_ptr<FrameSource> source_;
    std::unique_ptr<ComponentSession> session_;
    std::unique_ptr<OutputStage> stage_;
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
    std::vector<std::string> picture_names_;
    std::unique_ptr<VideoWriter> video_;
    // " at 1.24 s" for frames whose time in the video is known, else empty (writer thread).
    std::map<int64_t, double> frame_times_;
    std::string source_time_of(int64_t frame) {
        const auto it = frame_times_.find(frame);
        if (it == frame_times_.end() || !std::isfinite(it->second)) return {};
        char text[32];
        std::snprintf(text, sizeof text, " at %.2f s", it->second);
        frame_times_.erase(frame_times_.begin(), it);
        return text;
    }
    // Each stage's own time; summary.json's "measure" is the component's and the flow's
    // together.
    StageTime decode_time_, component_time_, flow_time_, write_time_, align_time_;
    // --stabilize: the frame-to-frame registration (a pipeline stage of its own) and the
    // rendering pass after the measuring one; its result once the video is written.
    std::unique_ptr<Stabilizer> stabilizer_;
    std::optional<StabilizeResult> stabilized_;
    std::unique_ptr<FrameAligner> aligner_;
    bool interrupted_ = false;
    // The dense flow: the tracker (compensated) or the solver on the stream's own moments
    // (direct), with the frames the direct flow refers to.
    std::unique_ptr<FlowTracker> tracker_;
    std::unique_ptr<DenseFlowSolver> solver_;
    DenseFlow direct_flow_;
    std::vector<float> edge_mask_;
    std::deque<GreyImage> recent_inputs_;
    int64_t beyond_frames_ = 0;
    // The pairwise method: its estimator, the frame before (full width), and the flow just
    // measured as the run's other stages take it, which is also where the next pair's search
    // starts.
    std::unique_ptr<PairFlowEstimator> pair_;
    GreyImage pair_previous_;
    DenseFlow pair_dense_;
    bool pair_has_flow_ = false;
    double pair_reach_ = 0;  // [pixels per frame]
    // The global motion of each pair from its flow, for clips too short for the compensated
    // frames: (frame, motion).
    std::vector<std::pair<int64_t, AffineMotion>> pair_affines_;
};

void Run::measure(FrameRecord& rec, FrameImages& img, int64_t count, bool pictures) {
    // The statistics are taken where the component keeps its images; copies are made only
    // of what later stages draw or the direct method reads.
    const bool has_it2 = mode_computes(mode_, ResultImage::It2);
    const ImageView it = session_->view(ResultImage::It);
    const ImageView it2 = has_it2 ? session_->view(ResultImage::It2) : it;
    double abs_sum = 0;
    size_t changed = 0;
    const float threshold = static_cast<float>(opt_.change_threshold);
    for (int32_t y = 0; y < it.lines; ++y) {
        const float* t = it.line(y);
        const float* t2 = it2.line(y);
        double line_sum = 0;
        for (int32_t x = 0; x < it.columns; ++x) {
            line_sum += std::fabs(t[x]);
            changed += (has_it2 ? t2[x] : t[x] * t[x]) > threshold;
        }
        abs_sum += line_sum;
    }
    const double pixels = static_cast<double>(it.columns) * it.lines;
    rec.mean_abs_it = abs_sum / pixels;
    rec.change_share = static_cast<double>(changed) / pixels;
    if (has_it2 && pictures) img.It2 = session_->read(ResultImage::It2);

    const TimeRule rule = rule_;
    const double scale = flow_scale(rule, count);
    rec.mean_flow = NAN;
    if (is_flow_mode(mode_)) {
        // (Un, Vn) has the length |It| / |grad I| of the measured derivatives; the gains
        // carry it to pixels per frame.
        if (scale > 0) {
            rec.mean_flow =
                mean_flow_length(session_->view(ResultImage::Un), session_->view(ResultImage::Vn)) *
                scale;
        }
    }
    img.flow = nullptr;
    if (!tracker_ && opt_.method != "align") {
        img.It = session_->read(ResultImage::It);
        if (is_flow_mode(mode_)) {
            img.Un = session_->read(ResultImage::Un);
            img.Vn = session_->read(ResultImage::Vn);
        }
        measure_direct(rec, img, rule, count);
    }
}

// What the writer needs of the flow just measured, copied out of the measuring state that the
// next frame changes: written on the frames it names, and the last one of the run always.
void Run::take_flow_outputs(FrameWork& w) {
    w.flow_due = w.img.flow && ((w.img.flow_frame - opt_.start + 1) % opt_.every == 0 || w.last);
    if (w.img.flow && (w.flow_due || video_ || opt_.save_flow)) {
        w.flow = *w.img.flow;
        w.flow_frame = w.img.flow_frame;
        if (w.img.flow_input) w.flow_input = *w.img.flow_input;
        if (pair_) w.confidence = pair_dense_.confidence;
    }
    w.img.flow = nullptr;
    w.img.flow_input = nullptr;
}

// The dense flow and the affine fit from the moment images of the component that runs on
// the raw stream: the tool's direct method, accurate below about one pixel per frame.
void Run::measure_direct(FrameRecord& rec, FrameImages& img, TimeRule rule, int64_t count) {
    const double gain_t = temporal_gain(rule, count);
    // The derivatives describe the frame frame_delay() before the newest.
    recent_inputs_.push_back(session_->read(ResultImage::Is));
    while (recent_inputs_.size() > static_cast<size_t>(frame_delay(rule)) + 1) {
        recent_inputs_.pop_front();
    }
    if (gain_t <= 0 || !mode_computes(mode_, ResultImage::Ixt)) return;
    const int64_t frame = rec.frame - frame_delay(rule);
    img.flow_input = &recent_inputs_.front();
    if (!is_affine_mode(mode_)) {
        // The mode "orvane" has no Ixy: its picture is the flow along the gradient, which
        // points against the motion.
        const float to_flow = static_cast<float>(-kSpatialGain / gain_t);
        direct_flow_.u = img.Un, direct_flow_.v = img.Vn;
        for (float& x : direct_flow_.u.data) x *= to_flow;
        for (float& x : direct_flow_.v.data) x *= to_flow;
        direct_flow_.valid = finite_mask(direct_flow_.u, direct_flow_.v);
        direct_flow_.confidence = GreyImage(columns_, lines_);
        take_flow(rec, img, direct_flow_, std::nullopt, frame, false);
        return;
    }
    const GreyImage ix2 = session_->read(ResultImage::Ix2);
    const GreyImage iy2 = session_->read(ResultImage::Iy2);
    const GreyImage ixy = session_->read(ResultImage::Ixy);
    const GreyImage ixt = session_->read(ResultImage::Ixt);
    const GreyImage iyt = session_->read(ResultImage::Iyt);
    const AffineEstimator estimator(margin_);
    const MomentImages moments{&ix2, &iy2, &ixy, &ixt, &iyt};
    const std::optional<AffineMotion> affine =
        opt_.robust_fit ? estimator.estimate_robust(moments, img.It, gain_t)
                        : estimator.estimate(moments, gain_t);
    solver_->solve(moments, kSpatialGain / gain_t, nullptr, &edge_mask_, &direct_flow_);
    take_flow(rec, img, direct_flow_, affine, frame, false);
}

void Run::take_flow(FrameRecord& rec, FrameImages& img, const DenseFlow& flow,
                    const std::optional<AffineMotion>& affine, int64_t frame, bool beyond) {
    // The global method's flow is empty: nothing to draw, and no share or speed of it.
    const bool dense = !flow.u.empty();
    img.flow = dense ? &flow : nullptr;
    img.flow_frame = frame;
    rec.flow_frame = frame;
    rec.valid_share = dense ? flow.valid_share() : NAN;
    rec.median_speed = dense ? flow.median_speed() : NAN;
    rec.beyond_range = beyond;
    rec.affine = affine;
    rec.affine_frame = frame;
    if (affine) estimates_.push_back(*affine);
    if (beyond && beyond_frames_++ == 0) {
        progress_->notice("warning: the motion at frame " + std::to_string(frame) +
                          " is beyond what can be measured (too fast, or the frames do not "
                          "match); frames.csv flags every such frame in beyond_range");
    }
}

void Run::write_pictures(FrameWork& w) {
    const int64_t frame = w.rec.frame;
    write_png_grey(picture_path(frame_name("Is", frame, "png")), w.Is);
    if (mode_computes(mode_, ResultImage::It2)) {
        write_png_rgb(picture_path(frame_name("It2", frame, "png")), heat_picture(w.img.It2));
    }
    for (const auto& [which, image] : w.saved) {
        write_npy(stage_->path_for(frame_name(result_image_name(which), frame, "npy")), image);
    }
}

// The pictures and files of one dense flow, named by the frame it describes.
void Run::write_flow_outputs(const FrameWork& w) {
    const DenseFlow& f = w.flow;
    const int64_t frame = w.flow_frame;
    if (w.flow_due) {
        write_png_rgb(picture_path(frame_name("flow", frame, "png")),
                      flow_picture(f.u, f.v, f.valid, max_speed_));
        if (!w.confidence.empty()) {
            GreyImage shown(w.confidence.columns, w.confidence.lines);
            for (size_t i = 0; i < shown.data.size(); ++i) shown.data[i] = 255.0f * w.confidence.data[i];
            write_png_grey(picture_path(frame_name("confidence", frame, "png")), shown);
        }
        if (opt_.arrows && !w.flow_input.empty()) {
            write_png_rgb(picture_path(frame_name("arrows", frame, "png")),
                          arrow_picture(w.flow_input, f.u, f.v, f.valid, max_speed_));
        }
    }
    if (opt_.save_flow && !w.confidence.empty()) {
        write_npy(stage_->path_for(frame_name("confidence", frame, "npy")), w.confidence);
    }
    if (opt_.save_flow) {
        write_flo(stage_->path_for(frame_name("flow", frame, "flo")), f.u, f.v, f.valid);
        write_npy_flow(stage_->path_for(frame_name("flow", frame, "npy")), f.u, f.v, f.valid);
        GreyImage mask(f.columns(), f.lines());
        for (size_t i = 0; i < f.valid.size(); ++i) mask.data[i] = f.valid[i] ? 255.0f : 0.0f;
        write_png_grey(stage_->path_for(frame_name("valid", frame, "png")), mask);
    }
}

// Each option and value judged before any input is read or any file is made; kExitOk or the
// usage code after the message.
int Run::check_options() {
    // Every value by the rules of the option table, the same the command line and the Python
    // module apply (a host that fills the options itself gets the same answers).
    if (const std::string refused = check_run_options(opt_); !refused.empty()) {
        error_(refused);
        return kExitUsage;
    }
    session_ = std::make_unique<ComponentSession>();
    try {
        session_->apply(opt_.settings);
    } catch (const ComponentError& e) {
        error_(e.what());
        return kExitUsage;
    }
    // The component took the keyword, so it is one of the two rules.
    parse_time_rule(opt_.settings.timederivative_mode, &rule_);
    for (ResultImage which : opt_.save) {
        if (!mode_computes(mode_, which)) {
            const std::string name = result_image_name(which);
            error_("--save " + name + ": the computation mode \"" + mode_ + "\" does not compute " +
                   name);
            return kExitUsage;
        }
    }

    if (opt_.method == "global" || opt_.method == "align") {
        // These show or store the dense flow, which the global and align methods do not
        // measure.
        const std::pair<const char*, bool> needs_flow[] = {{"--save flow", opt_.save_flow},
                                                           {"--video", !opt_.video.empty()},
                                                           {"--arrows", opt_.arrows}};
        for (const auto& [option, given] : needs_flow) {
            if (given) {
                error_(std::string(option) + ": the method \"" + opt_.method +
                       "\" measures no dense flow (choose pairwise, compensated or direct)");
                return kExitUsage;
            }
        }
    }
    if (!opt_.stabilize.video.empty()) {
        const StabilizeOptions& st = opt_.stabilize;
        Borders borders;
        if (!parse_borders(st.borders, &borders)) {
            error_("--borders: '" + st.borders +
                   "' is not a way to handle the borders (choose crop, black or mirror)");
            return kExitUsage;
        }
        if (!st.tripod && !(std::isfinite(st.smoothing_s) && st.smoothing_s > 0)) {
            char text[32];
            std::snprintf(text, sizeof text, "%g", st.smoothing_s);
            error_(std::string("--smoothing: ") + text +
                   " is not a positive number of seconds (or tripod)");
            return kExitUsage;
        }
        // The video is read twice: once to measure the camera's path, once to render it.
        if (opt_.input == "-") {
            error_("--stabilize reads the input twice (once to measure the camera's path, once "
                   "to render the video), and the standard input can be read only once: save "
                   "the video to a file and give its name");
            return kExitUsage;
        }
        if (!opt_.video.empty() && opt_.video == st.video) {
            error_("--stabilize and --video name the same file '" + st.video + "'");
            return kExitUsage;
        }
    }
    return kExitOk;
}

// The output folder, the input and its geometry, and the progress display.
void Run::open_input() {
    // The output folder is judged before any input is read; a failing run removes what it
    // made.
    stage_ = std::make_unique<OutputStage>(opt_.out, opt_.force);
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
void Run::prepare_measuring() {
    session_->create(columns_, lines_);
    if (!opt_.stabilize.video.empty()) {
        if (!source_->rereadable()) {
            throw UsageError("--stabilize reads the input twice (once to measure the camera's "
                             "path, once to render the video), and " + source_->description() +
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
    if (opt_.method == "pairwise") {
        PairFlowSettings ps;
        ps.threads = helpers;
        pair_ = std::make_unique<PairFlowEstimator>(ps);
        pair_reach_ = pair_flow_reach(in_columns_, lines_, ps);
    }
    if (opt_.method == "align" || stabilizer_) {
        // The motion from each frame to the next, registered at the frames' full width; large
        // frames are registered reduced by 2, which holds a hundredth of a pixel.
        AlignSettings as;
        if (std::min(in_columns_, lines_) >= kAlignReductionSide) as.reduction = 2;
        aligner_ = std::make_unique<FrameAligner>(as);
    }
    if (opt_.method == "align") {
        // No dense flow and no tracker: the component's change images and the registration.
    } else if (opt_.method == "compensated" || opt_.method == "global" ||
               opt_.method == "pairwise") {
        // The pairwise method takes the global motion from the compensated frames too, where a
        // clip has the five frames they need.
        TrackerSettings ts;
        ts.dense = dense;
        ts.dense_flow = opt_.method == "compensated";
        // The global motion of large frames is measured as well on frames reduced by 2, at a
        // quarter of the work.
        if (!ts.dense_flow && int64_t{columns_} * lines_ > kGlobalReductionPixels) ts.reduction = 2;
        // The tracker's window sums and warps take a second thread unless the run is to stay
        // on one.
        ts.dense.threads = helpers;
        tracker_ = std::make_unique<FlowTracker>(columns_, lines_, ts);
    } else {
        solver_ = std::make_unique<DenseFlowSolver>(dense);
        edge_mask_ = edge_mask(columns_, lines_, margin_);
    }
}

// The frames before --start are passed over, not measured.
void Run::skip_start() {
    for (int64_t i = 0; i < opt_.start; ++i) {
        if (g_interrupted) throw Interrupted();
        if (!source_->skip()) {
            if (g_interrupted) throw Interrupted();
            throw FlowError(source_->description() + " has only " + std::to_string(i) +
                            " frames; --start " + std::to_string(opt_.start) +
                            " passes over all of them");
        }
    }
}

// The next input frame into w; false at the end of the input, of --frames, or on Ctrl-C.
bool Run::read_frame(FrameWork& w) {
    if (opt_.frames >= 0 && produced_ >= opt_.frames) return false;
    if (g_interrupted) {
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
bool Run::produce(FrameWork& out) {
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
    out.pictures = out.count % opt_.every == 0 || out.last;
    if (more)
        held_ = std::move(next);
    else
        held_.reset();
    return true;
}

// The component lives on the calling thread: every call to it is made here, and what the later
// stages need is copied out. The direct method's flow comes from its images, so it is measured
// here too.
void Run::component_stage(FrameWork& w) {
    const StageTimer timer(component_time_);
    const auto t0 = Clock::now();
    session_->process(w.frame);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    component_seconds_ += seconds;
    w.rec.time_ms = 1000.0 * seconds;
    // The component keeps what it needs; the registration and the pairwise flow take the frame
    // itself where it was not cut to the component's width (a copy only when both want it).
    if (aligner_ && w.steady.empty()) w.steady = pair_ && w.whole.empty() ? w.frame : std::move(w.frame);
    if (pair_ && w.whole.empty()) w.whole = std::move(w.frame);
    w.frame = GreyImage();
    measure(w.rec, w.img, w.count, w.pictures);
    if (!tracker_) take_flow_outputs(w);
    if (w.pictures || tracker_) w.Is = session_->read(ResultImage::Is);
    if (w.pictures) {
        for (ResultImage which : opt_.save) w.saved.emplace_back(which, session_->read(which));
    } else {
        w.img = FrameImages();  // only picture frames need their images downstream
    }
}

// The compensated and global methods' tracker follows the smoothed input on a thread of its
// own, so that the component's next frame and this frame's flow are measured side by side.
void Run::flow_stage(FrameWork& w) {
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
        take_flow(w.rec, w.img, r.flow, r.affine, opt_.start + r.frame, r.beyond_range);
        w.img.flow_input = &tracker_->result_frame();
        take_flow_outputs(w);
    }
    if (!w.pictures) w.Is = GreyImage();
}

// The pairwise method: the flow from the frame before to this one, which describes the frame
// before. The search starts from the flow of the pair before, which a steady motion keeps.
void Run::measure_pair(FrameWork& w) {
    if (!pair_previous_.empty()) {
        // One copy of the flow is kept between pairs: the DenseFlow the run's other stages read,
        // whose images go back to the estimator as the pair before.
        PairFlow before{std::move(pair_dense_.u), std::move(pair_dense_.v),
                        std::move(pair_dense_.confidence)};
        PairFlow flow;
        pair_->estimate(pair_previous_, w.whole, &flow, pair_has_flow_ ? &before : nullptr);
        before = PairFlow();
        pair_has_flow_ = true;
        const int64_t frame = w.rec.frame - 1;
        w.img.flow = &pair_dense_;
        w.img.flow_frame = frame;
        w.img.flow_input = &pair_previous_;
        w.rec.flow_frame = frame;
        pair_dense_.valid.assign(flow.u.data.size(), 1);
        // Beyond what the pyramid reaches, or matching almost nowhere.
        std::vector<float> speed(flow.u.data.size());
        double confident = 0;
        for (size_t i = 0; i < speed.size(); ++i) {
            speed[i] = std::hypot(flow.u.data[i], flow.v.data[i]);
            confident += flow.confidence.data[i];
        }
        const size_t high = speed.size() * 99 / 100;
        std::nth_element(speed.begin(), speed.begin() + high, speed.end());
        // A pair of related frames is confident on about half of its pixels on average; two
        // frames that show different things match almost nowhere.
        const double mean_confidence = confident / static_cast<double>(speed.size());
        const bool beyond = speed[high] > 0.8 * pair_reach_ || mean_confidence < 0.1;
        if (max_speed_ == 0) max_speed_ = picture_scale(speed[high]);
        w.rec.beyond_range = beyond;
        if (beyond && beyond_frames_++ == 0) {
            progress_->notice("warning: the motion at frame " + std::to_string(frame) +
                              " is beyond what can be measured (too fast, or the frames do not "
                              "match); frames.csv flags every such frame in beyond_range");
        }
        // The global motion of short clips, which the compensated frames never reach.
        if (estimates_.empty()) {
            if (auto a = affine_of_flow(flow)) pair_affines_.emplace_back(frame, *a);
        }
        pair_dense_.u = std::move(flow.u);
        pair_dense_.v = std::move(flow.v);
        pair_dense_.confidence = std::move(flow.confidence);
        w.rec.valid_share = pair_dense_.valid_share();
        w.rec.median_speed = pair_dense_.median_speed();
        take_flow_outputs(w);
    }
    pair_previous_ = std::move(w.whole);
    w.whole = GreyImage();
}

// --method align and --stabilize: each frame registered onto the one before, on a thread of
// its own. The method's global motion is the step from the frame before to this one, which
// describes the frame before (as the pairwise flow does).
void Run::align_stage(FrameWork& w) {
    const StageTimer timer(align_time_);
    const std::optional<AffineMotion> step = aligner_->push(w.steady);
    w.steady = GreyImage();
    if (opt_.method == "align" && step) {
        w.rec.affine = step;
        w.rec.affine_frame = w.rec.frame - 1;
        estimates_.push_back(*step);
    }
    if (stabilizer_) stabilizer_->add_step(step, w.rec.time_s);
}

// --stabilize: the input read again from the first measured frame and rendered along the
// smoothed camera path. Ctrl-C here (or before) leaves no video; the measurement is kept.
void Run::render_stabilized(int64_t count) {
    if (interrupted_) {
        progress_->notice("interrupted: the stabilised video '" + opt_.stabilize.video +
                          "' was not written");
        return;
    }
    auto again = opt_.images.empty() ? open_frame_source(opt_.input) : open_image_files(opt_.images);
    for (int64_t i = 0; i < opt_.start; ++i) {
        if (!again->skip()) throw FlowError(source_->description() + " ended when read again");
    }
    progress_->notice("writing the stabilised video '" + opt_.stabilize.video + "'");
    Progress progress(opt_.quiet, count);
    stabilized_ = stabilizer_->render(
        *again, [] { return g_interrupted != 0; }, [&](int64_t done) { progress.update(done); });
    progress.finish(stabilized_ ? count : 0);
    if (!stabilized_) {
        interrupted_ = true;
        progress_->notice("interrupted: the stabilised video '" + opt_.stabilize.video +
                          "' was not written");
        return;
    }
    if (!stabilized_->zoom_enough) {
        char text[64];
        std::snprintf(text, sizeof text, "%.2f", Stabilizer::kMaxZoom);
        progress_->notice(std::string("warning: hiding the borders needs a zoom beyond ") + text +
                          "; the video is zoomed by " + text +
                          " and some borders show (a shorter --smoothing follows the camera "
                          "closer and needs less)");
    }
    if (!stabilized_->audio.empty() && stabilized_->audio.rfind("not copied", 0) == 0) {
        progress_->notice("the stabilised video has no sound: the input's audio was " +
                          stabilized_->audio);
    }
}

// Pictures, flow files, the video and the frame's record, in frame order.
void Run::write_stage(FrameWork& w) {
    const StageTimer timer(write_time_);
    if (video_) frame_times_[w.rec.frame] = w.rec.time_s;
    if (w.pictures) write_pictures(w);
    if (w.flow_frame >= 0 && (w.flow_due || opt_.save_flow)) write_flow_outputs(w);
    if (video_ && w.flow_frame >= 0 && !w.flow_input.empty()) {
        const auto t = source_time_of(w.flow_frame);
        video_->write(side_by_side_picture(w.flow_input, w.flow.u, w.flow.v, w.flow.valid,
                                           max_speed_,
                                           "frame " + std::to_string(w.flow_frame) + t));
    }
    records_.push_back(w.rec);
    progress_->update(static_cast<int64_t>(records_.size()));
}

void Run::run_frames() {
    started_ = Clock::now();
    std::vector<std::function<void(FrameWork&)>> transforms{
        [this](FrameWork& w) { component_stage(w); }};
    if (tracker_) transforms.emplace_back([this](FrameWork& w) { flow_stage(w); });
    if (aligner_) transforms.emplace_back([this](FrameWork& w) { align_stage(w); });
    Pipeline<FrameWork>([this](FrameWork& w) { return produce(w); }, transforms,
                        [this](FrameWork& w) { write_stage(w); })
        .run(opt_.threads == 1 ? 1 : 3, kQueueCapacity);
}

// The run's files (frames.csv, the report, summary.json) committed into the output folder, the
// results printed, and the exit status.
int Run::finish() {
    const int64_t count = static_cast<int64_t>(records_.size());
    if (count == 0 && interrupted_) throw Interrupted();
    if (count == 0) {
        throw FlowError(
            source_->description() + " yielded no frame" +
            (opt_.start > 0 ? " after --start " + std::to_string(opt_.start) : std::string()));
    }
    if (count == 1 && !interrupted_) {
        // Motion is a change between frames: one frame measures nothing, and a run that says
        // so with exit status 0 would pass for a measurement.
        throw FlowError(source_->description() + " gave a single frame" +
                        (opt_.start > 0 ? " after --start " + std::to_string(opt_.start)
                                        : std::string()) +
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
    const double elapsed = std::chrono::duration<double>(Clock::now() - started_).count();
    progress_->finish(count);
    if (!source_->damage().empty()) {
        // Shown even with --quiet: the results cover less of the input than asked for.
        Progress::close_open_line();
        std::fprintf(stderr, "orvane-flow: warning: %s is damaged: %s; %s\n",
                     source_->description().c_str(), source_->damage().c_str(),
                     damage_consequence(source_->ended_at_damage(), count).c_str());
    }

    if (stabilizer_) render_stabilized(count);
    // A stabilised video that was not rendered (Ctrl-C) is neither left half-written nor
    // listed among the outputs.
    if (stabilizer_ && !stabilized_) stabilizer_->discard();
    write_text_file(stage_->path_for("frames.csv"), frames_csv(records_));
    write_report(elapsed, component_seconds_);
    // Named first, so that the summary lists itself among the outputs.
    const std::string summary_path = stage_->path_for("summary.json");
    write_text_file(summary_path, summary_json(elapsed, component_seconds_));
    if (video_) video_->finish();
    stage_->commit();
    // The videos go in place once the results they belong to are.
    if (video_) video_->publish();
    if (stabilizer_) stabilizer_->publish();
    if (!opt_.quiet) print_results(elapsed);
    if (interrupted_) {
        error_("interrupted after " + std::to_string(records_.size()) +
               " frames; the results so far are in '" + opt_.out + "'");
        return kExitInterrupted;
    }
    return kExitOk;
}

int Run::execute() {
    if (const int refused = check_options(); refused != kExitOk) return refused;
    route_ffmpeg_log(opt_.verbose);
    // From here on Ctrl-C is caught: the run ends cleanly at the next frame boundary. A host
    // that runs the job in-process keeps its own handlers.
    std::optional<InterruptGuard> interrupts;
    if (catch_signals_) interrupts.emplace();
    open_input();
    prepare_measuring();
    skip_start();
    run_frames();
    return finish();
}

void Run::write_report(double elapsed, double component_seconds) {
    ReportContent r;
    r.input = source_->description();
    r.cx = 0.5 * (columns_ - 1), r.cy = 0.5 * (lines_ - 1);
    r.known = source_->known_motion();
    r.median = trimmed_mean_motion(estimates_);  // what the tool prints
    PathSeries path;
    if (stabilized_) {
        const StabilizeResult& st = *stabilized_;
        for (size_t f = 0; f < st.frame.size() && f < records_.size(); ++f) {
            path.frame.push_back(static_cast<double>(records_[f].frame));
            path.x.push_back(st.path_x[f]), path.y.push_back(st.path_y[f]);
            path.smooth_x.push_back(st.smooth_x[f]), path.smooth_y.push_back(st.smooth_y[f]);
        }
    }
    if (!estimates_.empty() || stabilized_) {
        r.motion_plot = "motion.png";
        write_png_rgb(stage_->path_for(r.motion_plot),
                      motion_plot(records_, r.cx, r.cy, r.known, stabilized_ ? &path : nullptr));
    }
    const auto& s = opt_.settings;
    r.settings = {{"computation mode", s.computation_mode},
                  {"time derivative", s.timederivative_mode},
                  {"input filter", std::to_string(s.input_filter)},
                  {"regularizer", json_number(s.regularizer)},
                  {"affine fit", opt_.robust_fit ? "robust" : "plain"},
                  {"dense flow method", opt_.method},
                  // The pairwise method has no window of its own.
                  {"dense flow window", pair_ ? "-" : window_text(opt_.window)},
                  {"threads", opt_.threads == 1 ? std::string("1")
                                                : std::to_string(pipeline_threads()) +
                                                      " (pipeline)"},
                  {"size", std::to_string(columns_) + " x " + std::to_string(lines_)},
                  {"flow colour scale", json_number(max_speed_) + " px/frame"}};
    r.records = records_;
    r.elapsed_s = elapsed;
    const double n = static_cast<double>(records_.size());
    r.throughput_fps = elapsed > 0 ? n / elapsed : NAN;
    r.component_fps = component_seconds > 0 ? n / component_seconds : NAN;
    r.damage = source_->damage();
    if (!r.damage.empty()) {
        r.damage_consequence = damage_consequence(source_->ended_at_damage(), records_.size());
    }
    r.interrupted = interrupted_;
    // A video is linked by its bare name when it sits beside the page, else by its absolute
    // path.
    auto link_to = [this](const std::string& file) {
        std::error_code ec;
        const auto video = std::filesystem::absolute(file, ec);
        return stage_->is_output_folder(video.parent_path().string())
                   ? video.filename().string()
                   : "file://" + video.string();
    };
    if (video_) r.video = link_to(opt_.video);
    if (stabilizer_) {
        const StabilizeOptions& so = opt_.stabilize;
        auto px = [](const ShakeRms& shake) {
            char text[64];
            std::snprintf(text, sizeof text, "%.3f / %.3f px RMS", shake.centre, shake.corners);
            return std::string(text);
        };
        auto& rows = r.stabilization;
        rows.emplace_back("camera path", so.tripod ? "tripod (constant velocity)"
                                                   : "Gaussian of " + json_number(so.smoothing_s) +
                                                         " s");
        if (!stabilized_) {
            rows.emplace_back("video", "not written (interrupted)");
        } else {
            const StabilizeResult& st = *stabilized_;
            r.stabilized_video = link_to(so.video);
            char zoom[48];
            std::snprintf(zoom, sizeof zoom, " (zoom %.4f%s)", st.zoom,
                          st.zoom_enough ? "" : ", capped");
            rows.emplace_back("borders", so.borders + (so.borders == "crop" ? zoom : ""));
            rows.emplace_back("frames", std::to_string(st.frames) +
                                            (st.unaligned ? " (" + std::to_string(st.unaligned) +
                                                                " steps not measured)"
                                                          : std::string()));
            rows.emplace_back("shake in the input (centre / corners)", px(st.shake));
            rows.emplace_back("shake left, measured on the output", px(st.residual));
            rows.emplace_back("sound", st.audio.empty() ? "none (the input is not a video)"
                                                        : st.audio);
            char speed[64];
            std::snprintf(speed, sizeof speed, "%.2f s (%.1f frames per CPU second)", st.wall_s,
                          st.cpu_s > 0 ? static_cast<double>(st.frames) / st.cpu_s : 0.0);
            rows.emplace_back("rendering, decoding and encoding", speed);
        }
    }
    // Newest pictures first: the last frame is what a reader looks at.
    r.pictures.assign(picture_names_.rbegin(), picture_names_.rend());
    const std::string chart = chart_js_path();
    if (!chart.empty()) {
        std::error_code ec;
        std::filesystem::copy_file(chart, stage_->path_for("chart.min.js"), ec);
        if (ec) throw FlowError("cannot copy '" + chart + "' beside the report: " + ec.message());
    } else {
        progress_->notice(
            "Chart.js is not installed (Debian package libjs-chart.js); "
            "report.html shows no interactive chart");
    }
    write_text_file(stage_->path_for("report.html"), report_html(r));
}

namespace {

// A number, or null where there is none (NaN, infinities).
nlohmann::ordered_json number(double value) {
    return std::isfinite(value) ? nlohmann::ordered_json(value) : nlohmann::ordered_json();
}

// An affine motion's six parameters and what they mean about the image centre (cx, cy).
nlohmann::ordered_json motion(const std::optional<AffineMotion>& m, double cx, double cy) {
    if (!m) return nullptr;
    nlohmann::ordered_json j;
    for (int i = 0; i < 6; ++i) j["a" + std::to_string(i + 1)] = number(m->a[i]);
    j["pan_x"] = number(m->pan_x(cx, cy));
    j["pan_y"] = number(m->pan_y(cx, cy));
    j["rotation"] = number(m->rotation());
    j["zoom"] = number(m->zoom());
    return j;
}

}  // namespace

// summary.json's "stabilization": null without --stabilize.
nlohmann::ordered_json Run::stabilization_json() const {
    using nlohmann::ordered_json;
    if (!stabilizer_) return nullptr;
    const StabilizeOptions& so = opt_.stabilize;
    ordered_json j;
    j["video"] = so.video;
    j["written"] = stabilized_.has_value();
    j["path"] = so.tripod ? "tripod" : "gaussian";
    j["smoothing_s"] = so.tripod ? ordered_json() : number(so.smoothing_s);
    j["borders"] = so.borders;
    if (!stabilized_) return j;
    const StabilizeResult& st = *stabilized_;
    auto shake = [](const ShakeRms& s) {
        return ordered_json{{"centre", number(s.centre)}, {"corners", number(s.corners)}};
    };
    j["zoom"] = number(st.zoom);
    j["zoom_enough"] = st.zoom_enough;
    j["frames"] = st.frames;
    j["frames_unaligned"] = st.unaligned;
    // The RMS over the frames of how far the warps moved the content: the shake that was in
    // the input, and the shake left in the output (registered again, its path against its own
    // smoothed path) [px].
    j["shake_px"] = shake(st.shake);
    j["residual_shake_px"] = shake(st.residual);
    j["audio"] = st.audio.empty() ? ordered_json() : ordered_json(st.audio);
    j["encoder"] = stabilizer_->encoder();
    j["measure"] = {{"wall_s", number(align_time_.wall_s)}, {"cpu_s", number(align_time_.cpu_s)}};
    j["render"] = {{"wall_s", number(st.wall_s)}, {"cpu_s", number(st.cpu_s)}};
    return j;
}

std::string Run::summary_json(double elapsed, double component_seconds) const {
    using nlohmann::ordered_json;
    const double cx = 0.5 * (columns_ - 1), cy = 0.5 * (lines_ - 1);
    const auto& s = opt_.settings;
    const double n = static_cast<double>(records_.size());
    ordered_json j;
    j["tool"] = "orvane-flow";
    j["input"] = !opt_.images.empty() ? opt_.images.front()
                 : opt_.input.empty() ? std::string("default")
                                      : opt_.input;
    j["input_description"] = source_->description();
    j["geometry"] = {{"columns", columns_},
                     {"lines", lines_},
                     {"input_columns", source_->columns()},
                     {"cropped", columns_ != source_->columns()}};
    j["settings"] = {{"computation_mode", s.computation_mode},
                     {"timederivative_mode", s.timederivative_mode},
                     {"input_filter", s.input_filter},
                     {"regularizer", number(s.regularizer)}};
    j["frames"] = {{"processed", records_.size()},  {"first", records_.front().frame},
                   {"last", records_.back().frame}, {"start", opt_.start},
                   {"every", opt_.every},           {"affine_estimates", estimates_.size()}};
    j["interrupted"] = interrupted_;
    const std::string damage = source_->damage();
    j["input_damaged"] = !damage.empty();
    j["input_damage"] = damage.empty() ? ordered_json() : ordered_json(damage);
    j["elapsed_s"] = number(elapsed);
    j["throughput_fps"] = number(elapsed > 0 ? n / elapsed : NAN);
    j["component_fps"] = number(component_seconds > 0 ? n / component_seconds : NAN);
    StageTime measure = component_time_;
    measure.wall_s += flow_time_.wall_s, measure.cpu_s += flow_time_.cpu_s;
    const std::pair<const char*, StageTime> stages[] = {{"decode", decode_time_},
                                                        {"measure", measure},
                                                        {"write", write_time_},
                                                        {"component", component_time_},
                                                        {"flow", flow_time_},
                                                        {"align", align_time_}};
    ordered_json& times = j["stages"] = ordered_json::object();
    for (const auto& [name, t] : stages) {
        times[name] = {{"wall_s", number(t.wall_s)}, {"cpu_s", number(t.cpu_s)}};
    }
    j["video"] = video_ ? ordered_json(opt_.video) : ordered_json();
    j["stabilization"] = stabilization_json();
    j["threads"] = opt_.threads == 1 ? 1 : pipeline_threads();
    j["change_threshold"] = number(opt_.change_threshold);
    j["median_affine_motion"] = motion(median_motion(estimates_), cx, cy);
    j["mean_affine_motion"] = motion(trimmed_mean_motion(estimates_), cx, cy);
    j["known_affine_motion"] = motion(source_->known_motion(), cx, cy);
    j["outputs"] = stage_->names();
    // Text that is not UTF-8 (a file name, say) is written with U+FFFD in place of the bad bytes.
    return j.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

void Run::print_results(double elapsed) const {
    const size_t n = records_.size();
    std::printf("orvane-flow: %zu frames of %s (%dx%d) in %.2f s, %.1f frames/s\n", n,
                source_->description().c_str(), columns_, lines_, elapsed,
                elapsed > 0 ? static_cast<double>(n) / elapsed : 0.0);
    std::printf("Pictures and numbers are in %s/ (%d pictures, frames.csv, summary.json)\n",
                opt_.out.c_str(), static_cast<int>(picture_names_.size()));
    if (stabilized_) {
        char how[48];
        if (opt_.stabilize.borders == "crop")
            std::snprintf(how, sizeof how, "zoom %.3f", stabilized_->zoom);
        else
            std::snprintf(how, sizeof how, "%s borders", opt_.stabilize.borders.c_str());
        std::printf("Stabilised video: %s (%s; shake at the corners %.2f px RMS, %.3f px left)\n",
                    opt_.stabilize.video.c_str(), how, stabilized_->shake.corners,
                    stabilized_->residual.corners);
    }
    if (!tracker_ && !is_affine_mode(mode_)) return;
    // The trimmed mean: per-frame estimates of slow motions swing with the content's
    // sub-pixel phase, and their median leans to one side of the swing.
    const auto median = trimmed_mean_motion(estimates_);
    if (!median) {
        std::printf(
            "No global motion could be estimated (too few frames or too little texture).\n");
        return;
    }
    const auto known = source_->known_motion();
    const double cx = 0.5 * (columns_ - 1), cy = 0.5 * (lines_ - 1);
    std::printf(
        "\nGlobal affine motion, trimmed mean of %zu frames (u = a1 + a2 x + a3 y, v = a4 + a5 x + "
        "a6 y,\n"
        "x right and y down from the top-left pixel; pixels per frame):\n",
        estimates_.size());
    std::printf("  %-26s %12s%s\n", "", "recovered", known ? "        known" : "");
    auto row = [&](const char* label, double got, double want, double scale) {
        if (known)
            std::printf("  %-26s %12.5f %12.5f\n", label, got * scale, want * scale);
        else
            std::printf("  %-26s %12.5f\n", label, got * scale);
    };
    const AffineMotion k = known ? *known : AffineMotion{};
    row("pan x at the centre", median->pan_x(cx, cy), k.pan_x(cx, cy), 1.0);
    row("pan y at the centre", median->pan_y(cx, cy), k.pan_y(cx, cy), 1.0);
    row("rotation [mrad, clockwise]", median->rotation(), k.rotation(), 1000.0);
    row("zoom [1/1000]", median->zoom(), k.zoom(), 1000.0);
    static const char* names[6] = {"a1", "a2", "a3", "a4", "a5", "a6"};
    for (int i = 0; i < 6; ++i) row(names[i], median->a[i], k.a[i], 1.0);
}

int run_with(const RunOptions& options, ErrorSink error, bool catch_signals) {
    // Everything the run created is owned by Run, so an exception unwinds it: the output
    // stage removes its staging folder and nothing half-written is left.
    try {
        Run run(options, error, catch_signals);
        return run.execute();
    } catch (const Interrupted& e) {
        Progress::close_open_line();
        error(e.what());
        return kExitInterrupted;
    } catch (const UsageError& e) {
        error(e.what());
        return kExitUsage;
    } catch (const std::runtime_error& e) {
        // FlowError and ComponentError: the text is the whole message.
        Progress::close_open_line();
        error(e.what());
        return kExitFailed;
    } catch (const std::bad_alloc&) {
        Progress::close_open_line();
        error("out of memory");
        return kExitFailed;
    }
}

}  // namespace

int run_flow(const RunOptions& options) {
    if (options.engine_threads > 0) {
        engine_set_threads(options.engine_threads);
    } else if (options.threads != 1 && !std::getenv("ORVANE_THREADS") &&
               std::thread::hardware_concurrency() >= 2) {
        // The measuring stages wait on the component's frames (the tool's own and the
        // tracker's): split over two threads, they leave the pipeline less to wait on.
        engine_set_threads(2);
    }
    return run_with(options, ErrorSink{}, true);
}

int run_flow_in_process(const RunOptions& options, std::string& message) {
    message.clear();
    // The engine's thread count is the host's process-wide setting: changed for this run
    // only (the results are the same for any count).
    struct EngineThreads {
        int32_t before = engine_threads();
        explicit EngineThreads(int n) {
            if (n > 0 && n <= 64) engine_set_threads(n);
        }
        ~EngineThreads() { engine_set_threads(before); }
    } engine(options.engine_threads);
    return run_with(options, ErrorSink{&message}, false);
}
