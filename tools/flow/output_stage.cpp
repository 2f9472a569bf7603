#include "flow/output_stage.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <system_error>

#include "flow/image_io.hpp"

namespace fs = std::filesystem;

namespace {

// Every staging or backup folder (and staged video) of a run has this in its name.
constexpr const char* kMark = ".orvane-flow-";
constexpr const char* kPartial = ".partial";
constexpr const char* kEarlier = ".earlier";
// In the backup folder of a commit inside the output folder: the names of the new files, so
// that an interrupted commit can tell them from the earlier ones.
constexpr const char* kNewNames = ".orvane-flow-new";

OutputStage::Testing g_testing;
thread_local OutputStage* t_current = nullptr;

std::string errno_text(int err) {
    return std::error_code(err, std::generic_category()).message();
}

bool ends_with(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

const std::string& host_name() {
    static const std::string name = [] {
        char text[256] = {};
        ::gethostname(text, sizeof text - 1);
        std::string h = text;
        // Containers may share a host name but not their process ids: the process id space
        // is part of the name.
        char ns[64] = {};
        if (::readlink("/proc/self/ns/pid", ns, sizeof ns - 1) > 0) {
            const char* digits = std::strchr(ns, '[');
            if (digits) h += "_" + std::string(digits + 1, std::strcspn(digits + 1, "]"));
        }
        // Dashes separate the parts of a run id; anything odd would end up in file names.
        for (char& c : h) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_') c = '_';
        }
        return h.empty() ? std::string("host") : h;
    }();
    return name;
}

bool exists_nofollow(const fs::path& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

// The entries of a folder, without "." and ".."; empty when it cannot be listed.
std::vector<std::string> list(const fs::path& folder, int* err = nullptr) {
    std::vector<std::string> names;
    DIR* d = ::opendir(folder.c_str());
    if (!d) {
        if (err) *err = errno;
        return names;
    }
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

void remove_tree(const fs::path& p) {
    std::error_code ec;
    fs::remove_all(p, ec);
}

// A staging or backup folder of a run, by its name: `.orvane-flow-ID.partial` inside an
// output folder (target empty), `.TARGET.orvane-flow-ID.partial` beside it; ".earlier" for a
// backup.
struct StageName {
    std::string target, id;
    bool backup = false;
};

bool parse_stage_name(const std::string& name, StageName* out) {
    const bool partial = ends_with(name, kPartial), earlier = ends_with(name, kEarlier);
    if (name.empty() || name[0] != '.' || !(partial || earlier)) return false;
    const size_t mark = name.rfind(kMark);
    if (mark == std::string::npos || mark == 1) return false;
    std::string rest;
    const std::string body =
        name.substr(mark + std::strlen(kMark), name.size() - mark - std::strlen(kMark) -
                                                   std::strlen(partial ? kPartial : kEarlier));
    out->id = run_id_at(body, &rest);
    if (out->id.empty() || !rest.empty()) return false;
    out->target = mark == 0 ? std::string() : name.substr(1, mark - 1);
    out->backup = earlier;
    return true;
}

// Whether the entry `name` (".orvane-flow-..." in an output folder) was left there by a run
// that has ended: a staging or backup folder, or a hidden video, of this version (named by run
// id) or of earlier ones (named by process id alone, always on this host).
bool left_by_ended_run(const std::string& name) {
    const std::string after = name.substr(std::strlen(kMark));
    std::string rest;
    const std::string id = run_id_at(after, &rest);
    if (!id.empty()) return run_has_ended(id);
    const size_t digits = after.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string::npos ||
        (after[digits] != '.' && after[digits] != '-'))
        return false;
    const long pid = std::strtol(after.c_str(), nullptr, 10);
    return pid > 0 && pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 &&
           errno == ESRCH;
}

// Counts the steps of a commit for the test hooks; rename() and remove() are its only ways to
// change the file system.
struct Steps {
    int step = 0, renames = 0;
    void next() {
        ++step;
        if (g_testing.exit_before_step == step) ::_exit(86);
    }
    // 0 or the errno of a failed rename; `flags` as for renameat2.
    int rename(const fs::path& from, const fs::path& to, unsigned flags = 0) {
        next();
        if (g_testing.fail_rename > 0 && ++renames == g_testing.fail_rename) return EIO;
        if (flags == RENAME_EXCHANGE && g_testing.no_exchange) return EINVAL;
        const int rc = flags ? ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags)
                             : ::rename(from.c_str(), to.c_str());
        return rc == 0 ? 0 : errno;
    }
    void remove(const fs::path& p) {
        next();
        remove_tree(p);
    }
};

// Undoes a commit inside `folder` that stopped before its staging folder was removed: the new
// files that it moved in go, the earlier ones come back from the backup. Each step can be
// repeated, so a rollback that is itself interrupted is finished by the next one.
void roll_back_inside(const fs::path& folder, const fs::path& backup, const fs::path& staging) {
    std::ifstream names_file(backup / kNewNames);
    for (std::string name; std::getline(names_file, name);) {
        // Moved in when it is in the folder and no longer staged.
        if (!name.empty() && exists_nofollow(folder / name) && !exists_nofollow(staging / name))
            ::unlink((folder / name).c_str());
    }
    names_file.close();
    ::unlink((backup / kNewNames).c_str());
    ::unlink((backup / (std::string(kNewNames) + ".tmp")).c_str());
    for (const std::string& name : list(backup)) {
        if (!exists_nofollow(folder / name))
            ::rename((backup / name).c_str(), (folder / name).c_str());
    }
    // Only once empty: whatever did not go back stays where it is.
    ::rmdir(backup.c_str());
    remove_tree(staging);
}

// Removes what ended runs left in `folder` (its staging and backup folders inside it when
// `inside`, else those beside outputs in it) and undoes their half-done commits.
void clean_after_ended_runs(const fs::path& folder, bool inside) {
    struct Pair {
        fs::path partial, earlier;
        std::string target;
    };
    std::map<std::string, Pair> runs;  // by target and id
    for (const std::string& name : list(folder)) {
        StageName s;
        if (!parse_stage_name(name, &s) || s.target.empty() == !inside) continue;
        if (!run_has_ended(s.id)) continue;
        Pair& p = runs[s.target + "/" + s.id];
        p.target = s.target;
        (s.backup ? p.earlier : p.partial) = folder / name;
    }
    for (const auto& [key, p] : runs) {
        if (inside) {
            if (!p.earlier.empty() && !p.partial.empty()) {
                roll_back_inside(folder, p.earlier, p.partial);  // a commit in progress
            } else {
                // A staging folder never committed, or the backup of a finished commit.
                remove_tree(p.earlier.empty() ? p.partial : p.earlier);
            }
        } else {
            if (!p.earlier.empty()) {
                // The earlier folder set aside by a commit that could not exchange: it goes
                // back unless the new one took its place (and stays where it is when it cannot).
                const fs::path target = folder / p.target;
                if (exists_nofollow(target))
                    remove_tree(p.earlier);
                else
                    ::rename(p.earlier.c_str(), target.c_str());
            }
            if (!p.partial.empty()) remove_tree(p.partial);
        }
    }
}

// The names that the earlier run in `folder` wrote, by its summary.json: its outputs and a
// video it placed beside them. Empty when there is no summary of orvane-flow.
std::set<std::string> listed_results(const fs::path& folder) {
    std::set<std::string> names;
    std::ifstream in(folder / "summary.json");
    if (!in) return names;
    const auto j = nlohmann::json::parse(in, nullptr, false);
    if (!j.is_object()) return names;
    const auto tool = j.find("tool");
    if (tool == j.end() || !tool->is_string() || tool->get<std::string>() != "orvane-flow")
        return names;
    const auto outputs = j.find("outputs");
    if (outputs == j.end() || !outputs->is_array()) return names;
    for (const auto& o : *outputs) {
        if (o.is_string() && o.get<std::string>().find('/') == std::string::npos)
            names.insert(o.get<std::string>());
    }
    names.insert("summary.json");
    const auto video = j.find("video");
    if (video != j.end() && video->is_string()) {
        std::error_code ec;
        const fs::path v = fs::weakly_canonical(fs::absolute(video->get<std::string>(), ec), ec);
        if (!ec && v.parent_path() == folder) names.insert(v.filename().string());
    }
    return names;
}

// Whether `folder` is the root of a mount (a rename cannot move it).
bool is_mount_point(const fs::path& folder, const struct stat& st) {
    struct statx sx;
    if (::statx(AT_FDCWD, folder.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) == 0 &&
        (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)) {
        return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    }
    struct stat parent;
    return ::stat(folder.parent_path().c_str(), &parent) != 0 || parent.st_dev != st.st_dev;
}

// Makes a folder named prefix + kMark + id + ".partial" in `dir`; the errno on failure.
int make_stage_folder(const fs::path& dir, const std::string& prefix, std::string* id,
                      fs::path* made) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        *id = new_run_id();
        *made = dir / (prefix + kMark + *id + kPartial);
        if (::mkdir(made->c_str(), 0777) == 0) return 0;
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

std::string some_names(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < 3; ++i) text += (i ? ", " : "") + names[i];
    if (names.size() > 3) text += " and " + std::to_string(names.size() - 3) + " more";
    return text;
}

}  // namespace

