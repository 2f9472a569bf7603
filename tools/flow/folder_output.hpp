// FolderOutput: what a run writes into its output folder, all-or-nothing through one
// OutputStage: the pictures and flow files of the frames as they come (from the job's writing
// stage), then frames.csv, motion.png, report.html and summary.json from the result, and the
// commit. The job owns one when the run has an output folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "flow/flow_job.hpp"
#include "flow/frame_in_work.hpp"
#include "flow/output_stage.hpp"
#include "flow/progress.hpp"

class FolderOutput {
  public:
    // Judges the output folder (see OutputStage): throws FlowError when it cannot be used,
    // naming the settings as `spelling` does.
    FolderOutput(const RunOptions& options, Spelling spelling);

    // The pictures of a picture frame (Is, It2, the --save images), and the files of the flow
    // it carries; `max_speed` [px/frame] is the flow pictures' full colour.
    void write_frame(const FrameInWork& w, double max_speed);
    // frames.csv, motion.png, report.html (with chart.min.js beside it) and summary.json;
    // fills the result's outputs and pictures. `progress` takes the notices.
    void write_results(JobResult& result, Progress& progress);
    // Puts the files in place (see OutputStage::commit).
    void commit() { stage_.commit(); }

  private:
    void write_flow_files(const FrameInWork& w, double max_speed);
    void write_report(const JobResult& result, Progress& progress);
    // Staged path of a picture, which the report shows.
    std::string picture_path(const std::string& name);
    // A video as the report links it: by its bare name beside the page, else by its path.
    std::string link_to(const std::string& file) const;

    const RunOptions& options_;
    OutputStage stage_;
    std::vector<std::string> picture_names_;
};
