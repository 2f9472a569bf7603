#include "flow/options.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>

#include "analysis/component_session.hpp"
#include "analysis/window.hpp"

namespace {

std::string number_text(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string joined(const std::vector<std::string>& words) {
    std::string list;
    for (const std::string& w : words) list += (list.empty() ? "" : ", ") + w;
    return list;
}

// A component mode is the component's to judge: it knows its keywords.
std::string component_refusal(const std::string& computation_mode,
                              const std::string& timederivative_mode) {
    ComponentSettings s;
    s.computation_mode = computation_mode;
    s.timederivative_mode = timederivative_mode;
    try {
        ComponentSession session;
        ComponentSession::SettingNames names;
        names.computation_mode = names.timederivative_mode = "";
        session.apply(s, names);
    } catch (const ComponentError& e) {
        // " 'fast': Invalid Mode (choose from ...)": the caller puts its own name in front.
        return e.what();
    }
    return {};
}

std::string judge_window(const std::string& text) {
    WindowSpec w;
    std::string error;
    return parse_window(text, &w, &error) ? std::string() : error;
}

// The stabiliser's smoothing: tripod, or a positive number of seconds.
std::string judge_smoothing(const std::string& text) {
    if (text == "tripod") return {};
    try {
        size_t used = 0;
        const double v = std::stod(text, &used);
        if (used == text.size() && v > 0 && v < 1e6) return {};
    } catch (const std::exception&) {
    }
    return "'" + text + "' is neither a positive number of seconds nor tripod";
}

constexpr double kInt32Low = std::numeric_limits<int32_t>::min();
constexpr double kInt32High = std::numeric_limits<int32_t>::max();
constexpr double kCountHigh = 9.0e15;  // exact in a double: "no upper bound" for a count
constexpr double kHuge = std::numeric_limits<double>::max();

// A row's common part; the kind's builders below add what it stores and reads.
OptionRow row(const char* name, OptionKind kind, const char* group, const char* type_name,
              const char* help, const char* default_text) {
    return OptionRow{name, kind, group, type_name, help, default_text};
}

// A row bound to one member of RunOptions, reached by `Field`, a lambda without captures that
// returns a reference to it (so that the row's store and read need no state); `Slot` is the
// member of OptionValue that the row's kind fills.
template <auto Slot, class Field>
OptionRow field_row(OptionRow r, Field) {
    r.store = [](RunOptions& o, const OptionValue& v) {
        auto& field = Field{}(o);
        field = static_cast<std::remove_reference_t<decltype(field)>>(v.*Slot);
    };
    r.read = [](const RunOptions& o) {
        OptionValue v;
        v.*Slot = Field{}(const_cast<RunOptions&>(o));
        return v;
    };
    return r;
}

// Counts and numbers in [low, high]; texts and keywords as they are; flags.
template <class Field>
OptionRow count_row(OptionRow r, double low, double high, Field f) {
    r.low = low, r.high = high;
    return field_row<&OptionValue::count>(r, f);
}
template <class Field>
OptionRow number_row(OptionRow r, double low, double high, Field f) {
    r.low = low, r.high = high;
    return field_row<&OptionValue::number>(r, f);
}
template <class Field>
OptionRow text_row(OptionRow r, Field f) {
    return field_row<&OptionValue::text>(r, f);
}
template <class Field>
OptionRow flag_row(OptionRow r, Field f) {
    return field_row<&OptionValue::flag>(r, f);
}

OptionValue text_of(const std::string& v) {
    OptionValue o;
    o.text = v;
    return o;
}

constexpr const char* kMeasuring = "Measuring";
constexpr const char* kSettings =
    "Component settings (the component's names; tool defaults that measure best)";
constexpr const char* kFrames = "Frames and output";
constexpr const char* kStabilizing = "Stabilised video";

// How motion is measured.
void add_measuring_rows(std::vector<OptionRow>& t) {
    const RunOptions d;
    static const std::string window = window_text(d.window);
    OptionRow method =
        row("method", OptionKind::keyword, kMeasuring, "",
            "pairwise: the flow from each frame to the next, any pair of images,\n"
            "  up to about 80 px/frame, a value and a confidence at every pixel;\n"
            "compensated: motion-compensated frames, any speed up to several px/frame;\n"
            "direct: the component's own moment images, below about 1 px/frame;\n"
            "global: compensated, the global affine motion only, no dense flow;\n"
            "align: the global affine motion from each frame to the next by registering\n"
            "  the frames, each jump of a shaking camera itself, no dense flow (fastest;\n"
            "  what --stabilize measures with)",
            method_name(d.method));
    method.keywords = method_names();
    // The keyword was judged against the table's list, so it names a method.
    method.store = [](RunOptions& o, const OptionValue& v) { parse_method(v.text, &o.method); };
    method.read = [](const RunOptions& o) { return text_of(method_name(o.method)); };
    t.push_back(method);

    OptionRow win =
        row("window", OptionKind::text, kMeasuring, "",
            "Local window of the dense flow: gaussian:SIGMA or box:SIDE [px]", window.c_str());
    win.judge_text = judge_window;
    win.store = [](RunOptions& o, const OptionValue& v) {
        std::string error;
        parse_window(v.text, &o.window, &error);
    };
    win.read = [](const RunOptions& o) { return text_of(window_text(o.window)); };
    t.push_back(win);
}

// The component's own settings.
void add_component_rows(std::vector<OptionRow>& t) {
    OptionRow mode =
        text_row(row("computation_mode", OptionKind::text, kSettings, "",
                     "changedetection, orvane, affineparams or all", "all"),
                 [](RunOptions& o) -> std::string& { return o.settings.computation_mode; });
    mode.judge_text = [](const std::string& v) { return component_refusal(v, "batch"); };
    t.push_back(mode);
    OptionRow rule =
        text_row(row("timederivative_mode", OptionKind::text, kSettings, "",
                     "recursive (2 frames) or batch (5 frames; refers to 2 frames back)", "batch"),
                 [](RunOptions& o) -> std::string& { return o.settings.timederivative_mode; });
    rule.judge_text = [](const std::string& v) { return component_refusal("all", v); };
    t.push_back(rule);
    // The component's setting is 32 bits wide: 2^32 would reach it as 0 (smoothing off).
    t.push_back(count_row(row("input_filter", OptionKind::count, kSettings, "INT",
                              "Non-zero: smooth each frame with the 5x5 filter first", "1"),
                          kInt32Low, kInt32High,
                          [](RunOptions& o) -> int32_t& { return o.settings.input_filter; }));
    // The component takes any regularizer; with NaN every flow comes out empty, with an
    // infinite one zero, with a negative one it divides by nearly nothing.
    t.push_back(number_row(
        row("regularizer", OptionKind::number, kSettings, "FLOAT",
            "Added to the squared gradient before dividing (a finite number of at least 0)",
            "0.01"),
        0, kHuge, [](RunOptions& o) -> double& { return o.settings.regularizer; }));
}

// Which frames, and what is written of them.
void add_frame_rows(std::vector<OptionRow>& t) {
    OptionRow count = count_row(row("frames", OptionKind::count, kFrames, "N",
                                    "Process at most N frames (default: all)", ""),
                                1, kCountHigh, [](RunOptions& o) -> int64_t& { return o.frames; });
    count.has_unset = true, count.unset = -1;
    t.push_back(count);
    t.push_back(count_row(
        row("start", OptionKind::count, kFrames, "N", "Pass over the first N input frames", "0"), 0,
        kCountHigh, [](RunOptions& o) -> int64_t& { return o.start; }));
    t.push_back(count_row(row("every", OptionKind::count, kFrames, "K",
                              "Write pictures of every K-th frame (and of the last)", "10"),
                          1, kCountHigh, [](RunOptions& o) -> int64_t& { return o.every; }));

    OptionRow save = row("save", OptionKind::names, kFrames, "LIST",
                         "On picture frames store 'flow' (.flo, .npy, valid mask) and/or these\n"
                         "component images as float32 .npy, e.g. flow,Un,Vn",
                         "");
    save.keywords.push_back("flow");
    for (const auto& image : kResultImages) save.keywords.push_back(image.name);
    save.store = [](RunOptions& o, const OptionValue& v) {
        o.save.clear();
        o.save_flow = false;
        for (const std::string& n : v.names) {
            ResultImage which;
            if (n == "flow") {
                o.save_flow = true;
            } else if (parse_result_image(n, &which) &&
                       std::find(o.save.begin(), o.save.end(), which) == o.save.end()) {
                o.save.push_back(which);  // an image named twice is stored once
            }
        }
    };
    save.read = [](const RunOptions& o) {
        OptionValue v;
        if (o.save_flow) v.names.push_back("flow");
        for (ResultImage which : o.save) v.names.push_back(result_image_name(which));
        return v;
    };
    t.push_back(save);

    t.push_back(number_row(row("change_threshold", OptionKind::number, kFrames, "FLOAT",
                               "It2 above which a pixel counts as changed in frames.csv", "64"),
                           -kHuge, kHuge,
                           [](RunOptions& o) -> double& { return o.change_threshold; }));
    OptionRow fit = row("affine_fit", OptionKind::keyword, kFrames, "",
                        "robust (objects moving on their own weigh little) or plain", "robust");
    fit.keywords = {"robust", "plain"};
    fit.store = [](RunOptions& o, const OptionValue& v) { o.robust_fit = v.text == "robust"; };
    fit.read = [](const RunOptions& o) { return text_of(o.robust_fit ? "robust" : "plain"); };
    t.push_back(fit);
    t.push_back(number_row(
        row("max_speed", OptionKind::number, kFrames, "PX",
            "Speed [px/frame] shown in full colour in the flow pictures (one scale for the "
            "whole run; 0, the default: a round number above the first flow's fastest motions, "
            "2 with the compensated and direct methods)",
            "0"),
        0, kHuge, [](RunOptions& o) -> double& { return o.max_speed; }));
    // The output stage judges a video's name and place.
    OptionRow video =
        text_row(row("video", OptionKind::text, kFrames, "FILE.mp4",
                     "Also write the input and the flow side by side as an H.264 video", ""),
                 [](RunOptions& o) -> std::string& { return o.video; });
    t.push_back(video);
    t.push_back(flag_row(row("arrows", OptionKind::flag, kFrames, "",
                             "Also draw the flow as arrows on the input frame", ""),
                         [](RunOptions& o) -> bool& { return o.arrows; }));
}

// The stabilised video.
void add_stabilizing_rows(std::vector<OptionRow>& t) {
    t.push_back(
        text_row(row("stabilize", OptionKind::text, kStabilizing, "OUT.mp4",
                     "Also write the input with the shake taken out (the camera path smoothed),\n"
                     "  H.264 in colour, with the input's time stamps and sound; the input is\n"
                     "  read twice, so it must be a file, not a pipe",
                     ""),
                 [](RunOptions& o) -> std::string& { return o.stabilize.video; }));
    OptionRow smoothing =
        row("smoothing", OptionKind::text, kStabilizing, "SECONDS|tripod",
            "How the camera path is smoothed: a Gaussian of SECONDS (standard deviation;\n"
            "  longer keeps less of the camera's own slow motion), or tripod: one path of\n"
            "  constant velocity for the whole video",
            "1");
    smoothing.judge_text = judge_smoothing;
    smoothing.store = [](RunOptions& o, const OptionValue& v) {
        o.stabilize.tripod = v.text == "tripod";
        if (!o.stabilize.tripod) o.stabilize.smoothing_s = std::stod(v.text);
    };
    smoothing.read = [](const RunOptions& o) {
        if (o.stabilize.tripod) return text_of("tripod");
        std::ostringstream text;
        text << o.stabilize.smoothing_s;
        return text_of(text.str());
    };
    t.push_back(smoothing);
    OptionRow borders =
        text_row(row("borders", OptionKind::keyword, kStabilizing, "",
                     "What fills the borders the correction opens: crop (one zoom for the whole\n"
                     "  video, just enough to hide them), black, or mirror (the picture mirrored)",
                     "crop"),
                 [](RunOptions& o) -> std::string& { return o.stabilize.borders; });
    borders.keywords = {"crop", "black", "mirror"};
    t.push_back(borders);
}

// How the run goes: threads, replacing earlier results, what it says.
void add_run_rows(std::vector<OptionRow>& t) {
    OptionRow threads = row("threads", OptionKind::count, kFrames, "N",
                            "1: decode, measure and write one after another on one thread (0, "
                            "the default, or more: each on its own thread; the results are the "
                            "same)",
                            "0");
    threads.low = 0, threads.high = kCountHigh;
    threads.store = [](RunOptions& o, const OptionValue& v) {
        o.threads = static_cast<int>(std::min<int64_t>(v.count, 1 << 30));
    };
    threads.read = [](const RunOptions& o) {
        OptionValue v;
        v.count = o.threads;
        return v;
    };
    t.push_back(threads);
    OptionRow engine = count_row(
        row("engine_threads", OptionKind::count, kFrames, "N",
            "Split each frame's measurement into bands of rows on N threads (1 to 64; default: "
            "2 with the pipeline on two or more cores, else 1, or ORVANE_THREADS; the results "
            "are the same)",
            ""),
        1, 64, [](RunOptions& o) -> int& { return o.engine_threads; });
    engine.has_unset = true, engine.unset = 0;
    t.push_back(engine);
    t.push_back(
        flag_row(row("force", OptionKind::flag, kFrames, "",
                     "Replace the results of an earlier run in DIR, on success (only the files its "
                     "summary.json lists; a folder holding other files is refused)",
                     ""),
                 [](RunOptions& o) -> bool& { return o.force; }));
    t.push_back(flag_row(row("quiet", OptionKind::flag, kFrames, "",
                             "No progress, notices or result table; errors only", ""),
                         [](RunOptions& o) -> bool& { return o.quiet; }));
    t.push_back(flag_row(row("verbose", OptionKind::flag, kFrames, "",
                             "Also show what FFmpeg says about the input", ""),
                         [](RunOptions& o) -> bool& { return o.verbose; }));
}

std::vector<OptionRow> make_table() {
    std::vector<OptionRow> t;
    add_measuring_rows(t);
    add_component_rows(t);
    add_frame_rows(t);
    add_stabilizing_rows(t);
    add_run_rows(t);
    return t;
}

}  // namespace

const std::vector<OptionRow>& run_option_table() {
    static const std::vector<OptionRow> table = make_table();
    return table;
}

const OptionRow* find_run_option(const std::string& name) {
    for (const OptionRow& s : run_option_table()) {
        if (name == s.name) return &s;
    }
    return nullptr;
}

std::string option_flag(const OptionRow& row) {
    return spelled(row.name, Spelling::command_line);
}

const std::vector<std::string>& method_names() {
    static const std::vector<std::string> names{"pairwise", "compensated", "direct", "global",
                                                "align"};
    return names;
}

const char* method_name(Method method) {
    return method_names()[static_cast<size_t>(method)].c_str();
}

bool parse_method(const std::string& keyword, Method* method) {
    const auto& names = method_names();
    const auto it = std::find(names.begin(), names.end(), keyword);
    if (it == names.end()) return false;
    *method = static_cast<Method>(it - names.begin());
    return true;
}

std::string spelled(const std::string& name, Spelling spelling) {
    if (spelling == Spelling::python) return name;
    std::string flag = "--" + name;
    std::replace(flag.begin(), flag.end(), '_', '-');
    return flag;
}

std::string spelled_with(const std::string& name, const std::string& value, bool text,
                         Spelling spelling) {
    if (spelling == Spelling::command_line) return spelled(name, spelling) + " " + value;
    return text ? name + " '" + value + "'" : name + "=" + value;
}

std::string judge_option(const OptionRow& row, const OptionValue& v, const std::string& spelled) {
    switch (row.kind) {
        case OptionKind::count: {
            const double c = static_cast<double>(v.count);
            if (c >= row.low && c <= row.high) return {};
            const auto whole = [](double x) { return std::to_string(static_cast<int64_t>(x)); };
            const std::string range = row.high >= kCountHigh
                                          ? "of at least " + whole(row.low)
                                          : "from " + whole(row.low) + " to " + whole(row.high);
            return spelled + ": " + std::to_string(v.count) + " is not a whole number " + range;
        }
        case OptionKind::number: {
            if (std::isfinite(v.number) && v.number >= row.low && v.number <= row.high) return {};
            const bool unbounded_below = row.low <= -std::numeric_limits<double>::max();
            return spelled + ": " + number_text(v.number) + " is not a finite number" +
                   (unbounded_below ? std::string() : " of at least " + number_text(row.low));
        }
        case OptionKind::keyword:
            if (std::find(row.keywords.begin(), row.keywords.end(), v.text) != row.keywords.end()) {
                return {};
            }
            return spelled + " '" + v.text + "': not a choice (choose from " +
                   joined(row.keywords) + ")";
        case OptionKind::text: {
            const std::string why = row.judge_text ? row.judge_text(v.text) : std::string();
            if (why.empty()) return {};
            // A component's refusal comes as " 'text': why".
            return spelled + (why.rfind(" '", 0) == 0 ? why : ": " + why);
        }
        case OptionKind::flag:
            return {};
        case OptionKind::names:
            for (const std::string& n : v.names) {
                if (std::find(row.keywords.begin(), row.keywords.end(), n) == row.keywords.end()) {
                    std::string all;
                    for (const std::string& k : row.keywords) all += (all.empty() ? "" : " ") + k;
                    return spelled + ": unknown image '" + n + "' (choose from " + all + ")";
                }
            }
            return {};
    }
    return {};
}

bool parse_option_text(const OptionRow& row, const std::string& text, const std::string& spelled,
                       OptionValue* value, std::string* error) {
    *value = OptionValue();
    switch (row.kind) {
        case OptionKind::count: {
            // Whole numbers only: no fraction, no exponent, nothing after the digits.
            const char* begin = text.c_str();
            char* end = nullptr;
            errno = 0;
            const long long c = std::strtoll(begin, &end, 10);
            if (text.empty() || *end != '\0' || errno == ERANGE) {
                *error = spelled + ": '" + text + "' is not a whole number";
                return false;
            }
            value->count = c;
            return true;
        }
        case OptionKind::number: {
            const char* begin = text.c_str();
            char* end = nullptr;
            const double x = std::strtod(begin, &end);
            if (text.empty() || *end != '\0') {
                *error = spelled + ": '" + text + "' is not a number";
                return false;
            }
            value->number = x;
            return true;
        }
        case OptionKind::keyword:
        case OptionKind::text:
            value->text = text;
            return true;
        case OptionKind::flag:
            if (text == "true" || text == "1" || text.empty()) {
                value->flag = true;
            } else if (text == "false" || text == "0") {
                value->flag = false;
            } else {
                *error = spelled + ": '" + text + "' is not true or false";
                return false;
            }
            return true;
        case OptionKind::names:
            for (size_t start = 0; start <= text.size();) {
                const size_t comma = std::min(text.find(',', start), text.size());
                if (comma > start) value->names.push_back(text.substr(start, comma - start));
                start = comma + 1;
            }
            return true;
    }
    return false;
}

bool set_run_option(RunOptions& o, const OptionRow& row, const OptionValue& value,
                    const std::string& spelled, std::string* error) {
    *error = judge_option(row, value, spelled);
    if (!error->empty()) return false;
    row.store(o, value);
    return true;
}

std::string check_run_options(const RunOptions& o, Spelling spelling) {
    for (const OptionRow& row : run_option_table()) {
        const OptionValue v = row.read(o);
        if (row.has_unset && row.kind == OptionKind::count &&
            static_cast<double>(v.count) == row.unset) {
            continue;
        }
        if (std::string why = judge_option(row, v, spelled(row.name, spelling)); !why.empty()) {
            return why;
        }
    }
    return {};
}
