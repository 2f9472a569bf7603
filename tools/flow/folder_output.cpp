#include "flow/folder_output.hpp"

#include <cstdio>
#include <filesystem>

#include "flow/frame_measures.hpp"
#include "flow/image_io.hpp"
#include "flow/motion_plot.hpp"
#include "flow/pictures.hpp"
#include "flow/report_html.hpp"

namespace {

OutputStage::SettingNames setting_names(Spelling spelling) {
    if (spelling == Spelling::command_line) return {};
    return {"out", "force=True"};
}

}  // namespace

FolderOutput::FolderOutput(const RunOptions& options, Spelling spelling)
    : options_(options), stage_(options.out, options.force, setting_names(spelling)) {}

std::string FolderOutput::picture_path(const std::string& name) {
    picture_names_.push_back(name);
    return stage_.path_for(name);
}

void FolderOutput::write_frame(const FrameInWork& w, double max_speed) {
    if (w.pictures) {
        const int64_t frame = w.rec.frame;
        write_png_grey(picture_path(frame_name("Is", frame, "png")), w.Is);
        if (mode_computes(options_.settings.computation_mode, ResultImage::It2)) {
            write_png_rgb(picture_path(frame_name("It2", frame, "png")), heat_picture(w.img.It2));
        }
        for (const auto& [which, image] : w.saved) {
            write_npy(stage_.path_for(frame_name(result_image_name(which), frame, "npy")), image);
        }
    }
    if (w.flow_frame >= 0 && (w.flow_due || options_.save_flow)) write_flow_files(w, max_speed);
}

// The pictures and files of one dense flow, named by the frame it describes.
void FolderOutput::write_flow_files(const FrameInWork& w, double max_speed) {
    const DenseFlow& f = w.flow;
    const int64_t frame = w.flow_frame;
    if (w.flow_due) {
        write_png_rgb(picture_path(frame_name("flow", frame, "png")),
                      flow_picture(f.u, f.v, f.valid, max_speed));
        if (!w.confidence.empty()) {
            GreyImage shown(w.confidence.columns, w.confidence.lines);
            for (size_t i = 0; i < shown.data.size(); ++i) {
                shown.data[i] = 255.0f * w.confidence.data[i];
            }
            write_png_grey(picture_path(frame_name("confidence", frame, "png")), shown);
        }
        if (options_.arrows && !w.flow_input.empty()) {
            write_png_rgb(picture_path(frame_name("arrows", frame, "png")),
                          arrow_picture(w.flow_input, f.u, f.v, f.valid, max_speed));
        }
    }
    if (!options_.save_flow) return;
    if (!w.confidence.empty()) {
        write_npy(stage_.path_for(frame_name("confidence", frame, "npy")), w.confidence);
    }
    write_flo(stage_.path_for(frame_name("flow", frame, "flo")), f.u, f.v, f.valid);
    write_npy_flow(stage_.path_for(frame_name("flow", frame, "npy")), f.u, f.v, f.valid);
    GreyImage mask(f.columns(), f.lines());
    for (size_t i = 0; i < f.valid.size(); ++i) mask.data[i] = f.valid[i] ? 255.0f : 0.0f;
    write_png_grey(stage_.path_for(frame_name("valid", frame, "png")), mask);
}

void FolderOutput::write_results(JobResult& result, Progress& progress) {
    write_text_file(stage_.path_for("frames.csv"), frames_csv(result.records));
    write_report(result, progress);
    // Named first, so that the summary lists itself among the outputs.
    const std::string summary_path = stage_.path_for("summary.json");
    result.outputs = stage_.names();
    result.pictures = picture_names_.size();
    write_text_file(summary_path, summary_json(result));
}

std::string FolderOutput::link_to(const std::string& file) const {
    std::error_code ec;
    const auto video = std::filesystem::absolute(file, ec);
    return stage_.is_output_folder(video.parent_path().string()) ? video.filename().string()
                                                                 : "file://" + video.string();
}

