// The options of a run of orvane-flow, in one table that every door reads: the command line
// (main.cpp builds its parser, help and defaults from it), the Python module's settings
// (orvane.flow.analyze, orvane.batch -s) and the job itself (flow_job.hpp) for a host that fills
// RunOptions directly. Each row says the option's name, its kind, the values it takes, its
// default and help, and stores a judged value; judge_option() holds every rule, so that no door
// takes what another refuses. A refusal names the option as its caller spelled it: "--max-speed"
// on the command line, "max_speed" from Python.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flow/job_config.hpp"

enum class OptionKind {
    count,    // a whole number in [low, high]
    number,   // a finite real number in [low, high]
    keyword,  // one of `keywords`
    text,     // any text, judged by the row's own rule (a window, a component mode)
    flag,     // on or off
    names,    // a list of names (a text of names separated by commas on the command line)
};

// A value of an option's kind, as a caller gave it (only the member of its kind is read).
struct OptionValue {
    int64_t count = 0;
    double number = 0;
    std::string text;
    bool flag = false;
    std::vector<std::string> names;
};

struct OptionRow {
    const char* name;  // the Python keyword: max_speed (the flag is --max-speed)
    OptionKind kind;
    const char* group;      // the command line's help group
    const char* type_name;  // the value's name in the help (N, PX, ...); "" for the kind's own
    const char* help;
    const char* default_text;             // shown as the default; "" for none
    double low = 0, high = 0;             // count and number: the range, both included
    std::vector<std::string> keywords{};  // keyword: the values taken
    // A value outside the rules that means "not given" in RunOptions (frames -1: all); only
    // the job's own check lets it through, no caller may give it.
    bool has_unset = false;
    double unset = 0;
    // text: the row's rule; "" when `value` is taken, else why not (without the option's name).
    std::string (*judge_text)(const std::string& value) = nullptr;
    void (*store)(RunOptions& o, const OptionValue& v) = nullptr;
    OptionValue (*read)(const RunOptions& o) = nullptr;
};

// Every option, in the order of the command line's help.
const std::vector<OptionRow>& run_option_table();
const OptionRow* find_run_option(const std::string& name);
// "--max-speed" for "max_speed".
std::string option_flag(const OptionRow& row);

// Why `value` is refused, as "<spelled>: <value> is not ..." (empty when it is taken).
std::string judge_option(const OptionRow& row, const OptionValue& value,
                         const std::string& spelled);
// The text of the command line (or of orvane.batch -s NAME=TEXT) as a value of the option's
// kind; false, with `error` naming the option as `spelled`, when it is not one.
bool parse_option_text(const OptionRow& row, const std::string& text, const std::string& spelled,
                       OptionValue* value, std::string* error);
// judge_option, then the value stored into `o`; false with `error` when refused.
bool set_run_option(RunOptions& o, const OptionRow& row, const OptionValue& value,
                    const std::string& spelled, std::string* error);
// Every option's value in `o` judged, named as the caller spells it (a host that fills
// RunOptions itself gets the answers the command line would give); empty when all are taken.
std::string check_run_options(const RunOptions& o, Spelling spelling);