std::string new_run_id() {
    static std::atomic<unsigned> serial{0};
    static const unsigned salt = std::random_device{}();
    char text[32];
    std::snprintf(text, sizeof text, "%x%04x", serial.fetch_add(1) + 1, salt & 0xffff);
    return host_name() + "-" + std::to_string(::getpid()) + "-" + text;
}

std::string run_id_at(const std::string& text, std::string* rest) {
    const size_t a = text.find('-');
    const size_t b = a == std::string::npos ? a : text.find('-', a + 1);
    if (a == 0 || b == std::string::npos || b == a + 1) return {};
    size_t c = b + 1;
    while (c < text.size() && std::isxdigit(static_cast<unsigned char>(text[c]))) ++c;
    const std::string pid = text.substr(a + 1, b - a - 1);
    const bool number = !pid.empty() && std::all_of(pid.begin(), pid.end(),
                                                    [](char ch) { return ch >= '0' && ch <= '9'; });
    if (c == b + 1 || !number) return {};
    *rest = text.substr(c);
    return text.substr(0, c);
}

bool run_has_ended(const std::string& id) {
    std::string rest;
    if (run_id_at(id, &rest) != id) return false;
    const size_t a = id.find('-'), b = id.find('-', a + 1);
    if (id.substr(0, a) != host_name()) return false;  // another machine's run: not ours to judge
    const long pid = std::strtol(id.substr(a + 1, b - a - 1).c_str(), nullptr, 10);
    if (pid <= 0 || pid == ::getpid()) return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0) return errno == ESRCH;
    // A process that has ended but not yet been waited for writes nothing any more.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z';
}