namespace {

// The report's rows about the stabilised video.
std::vector<std::pair<std::string, std::string>> stabilization_rows(const JobResult& result) {
    const StabilizeOptions& so = result.options.stabilize;
    auto px = [](const ShakeRms& shake) {
        char text[64];
        std::snprintf(text, sizeof text, "%.3f / %.3f px RMS", shake.centre, shake.corners);
        return std::string(text);
    };
    std::vector<std::pair<std::string, std::string>> rows;
    rows.emplace_back("camera path", so.tripod
                                         ? "tripod (constant velocity)"
                                         : "Gaussian of " + json_number(so.smoothing_s) + " s");
    if (!result.stabilized) {
        rows.emplace_back("video", "not written (interrupted)");
        return rows;
    }
    const StabilizeResult& st = *result.stabilized;
    char zoom[48];
    std::snprintf(zoom, sizeof zoom, " (zoom %.4f%s)", st.zoom, st.zoom_enough ? "" : ", capped");
    rows.emplace_back("borders", so.borders + (so.borders == "crop" ? zoom : ""));
    rows.emplace_back(
        "frames", std::to_string(st.frames) +
                      (st.unaligned ? " (" + std::to_string(st.unaligned) + " steps not measured)"
                                    : std::string()));
    rows.emplace_back("shake in the input (centre / corners)", px(st.shake));
    rows.emplace_back("shake left, measured on the output", px(st.residual));
    rows.emplace_back("sound", st.audio.empty() ? "none (the input is not a video)" : st.audio);
    char speed[64];
    std::snprintf(speed, sizeof speed, "%.2f s (%.1f frames per CPU second)", st.wall_s,
                  st.cpu_s > 0 ? static_cast<double>(st.frames) / st.cpu_s : 0.0);
    rows.emplace_back("rendering, decoding and encoding", speed);
    return rows;
}

}  // namespace

void FolderOutput::write_report(const JobResult& result, Progress& progress) {
    const RunOptions& o = result.options;
    ReportContent r;
    r.input = result.input_description;
    r.cx = result.cx(), r.cy = result.cy();
    r.known = result.known;
    r.median = trimmed_mean_motion(result.estimates);  // what the tool prints
    PathSeries path;
    if (result.stabilized) {
        const StabilizeResult& st = *result.stabilized;
        for (size_t f = 0; f < st.frame.size() && f < result.records.size(); ++f) {
            path.frame.push_back(static_cast<double>(result.records[f].frame));
            path.x.push_back(st.path_x[f]), path.y.push_back(st.path_y[f]);
            path.smooth_x.push_back(st.smooth_x[f]), path.smooth_y.push_back(st.smooth_y[f]);
        }
    }
    if (!result.estimates.empty() || result.stabilized) {
        r.motion_plot = "motion.png";
        write_png_rgb(
            stage_.path_for(r.motion_plot),
            motion_plot(result.records, r.cx, r.cy, r.known, result.stabilized ? &path : nullptr));
    }
    const ComponentSettings& s = o.settings;
    r.settings = {{"computation mode", s.computation_mode},
                  {"time derivative", s.timederivative_mode},
                  {"input filter", std::to_string(s.input_filter)},
                  {"regularizer", json_number(s.regularizer)},
                  {"affine fit", o.robust_fit ? "robust" : "plain"},
                  {"dense flow method", method_name(o.method)},
                  // The pairwise method has no window of its own.
                  {"dense flow window", o.method == Method::pairwise ? "-" : window_text(o.window)},
                  {"threads", o.threads == 1 ? std::string("1")
                                             : std::to_string(result.threads) + " (pipeline)"},
                  {"size", std::to_string(result.columns) + " x " + std::to_string(result.lines)},
                  {"flow colour scale", json_number(result.max_speed) + " px/frame"}};
    r.records = result.records;
    r.elapsed_s = result.elapsed_s;
    const double n = static_cast<double>(result.records.size());
    r.throughput_fps = result.elapsed_s > 0 ? n / result.elapsed_s : NAN;
    r.component_fps = result.component_s > 0 ? n / result.component_s : NAN;
    r.damage = result.damage;
    if (!r.damage.empty()) {
        r.damage_consequence = damage_consequence(result.ended_at_damage, result.records.size());
    }
    r.interrupted = result.interrupted;
    if (!o.video.empty()) r.video = link_to(o.video);
    if (!o.stabilize.video.empty()) {
        r.stabilization = stabilization_rows(result);
        if (result.stabilized) r.stabilized_video = link_to(o.stabilize.video);
    }
    // Newest pictures first: the last frame is what a reader looks at.
    r.pictures.assign(picture_names_.rbegin(), picture_names_.rend());
    const std::string chart = chart_js_path();
    if (!chart.empty()) {
        std::error_code ec;
        std::filesystem::copy_file(chart, stage_.path_for("chart.min.js"), ec);
        if (ec) throw FlowError("cannot copy '" + chart + "' beside the report: " + ec.message());
    } else {
        progress.notice(
            "Chart.js is not installed (Debian package libjs-chart.js); "
            "report.html shows no interactive chart");
    }
    write_text_file(stage_.path_for("report.html"), report_html(r));
}
