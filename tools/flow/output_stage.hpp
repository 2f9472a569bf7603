// OutputStage: all-or-nothing output of one run into a folder.
//
// Every file of the run is written into a staging folder of its own, whose name is unique per
// run (host, process id and a serial number), so that two runs into one folder, in one process
// or in several, never write into or delete each other's files. commit() then puts the files
// in place at once:
//
// - Normally the staging folder is built beside the output folder and the commit is one
//   rename: a new output folder is the staging folder renamed, an earlier one is exchanged
//   with it in one step and then deleted. A reader sees the earlier results or the new ones,
//   never a mix, and a run killed at any point leaves one or the other.
// - An output folder that cannot be exchanged (a mount point, the working folder, or one in a
//   parent that is not writable) gets the staging folder inside it. The commit first notes
//   which files are new in a backup folder, moves the earlier results into it and the new
//   files in, and ends by removing the emptied staging folder; a commit that stops before that
//   last step is undone (by the run itself, or after a kill by the next run).
//
// A run that fails removes its staging folder and the parents of the output folder that it
// created; the earlier results stay as they were. A killed run cannot: every later run into
// the folder, or beside it, removes what killed runs left there and rolls back a half-done
// commit. It knows them by their names and touches only those of processes on this host that
// no longer exist.
//
// Only files that an earlier run of the tool wrote (the outputs its summary.json lists) are
// ever replaced: a folder that holds anything else is refused, with `replace` or without, and
// one that holds earlier results is refused unless `replace` is set. A commit that finds the
// output folder changed since the run began (another run committed into it, say) fails and
// leaves the folder as it finds it. The job's folder output owns one.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

// "HOST-PID-SERIAL": a part of a file name unique to the calling run among the runs of every
// host that shares a file system (HOST without dashes).
std::string new_run_id();
// Whether the run named by `id` (as made by new_run_id) ran on this host and its process has
// ended: what it left may be cleaned up. False for anything else.
bool run_has_ended(const std::string& id);
// The run id that `text` starts with, followed by `rest` (empty when it does not start with one).
std::string run_id_at(const std::string& text, std::string* rest);

class OutputStage {
  public:
    // How messages name the folder's and the replacing's settings: the command line's flags,
    // or a host's own names.
    struct SettingNames {
        std::string folder = "--out";
        std::string replace = "--force";  // as the caller turns it on
    };
    // Cleans up after killed runs, then judges the output folder: throws FlowError when it
    // cannot be used, holds files that are not results of the tool, or holds earlier results
    // and `replace` is not set. Parents of a missing output folder are created.
    OutputStage(const std::string& folder, bool replace, const SettingNames& names);
    OutputStage(const std::string& folder, bool replace)
        : OutputStage(folder, replace, SettingNames{}) {}
    ~OutputStage();
    OutputStage(const OutputStage&) = delete;
    OutputStage& operator=(const OutputStage&) = delete;

    // Where to write the file that will be called `name` in the output folder.
    std::string path_for(const std::string& name);
    // The file `name` will not be written after all (a video that a Ctrl-C left unrendered):
    // it is no longer among names().
    void withdraw(const std::string& name);
    // Puts the staged files in place of the folder's earlier results (see above); throws
    // FlowError naming the cause when that fails, with the folder as it was.
    void commit();
    // Removes everything this run created.
    void abandon();

    const std::string& folder() const { return folder_; }
    const std::vector<std::string>& names() const { return names_; }
    // Whether `dir` is the output folder (links resolved; it need not exist yet).
    bool is_output_folder(const std::string& dir) const;

    // The stage that the calling thread created last and that is not yet committed or
    // abandoned, or null: a file that belongs in the output folder (a video the user placed
    // there) is staged through it.
    static OutputStage* current();

    // Test hooks for the next stages and commits made (all off by default).
    struct Testing {
        int fail_rename = 0;       // the n-th rename of a commit fails as if the system refused it
        int exit_before_step = 0;  // the process ends, as if killed, before a commit's n-th step
                                   // (a rename or a removal)
        bool inside = false;       // stage inside the output folder, as for one that cannot be
                                   // exchanged
        bool no_exchange = false;  // the file system cannot exchange two folders
    };
    static void set_testing(const Testing& testing);

  private:
    struct Entry {
        std::string name;
        ino_t ino;
        off_t size;
        long long mtime_ns;
        bool operator==(const Entry&) const = default;
        bool operator<(const Entry& o) const { return name < o.name; }
    };
    // What a folder held: its identity and its entries other than the stages of runs.
    struct Survey {
        bool exists = false;
        dev_t dev = 0;
        ino_t ino = 0;
        mode_t mode = 0;
        uid_t uid = 0;
        gid_t gid = 0;
        std::vector<Entry> results;
        std::vector<std::string> stages;  // staging and backup folders of runs
    };
    static Survey survey(const std::filesystem::path& folder);
    void judge_contents(const Survey& s) const;
    void commit_beside();
    void commit_inside();
    std::vector<std::string> written() const;
    [[noreturn]] void changed() const;

    std::string folder_;            // as given, for messages
    std::filesystem::path target_;  // absolute, links resolved
    std::filesystem::path staging_;
    std::string id_;       // host-pid-serial of this run
    bool inside_ = false;  // staging_ is inside target_
    bool replace_ = false;
    SettingNames setting_names_;
    Survey start_;                                // the output folder when the run began
    std::vector<std::filesystem::path> created_;  // parents made by this run, outermost first
    std::vector<std::string> names_;
    bool done_ = false;
};