void OutputStage::set_testing(const Testing& testing) {
    g_testing = testing;
}

OutputStage* OutputStage::current() {
    return t_current;
}

OutputStage::Survey OutputStage::survey(const fs::path& folder) {
    Survey s;
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return s;
    s.exists = true;
    s.dev = st.st_dev, s.ino = st.st_ino, s.mode = st.st_mode, s.uid = st.st_uid, s.gid = st.st_gid;
    int err = 0;
    const std::vector<std::string> names = list(folder, &err);
    if (err) {
        throw FlowError("cannot list the output folder '" + folder.string() +
                        "': " + errno_text(err));
    }
    for (const std::string& name : names) {
        if (name.rfind(kMark, 0) == 0) {
            s.stages.push_back(name);
            continue;
        }
        struct stat e;
        if (::lstat((folder / name).c_str(), &e) != 0) continue;  // gone meanwhile
        s.results.push_back(
            {name, e.st_ino, e.st_size, e.st_mtim.tv_sec * 1000000000LL + e.st_mtim.tv_nsec});
    }
    return s;
}

void OutputStage::judge_contents(const Survey& s) const {
    if (s.results.empty()) return;
    const std::set<std::string> listed = listed_results(target_);
    std::vector<std::string> foreign;
    for (const Entry& e : s.results) {
        if (!listed.count(e.name)) foreign.push_back(e.name);
    }
    if (!foreign.empty()) {
        throw FlowError(
            "the output folder '" + folder_ +
            "' holds files that are not results of orvane-flow (" + some_names(foreign) + "); " +
            (replace_
                 ? setting_names_.replace + " replaces only the files an earlier run wrote, so "
                 : std::string()) +
            "choose a new or empty folder for " + setting_names_.folder);
    }
    if (!replace_) {
        throw FlowError("the output folder '" + folder_ +
                        "' holds earlier results; choose another " + setting_names_.folder +
                        " or add " + setting_names_.replace + " to replace them");
    }
}

