#include "flow/output_stage.hpp"

#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "flow/image_io.hpp"

namespace fs = std::filesystem;

OutputStage::OutputStage(const std::string& folder) : folder_(folder) {
    std::error_code ec;
    if (fs::exists(folder, ec)) {
        if (!fs::is_directory(folder, ec)) {
            throw FlowError("the output path '" + folder + "' exists and is not a folder");
        }
    } else {
        created_folder_ = fs::create_directories(folder, ec);
        if (ec)
            throw FlowError("cannot create the output folder '" + folder + "': " + ec.message());
    }
    staging_ =
        (fs::path(folder) / (".orvane-flow-" + std::to_string(::getpid()) + ".partial")).string();
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
    std::vector<std::string> moved;
    for (const std::string& name : names_) {
        std::error_code ec;
        const fs::path from = fs::path(staging_) / name;
        if (!fs::exists(from, ec)) continue;  // announced but never written
        fs::rename(from, fs::path(folder_) / name, ec);
        if (ec) {
            const std::string why = ec.message();
            for (const std::string& m : moved) fs::remove(fs::path(folder_) / m, ec);
            abandon();
            throw FlowError("cannot move '" + name + "' into '" + folder_ + "': " + why);
        }
        moved.push_back(name);
    }
    std::error_code ec;
    fs::remove_all(staging_, ec);
    names_ = moved;
    done_ = true;
}

void OutputStage::abandon() {
    std::error_code ec;
    fs::remove_all(staging_, ec);
    if (created_folder_ && fs::is_empty(folder_, ec)) fs::remove(folder_, ec);
    done_ = true;
}
