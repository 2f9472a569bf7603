// summary.json: the whole run in numbers, for programs (orvane.batch, scripts).
#include <cmath>
#include <nlohmann/json.hpp>

#include "flow/flow_job.hpp"

namespace {

using nlohmann::ordered_json;

// A number, or null where there is none (NaN, infinities).
ordered_json number(double value) {
    return std::isfinite(value) ? ordered_json(value) : ordered_json();
}

// An affine motion's six parameters and what they mean about the image centre (cx, cy).
ordered_json motion(const std::optional<AffineMotion>& m, double cx, double cy) {
    if (!m) return nullptr;
    ordered_json j;
    for (int i = 0; i < 6; ++i) j["a" + std::to_string(i + 1)] = number(m->a[i]);
    j["pan_x"] = number(m->pan_x(cx, cy));
    j["pan_y"] = number(m->pan_y(cx, cy));
    j["rotation"] = number(m->rotation());
    j["zoom"] = number(m->zoom());
    return j;
}

ordered_json stage(const StageTime& t) {
    return {{"wall_s", number(t.wall_s)}, {"cpu_s", number(t.cpu_s)}};
}

// "stabilization": null without --stabilize.
ordered_json stabilization(const JobResult& r) {
    const StabilizeOptions& so = r.options.stabilize;
    if (so.video.empty()) return nullptr;
    ordered_json j;
    j["video"] = so.video;
    j["written"] = r.stabilized.has_value();
    j["path"] = so.tripod ? "tripod" : "gaussian";
    j["smoothing_s"] = so.tripod ? ordered_json() : number(so.smoothing_s);
    j["borders"] = so.borders;
    if (!r.stabilized) return j;
    const StabilizeResult& st = *r.stabilized;
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
    j["encoder"] = r.stabilize_encoder;
    j["measure"] = stage(r.align);
    j["render"] = {{"wall_s", number(st.wall_s)}, {"cpu_s", number(st.cpu_s)}};
    return j;
}

}  // namespace

std::string summary_json(const JobResult& r) {
    const RunOptions& o = r.options;
    const ComponentSettings& s = o.settings;
    const double n = static_cast<double>(r.records.size());
    ordered_json j;
    j["tool"] = "orvane-flow";
    j["input"] = !o.images.empty() ? o.images.front()
                 : o.input.empty() ? std::string("default")
                                   : o.input;
    j["input_description"] = r.input_description;
    j["geometry"] = {{"columns", r.columns},
                     {"lines", r.lines},
                     {"input_columns", r.input_columns},
                     {"cropped", r.columns != r.input_columns}};
    j["settings"] = {{"computation_mode", s.computation_mode},
                     {"timederivative_mode", s.timederivative_mode},
                     {"input_filter", s.input_filter},
                     {"regularizer", number(s.regularizer)}};
    j["frames"] = {{"processed", r.records.size()},
                   {"first", r.records.front().frame},
                   {"last", r.records.back().frame},
                   {"start", o.start},
                   {"every", o.every},
                   {"affine_estimates", r.estimates.size()}};
    j["interrupted"] = r.interrupted;
    j["input_damaged"] = !r.damage.empty();
    j["input_damage"] = r.damage.empty() ? ordered_json() : ordered_json(r.damage);
    j["elapsed_s"] = number(r.elapsed_s);
    j["throughput_fps"] = number(r.elapsed_s > 0 ? n / r.elapsed_s : NAN);
    j["component_fps"] = number(r.component_s > 0 ? n / r.component_s : NAN);
    // "measure" is the component's and the flow's together.
    StageTime measure = r.component;
    measure += r.flow;
    const std::pair<const char*, StageTime> stages[] = {
        {"decode", r.decode},       {"measure", measure}, {"write", r.write},
        {"component", r.component}, {"flow", r.flow},     {"align", r.align}};
    ordered_json& times = j["stages"] = ordered_json::object();
    for (const auto& [name, t] : stages) times[name] = stage(t);
    j["video"] = o.video.empty() ? ordered_json() : ordered_json(o.video);
    j["stabilization"] = stabilization(r);
    j["threads"] = r.threads;
    j["change_threshold"] = number(o.change_threshold);
    j["median_affine_motion"] = motion(median_motion(r.estimates), r.cx(), r.cy());
    j["mean_affine_motion"] = motion(trimmed_mean_motion(r.estimates), r.cx(), r.cy());
    j["known_affine_motion"] = motion(r.known, r.cx(), r.cy());
    j["outputs"] = r.outputs;
    // Text that is not UTF-8 (a file name, say) is written with U+FFFD in place of the bad bytes.
    return j.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}