OutputStage::OutputStage(const std::string& folder, bool replace, const SettingNames& names)
    : folder_(folder), replace_(replace), setting_names_(names) {
    if (folder.empty()) {
        throw FlowError("the output folder's name is empty; give " + setting_names_.folder +
                        " a folder");
    }
    std::error_code ec;
    target_ = fs::weakly_canonical(fs::absolute(folder, ec), ec);
    if (ec) {
        throw FlowError(
            ec.value() == ELOOP
                ? "the output path '" + folder +
                      "' is a symbolic link that loops (it leads back to itself); choose "
                      "another " +
                      setting_names_.folder
                : "cannot use the output folder '" + folder + "': " + ec.message());
    }
    if (target_.filename().empty() && target_.has_parent_path() && target_ != target_.root_path())
        target_ = target_.parent_path();  // "out/"
    const bool has_parent = target_ != target_.root_path();
    const fs::path parent = target_.parent_path();
    // What killed runs left beside the folder (a backup put back first), then inside it.
    if (has_parent) clean_after_ended_runs(parent, false);

    struct stat st;
    const int stat_error = ::stat(target_.c_str(), &st) == 0 ? 0 : errno;
    if (stat_error == 0) {
        if (!S_ISDIR(st.st_mode)) {
            throw FlowError("the output path '" + folder + "' exists and is not a folder");
        }
        clean_after_ended_runs(target_, true);
        start_ = survey(target_);
        judge_contents(start_);
        // A folder exchanged for another would leave whoever works in it (this process, the
        // shell that started it) in a deleted folder; a mount point cannot be moved at all.
        inside_ = g_testing.inside || !has_parent || is_mount_point(target_, st) ||
                  fs::equivalent(target_, fs::current_path(ec), ec);
        int err = 0;
        if (!inside_) {
            err = make_stage_folder(parent, "." + target_.filename().string(), &id_, &staging_);
            // Not allowed to write beside it: inside it, then.
            if (err == EACCES || err == EPERM || err == EROFS) inside_ = true, err = 0;
        }
        if (inside_) err = make_stage_folder(target_, "", &id_, &staging_);
        if (err) {
            throw FlowError("cannot write into the output folder '" + folder +
                            "': " + errno_text(err));
        }
    } else if (stat_error == ENOENT && has_parent) {
        // Missing parents are made now (so that a path that cannot be made is refused before
        // any input is read), the folder itself only by the commit.
        std::vector<fs::path> missing;
        for (fs::path p = parent; !p.empty() && !exists_nofollow(p); p = p.parent_path()) {
            missing.insert(missing.begin(), p);
            if (p == p.root_path()) break;
        }
        int err = 0;
        for (const fs::path& p : missing) {
            if (::mkdir(p.c_str(), 0777) != 0) {
                err = errno;
                break;
            }
            created_.push_back(p);
        }
        if (!err)
            err = make_stage_folder(parent, "." + target_.filename().string(), &id_, &staging_);
        if (err) {
            abandon();
            throw FlowError("cannot create the output folder '" + folder + "': " + errno_text(err));
        }
    } else {
        throw FlowError(stat_error == ELOOP
                            ? "the output path '" + folder +
                                  "' is a symbolic link that loops (it leads back to itself); "
                                  "choose another " +
                                  setting_names_.folder
                            : "cannot use the output folder '" + folder +
                                  "': " + errno_text(stat_error));
    }
    t_current = this;
}

