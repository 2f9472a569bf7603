// The pipeline's stages of a run: decoding, the component, the tracker or the pairwise flow,
// the registration, and writing; each handles one frame at a time, in order.
#include <chrono>
#include <cmath>
#include <cstdio>

#include "analysis/width.hpp"
#include "flow/frame_measures.hpp"
#include "flow/job_run.hpp"
#include "flow/pictures.hpp"

// The next input frame into w; false at the end of the input, of --frames, or on a cancel.
bool FlowJob::read_frame(FrameInWork& w) {
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
bool FlowJob::produce(FrameInWork& out) {
    const StageTimer timer(decode_time_);
    if (!held_) {
        FrameInWork first;
        if (!read_frame(first)) return false;
        held_ = std::move(first);
    }
    FrameInWork next;
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
void FlowJob::measure(FrameInWork& w) {
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

void FlowJob::take_flow(FrameInWork& w, const DenseFlow& flow,
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
void FlowJob::take_flow_outputs(FrameInWork& w) {
    w.flow_due =
        folder_ && w.img.flow && ((w.img.flow_frame - opt_.start + 1) % opt_.every == 0 || w.last);
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
void FlowJob::component_stage(FrameInWork& w) {
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
void FlowJob::flow_stage(FrameInWork& w) {
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
void FlowJob::measure_pair(FrameInWork& w) {
    // The global motion of short clips, which the compensated frames never reach.
    if (const auto pair = pair_->measure(w.whole, estimates_.empty())) {
        const int64_t frame = w.rec.frame - 1;
        const DenseFlow& flow = pair_->flow();
        w.img.flow = &flow;
        w.img.flow_frame = frame;
        // The frame the flow describes is handed over below, not copied.
        w.img.flow_input = nullptr;
        w.rec.flow_frame = frame;
        if (max_speed_ == 0) max_speed_ = picture_scale(pair->fast);
        w.rec.beyond_range = pair->beyond;
        if (pair->beyond) note_beyond(frame);
        if (pair->affine) pair_affines_.emplace_back(frame, *pair->affine);
        w.rec.valid_share = flow.valid_share();
        w.rec.median_speed = flow.median_speed();
        take_flow_outputs(w);
    }
    GreyImage before = pair_->advance(std::move(w.whole));
    w.whole = GreyImage();
    // Where the writer takes this step's flow, it takes the frame the flow describes too.
    if (w.flow_frame >= 0 && w.flow_frame == w.rec.frame - 1) w.flow_input = std::move(before);
}

// --method align and --stabilize: each frame registered onto the one before, on a thread of
// its own. The method's global motion is the step from the frame before to this one, which
// describes the frame before (as the pairwise flow does).
void FlowJob::align_stage(FrameInWork& w) {
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
void FlowJob::write_stage(FrameInWork& w) {
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
