// OutputStage: all-or-nothing output of one run into a folder.
//
// Every file of the run is written into a hidden staging folder inside the output folder
// (same file system, so the final move is a rename). commit() moves them to their names in
// the output folder; a stage that is destroyed without commit() removes the staging folder and
// everything in it, and the output folder too when this run created it and it is left empty.
// A failed or interrupted run therefore leaves no half-written file behind, and the files of
// an earlier run stay as they were.
//
// A folder that already holds results is refused unless `replace` is set; then commit() first
// moves the earlier entries into a hidden backup folder, moves the new files in, and only then
// deletes the backup. When any move fails, everything moved so far goes back: the folder holds
// exactly the earlier results again. The run loop owns one stage.
#pragma once

#include <string>
#include <vector>

class OutputStage {
  public:
    // Creates the output folder (and its parents) when missing; throws FlowError when it
    // cannot be used, UsageError when it holds results and `replace` is not set.
    OutputStage(const std::string& folder, bool replace);
    ~OutputStage();
    OutputStage(const OutputStage&) = delete;
    OutputStage& operator=(const OutputStage&) = delete;

    // Where to write the file that will be called `name` in the output folder.
    std::string path_for(const std::string& name);
    // Puts the staged files in place of the folder's earlier entries (see above); throws
    // FlowError naming the cause when that fails, with the earlier entries restored.
    void commit();
    // Removes everything this run created.
    void abandon();

    const std::string& folder() const { return folder_; }
    const std::vector<std::string>& names() const { return names_; }

    // Test hook: the n-th rename of the next commit (counted from 1) fails as if the system
    // had refused it; 0 turns it off.
    static void fail_rename_for_tests(int n);

  private:
    std::string folder_;
    std::string staging_;
    std::string backup_;
    std::vector<std::string> names_;
    bool replace_ = false;
    bool created_folder_ = false;
    bool done_ = false;
};