OutputStage::~OutputStage() {
    if (!done_) abandon();
    if (t_current == this) t_current = nullptr;
}

bool OutputStage::is_output_folder(const std::string& dir) const {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(dir.empty() ? "." : dir, ec), ec);
    if (!ec && p.filename().empty() && p != p.root_path()) p = p.parent_path();
    return !ec && p == target_;
}

std::string OutputStage::path_for(const std::string& name) {
    names_.push_back(name);
    return (staging_ / name).string();
}

void OutputStage::withdraw(const std::string& name) {
    names_.erase(std::remove(names_.begin(), names_.end(), name), names_.end());
}

std::vector<std::string> OutputStage::written() const {
    std::vector<std::string> names;
    for (const std::string& name : names_) {
        // Announced but never written; or announced twice.
        if (!exists_nofollow(staging_ / name)) continue;
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
}

void OutputStage::changed() const {
    throw FlowError("the output folder '" + folder_ +
                    "' changed during the run (another run may have written into it); it is "
                    "left as it is now and this run's results are discarded: run again to "
                    "write them");
}

void OutputStage::commit() {
    try {
        if (inside_)
            commit_inside();
        else
            commit_beside();
    } catch (...) {
        abandon();
        throw;
    }
    done_ = true;
    if (t_current == this) t_current = nullptr;
}

// One rename: the staging folder becomes the output folder, or is exchanged with it.
void OutputStage::commit_beside() {
    Steps steps;
    const std::vector<std::string> files = written();
    const Survey now = survey(target_);
    if (!start_.exists) {
        if (now.exists) changed();
        int err = steps.rename(staging_, target_, RENAME_NOREPLACE);
        if (err == EINVAL)
            err = exists_nofollow(target_) ? EEXIST : steps.rename(staging_, target_);
        if (err == EEXIST || err == ENOTEMPTY) changed();
        if (err) {
            throw FlowError("cannot move the results into '" + folder_ + "': " + errno_text(err));
        }
    } else {
        auto same = [this](const Survey& s) {
            return s.exists && s.dev == start_.dev && s.ino == start_.ino &&
                   s.results == start_.results;
        };
        if (!same(now)) changed();
        for (const std::string& name : now.stages) {
            // A run that stages inside the folder may still be writing there; what ended runs
            // left goes with the earlier folder.
            if (!left_by_ended_run(name)) {
                throw FlowError("another run is writing into the output folder '" + folder_ +
                                "' (its staging folder '" + name +
                                "'); this run's results are discarded: run again once it ends");
            }
        }
        // The new folder takes the place of the old one, with its permissions and owner.
        ::chmod(staging_.c_str(), start_.mode & 07777);
        if (::chown(staging_.c_str(), start_.uid, start_.gid) != 0) {
            // Only the owner's own files or root may give them away: the new folder stays ours.
        }
        const std::string kept = "; the folder keeps its earlier contents";
        const int err = steps.rename(staging_, target_, RENAME_EXCHANGE);
        if (err == 0) {
            // staging_ now holds the earlier results: had they changed in the meantime, they go
            // back.
            if (!same(survey(staging_))) {
                if (::renameat2(AT_FDCWD, staging_.c_str(), AT_FDCWD, target_.c_str(),
                                RENAME_EXCHANGE) != 0) {
                    // Nothing more is moved or removed: the earlier contents stay where they
                    // are now.
                    const std::string where = staging_.string();
                    staging_.clear();
                    throw FlowError("the output folder '" + folder_ +
                                    "' changed during the run and could not be put back: its "
                                    "earlier contents are in '" +
                                    where + "'");
                }
                changed();
            }
            steps.remove(staging_);
        } else if (err == EINVAL || err == ENOSYS || err == ENOTSUP) {
            // This file system cannot exchange: the earlier folder is set aside first (a run
            // killed in between has it put back by the next one).
            const fs::path backup = target_.parent_path() /
                                    ("." + target_.filename().string() + kMark + id_ + kEarlier);
            if (const int e = steps.rename(target_, backup)) {
                throw FlowError("cannot set the earlier results in '" + folder_ +
                                "' aside: " + errno_text(e) + kept);
            }
            if (const int e = steps.rename(staging_, target_)) {
                // Should this fail too, the next run puts the backup back.
                ::rename(backup.c_str(), target_.c_str());
                throw FlowError("cannot move the results into '" + folder_ + "': " + errno_text(e) +
                                kept);
            }
            steps.remove(backup);
        } else {
            throw FlowError("cannot put the results in place of the earlier ones in '" + folder_ +
                            "': " + errno_text(err) + kept);
        }
    }
    names_ = files;
}

// File by file, undone on failure: the backup folder first notes the new names (so that a
// commit that stops half way can be rolled back), then takes the earlier results; the new
// files move in, and removing the emptied staging folder completes the commit.
void OutputStage::commit_inside() {
    Steps steps;
    const std::vector<std::string> files = written();
    const Survey now = survey(target_);
    if (!now.exists || now.dev != start_.dev || now.ino != start_.ino ||
        now.results != start_.results) {
        changed();
    }
    const fs::path backup = target_ / (kMark + id_ + kEarlier);
    const std::string kept = "; the folder keeps its earlier contents";
    if (::mkdir(backup.c_str(), 0777) != 0) {
        throw FlowError("cannot set the earlier results in '" + folder_ +
                        "' aside: " + errno_text(errno) + kept);
    }
    auto fail = [&](const std::string& what, int err) {
        roll_back_inside(target_, backup, staging_);
        throw FlowError(what + ": " + errno_text(err) + kept);
    };
    {
        const fs::path list_tmp = backup / (std::string(kNewNames) + ".tmp");
        std::ofstream out(list_tmp);
        for (const std::string& name : files) out << name << '\n';
        out.close();
        if (!out) fail("cannot write into '" + folder_ + "'", errno ? errno : EIO);
        if (const int e = steps.rename(list_tmp, backup / kNewNames))
            fail("cannot write into '" + folder_ + "'", e);
    }
    for (const Entry& e : now.results) {
        if (const int err = steps.rename(target_ / e.name, backup / e.name))
            fail("cannot set '" + e.name + "' in '" + folder_ + "' aside", err);
    }
    for (const std::string& name : files) {
        if (const int err = steps.rename(staging_ / name, target_ / name))
            fail("cannot move '" + name + "' into '" + folder_ + "'", err);
    }
    steps.next();
    if (::rmdir(staging_.c_str()) != 0)
        fail("cannot complete the results in '" + folder_ + "'", errno);
    steps.remove(backup);
    names_ = files;
}

void OutputStage::abandon() {
    if (!staging_.empty()) remove_tree(staging_);
    // Parents this run made, innermost first, as long as nothing else went into them.
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) ::rmdir(it->c_str());
    created_.clear();
    done_ = true;
    if (t_current == this) t_current = nullptr;
}
