#include "flow/output_stage.hpp"

#include <unistd.h>

#include <filesystem>
#include <system_error>
#include <utility>

#include "flow/image_io.hpp"

namespace fs = std::filesystem;

namespace {

// Staging and backup folders of this and other runs; never counted as results.
constexpr const char* kOwnPrefix = ".orvane-flow-";

int g_fail_rename_at = 0;

bool is_own_folder(const fs::path& p) {
    return p.filename().string().rfind(kOwnPrefix, 0) == 0;
}

// The entries of an earlier run: everything but staging and backup folders.
std::vector<std::string> results_in(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (!is_own_folder(it->path())) names.push_back(it->path().filename().string());
    }
    if (ec) throw FlowError("cannot list the output folder '" + folder + "': " + ec.message());
    return names;
}

// Renames with the test hook's counter; `ec` carries the system's reason.
void move(const fs::path& from, const fs::path& to, int* count, std::error_code& ec) {
    if (g_fail_rename_at > 0 && ++*count == g_fail_rename_at) {
        ec = std::make_error_code(std::errc::io_error);
        return;
    }
    fs::rename(from, to, ec);
}

}  // namespace

void OutputStage::fail_rename_for_tests(int n) {
    g_fail_rename_at = n;
}

OutputStage::OutputStage(const std::string& folder, bool replace)
    : folder_(folder), replace_(replace) {
    std::error_code ec;
    if (fs::exists(folder, ec)) {
        if (!fs::is_directory(folder, ec)) {
            throw FlowError("the output path '" + folder + "' exists and is not a folder");
        }
        if (!replace && !results_in(folder).empty()) {
            throw UsageError("the output folder '" + folder +
                             "' holds earlier results; choose another --out or add --force to "
                             "replace them");
        }
    } else {
        created_folder_ = fs::create_directories(folder, ec);
        if (ec)
            throw FlowError("cannot create the output folder '" + folder + "': " + ec.message());
    }
    const std::string pid = std::to_string(::getpid());
    staging_ = (fs::path(folder) / (kOwnPrefix + pid + ".partial")).string();
    backup_ = (fs::path(folder) / (kOwnPrefix + pid + ".earlier")).string();
    fs::remove_all(staging_, ec);  // a leftover of a killed run with the same process id
    if (!fs::create_directory(staging_, ec) || ec) {
        const std::string why = ec ? ec.message() : "it already exists";
        if (created_folder_) fs::remove(folder_, ec);
        throw FlowError("cannot write into the output folder '" + folder + "': " + why);
    }
}

OutputStage::~OutputStage() {
    if (!done_) abandon();
}

std::string OutputStage::path_for(const std::string& name) {
    names_.push_back(name);
    return (fs::path(staging_) / name).string();
}

void OutputStage::commit() {
    const fs::path folder(folder_), staging(staging_), backup(backup_);
    int renames = 0;
    std::error_code ec;
    // Pairs (from, to) of every move made, undone in reverse order on failure.
    std::vector<std::pair<fs::path, fs::path>> done;
    auto undo_and_throw = [&](const std::string& what, const std::string& why) {
        std::error_code ignored;
        for (auto it = done.rbegin(); it != done.rend(); ++it) {
            fs::rename(it->second, it->first, ignored);
        }
        fs::remove(backup, ignored);  // empty again once everything went back
        abandon();
        throw FlowError(what + ": " + why + "; the folder keeps its earlier contents");
    };

    const std::vector<std::string> earlier = results_in(folder_);
    if (!replace_ && !earlier.empty()) {
        undo_and_throw("cannot write into '" + folder_ + "'",
                       "other files appeared there during the run (--force replaces them)");
    }
    if (!earlier.empty()) {
        fs::remove_all(backup, ec);
        if (!fs::create_directory(backup, ec) || ec) {
            undo_and_throw("cannot set the earlier results in '" + folder_ + "' aside",
                           ec ? ec.message() : "the backup folder exists");
        }
    }
    for (const std::string& name : earlier) {
        move(folder / name, backup / name, &renames, ec);
        if (ec) undo_and_throw("cannot set '" + name + "' in '" + folder_ + "' aside", ec.message());
        done.emplace_back(folder / name, backup / name);
    }
    std::vector<std::string> moved;
    for (const std::string& name : names_) {
        const fs::path from = staging / name;
        if (!fs::exists(from, ec)) continue;  // announced but never written
        move(from, folder / name, &renames, ec);
        if (ec) undo_and_throw("cannot move '" + name + "' into '" + folder_ + "'", ec.message());
        done.emplace_back(from, folder / name);
        moved.push_back(name);
    }
    fs::remove_all(staging, ec);
    fs::remove_all(backup, ec);
    names_ = moved;
    done_ = true;
}

void OutputStage::abandon() {
    std::error_code ec;
    fs::remove_all(staging_, ec);
    if (created_folder_ && fs::is_empty(folder_, ec)) fs::remove(folder_, ec);
    done_ = true;
}
