// The checks of a run's options that need no input: the option table's rules, then the
// settings together.
#include <string>
#include <utility>

#include "flow/flow_job.hpp"
#include "flow/options.hpp"

void apply_component_settings(ComponentSession& session, const ComponentSettings& settings,
                              Spelling spelling) {
    const std::string names[] = {
        spelled("computation_mode", spelling), spelled("timederivative_mode", spelling),
        spelled("input_filter", spelling), spelled("regularizer", spelling)};
    const ComponentSession::SettingNames spelled_as{names[0].c_str(), names[1].c_str(),
                                                    names[2].c_str(), names[3].c_str()};
    try {
        session.apply(settings, spelled_as);
    } catch (const ComponentError& e) {
        throw UsageError(e.what());
    }
}

// Each option and value judged before any input is read or any file is made.
void check_job_options(const RunOptions& opt, Spelling spelling) {
    // Every value by the rules of the option table, the same the command line and the Python
    // module apply (a host that fills the options itself gets the same answers).
    if (const std::string refused = check_run_options(opt, spelling); !refused.empty()) {
        throw UsageError(refused);
    }
    auto setting = [spelling](const char* name) { return spelled(name, spelling); };
    ComponentSession session;
    apply_component_settings(session, opt.settings, spelling);
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
