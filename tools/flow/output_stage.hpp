// OutputStage: all-or-nothing output of one run into a folder.
//
// Every file of the run is written into a hidden staging folder inside the output folder
// (same file system, so the final move is a rename). commit() moves them to their names in
// the output folder; a stage that is destroyed without commit() removes the staging folder and
// everything in it, and the output folder too when this run created it and it is left empty.
// A failed or interrupted run therefore leaves no half-written file behind, and the files of
// an earlier run stay as they were. The run loop owns one stage.
#pragma once

#include <string>
#include <vector>

class OutputStage {
  public:
    // Creates the output folder (and its parents) when missing; throws FlowError when it
    // cannot be used.
    explicit OutputStage(const std::string& folder);
    ~OutputStage();
    OutputStage(const OutputStage&) = delete;
    OutputStage& operator=(const OutputStage&) = delete;

    // Where to write the file that will be called `name` in the output folder.
    std::string path_for(const std::string& name);
    // Moves every staged file to its final name; on failure removes the ones already moved
    // and throws FlowError.
    void commit();
    // Removes everything this run created.
    void abandon();

    const std::string& folder() const { return folder_; }
    const std::vector<std::string>& names() const { return names_; }

  private:
    std::string folder_;
    std::string staging_;
    std::vector<std::string> names_;
    bool created_folder_ = false;
    bool done_ = false;
};
