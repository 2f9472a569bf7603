#include "flow/options.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>

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

std::string judge_video(const std::string&) {
    return {};  // the output stage judges the file's name and place
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

OptionValue count_of(int64_t v) {
    OptionValue o;
    o.count = v;
    return o;
}
OptionValue number_of(double v) {
    OptionValue o;
    o.number = v;
    return o;
}
OptionValue text_of(const std::string& v) {
    OptionValue o;
    o.text = v;
    return o;
}
OptionValue flag_of(bool v) {
    OptionValue o;
    o.flag = v;
    return o;
}

std::vector<OptionRow> make_table() {
    const char* measuring = "Measuring";
    const char* settings =
        "Component settings (the component's names; tool defaults that measure best)";
    const char* frames = "Frames and output";
    const RunOptions d;
    std::vector<OptionRow> t;
    {
        OptionRow s{"method",
                     OptionKind::keyword,
                     measuring,
                     "",
                     "pairwise: the flow from each frame to the next, any pair of images,\n"
                     "  up to about 80 px/frame, a value and a confidence at every pixel;\n"
                     "compensated: motion-compensated frames, any speed up to several px/frame;\n"
                     "direct: the component's own moment images, below about 1 px/frame;\n"
                     "global: compensated, the global affine motion only, no dense flow;\n"
                     "align: the global affine motion from each frame to the next by registering\n"
                     "  the frames, each jump of a shaking camera itself, no dense flow (fastest;\n"
                     "  what --stabilize measures with)",
                     "pairwise"};
        s.keywords = {"pairwise", "compensated", "direct", "global", "align"};
        s.store = [](RunOptions& o, const OptionValue& v) { o.method = v.text; };
        s.read = [](const RunOptions& o) { return text_of(o.method); };
        t.push_back(s);
    }
    {
        static const std::string window = window_text(d.window);
        OptionRow s{"window",
                     OptionKind::text,
                     measuring,
                     "",
                     "Local window of the dense flow: gaussian:SIGMA or box:SIDE [px]",
                     window.c_str()};
        s.judge_text = judge_window;
        s.store = [](RunOptions& o, const OptionValue& v) {
            std::string error;
            parse_window(v.text, &o.window, &error);
        };
        s.read = [](const RunOptions& o) { return text_of(window_text(o.window)); };
        t.push_back(s);
    }
    {
        OptionRow s{"computation_mode",
                     OptionKind::text,
                     settings,
                     "",
                     "changedetection, orvane, affineparams or all",
                     "all"};
        s.judge_text = [](const std::string& v) { return component_refusal(v, "batch"); };
        s.store = [](RunOptions& o, const OptionValue& v) { o.settings.computation_mode = v.text; };
        s.read = [](const RunOptions& o) { return text_of(o.settings.computation_mode); };
        t.push_back(s);
    }
    {
        OptionRow s{"timederivative_mode",
                     OptionKind::text,
                     settings,
                     "",
                     "recursive (2 frames) or batch (5 frames; refers to 2 frames back)",
                     "batch"};
        s.judge_text = [](const std::string& v) { return component_refusal("all", v); };
        s.store = [](RunOptions& o, const OptionValue& v) {
            o.settings.timederivative_mode = v.text;
        };
        s.read = [](const RunOptions& o) { return text_of(o.settings.timederivative_mode); };
        t.push_back(s);
    }
    {
        // The component's setting is 32 bits wide: 2^32 would reach it as 0 (smoothing off).
        OptionRow s{"input_filter",
                     OptionKind::count,
                     settings,
                     "INT",
                     "Non-zero: smooth each frame with the 5x5 filter first",
                     "1",
                     kInt32Low,
                     kInt32High};
        s.store = [](RunOptions& o, const OptionValue& v) {
            o.settings.input_filter = static_cast<int32_t>(v.count);
        };
        s.read = [](const RunOptions& o) { return count_of(o.settings.input_filter); };
        t.push_back(s);
    }
    {
        // The component takes any regularizer; with NaN every flow comes out empty, with an
        // infinite one zero, with a negative one it divides by nearly nothing.
        OptionRow s{
            "regularizer",
            OptionKind::number,
            settings,
            "FLOAT",
            "Added to the squared gradient before dividing (a finite number of at least 0)",
            "0.01",
            0,
            std::numeric_limits<double>::max()};
        s.store = [](RunOptions& o, const OptionValue& v) { o.settings.regularizer = v.number; };
        s.read = [](const RunOptions& o) { return number_of(o.settings.regularizer); };
        t.push_back(s);
    }
    {
        OptionRow s{
            "frames", OptionKind::count, frames, "N", "Process at most N frames (default: all)", "",
            1,        kCountHigh};
        s.has_unset = true, s.unset = -1;
        s.store = [](RunOptions& o, const OptionValue& v) { o.frames = v.count; };
        s.read = [](const RunOptions& o) { return count_of(o.frames); };
        t.push_back(s);
    }
    {
        OptionRow s{
            "start", OptionKind::count, frames, "N", "Pass over the first N input frames", "0",
            0,       kCountHigh};
        s.store = [](RunOptions& o, const OptionValue& v) { o.start = v.count; };
        s.read = [](const RunOptions& o) { return count_of(o.start); };
        t.push_back(s);
    }
    {
        OptionRow s{"every",
                     OptionKind::count,
                     frames,
                     "K",
                     "Write pictures of every K-th frame (and of the last)",
                     "10",
                     1,
                     kCountHigh};
        s.store = [](RunOptions& o, const OptionValue& v) { o.every = v.count; };
        s.read = [](const RunOptions& o) { return count_of(o.every); };
        t.push_back(s);
    }
    {
        OptionRow s{"save",
                     OptionKind::names,
                     frames,
                     "LIST",
                     "On picture frames store 'flow' (.flo, .npy, valid mask) and/or these\n"
                     "component images as float32 .npy, e.g. flow,Un,Vn",
                     ""};
        s.keywords.push_back("flow");
        for (const auto& image : kResultImages) s.keywords.push_back(image.name);
        s.store = [](RunOptions& o, const OptionValue& v) {
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
        s.read = [](const RunOptions& o) {
            OptionValue v;
            if (o.save_flow) v.names.push_back("flow");
            for (ResultImage which : o.save) v.names.push_back(result_image_name(which));
            return v;
        };
        t.push_back(s);
    }
    {
        OptionRow s{"change_threshold",
                     OptionKind::number,
                     frames,
                     "FLOAT",
                     "It2 above which a pixel counts as changed in frames.csv",
                     "64",
                     -std::numeric_limits<double>::max(),
                     std::numeric_limits<double>::max()};
        s.store = [](RunOptions& o, const OptionValue& v) { o.change_threshold = v.number; };
        s.read = [](const RunOptions& o) { return number_of(o.change_threshold); };
        t.push_back(s);
    }
    {
        OptionRow s{"affine_fit",
                     OptionKind::keyword,
                     frames,
                     "",
                     "robust (objects moving on their own weigh little) or plain",
                     "robust"};
        s.keywords = {"robust", "plain"};
        s.store = [](RunOptions& o, const OptionValue& v) { o.robust_fit = v.text == "robust"; };
        s.read = [](const RunOptions& o) { return text_of(o.robust_fit ? "robust" : "plain"); };
        t.push_back(s);
    }
    {
        OptionRow s{"max_speed",
                     OptionKind::number,
                     frames,
                     "PX",
                     "Speed [px/frame] shown in full colour in the flow pictures (one scale for "
                     "the whole run; 0, the default: a round number above the first flow's "
                     "fastest motions, 2 with the compensated and direct methods)",
                     "0",
                     0,
                     std::numeric_limits<double>::max()};
        s.store = [](RunOptions& o, const OptionValue& v) { o.max_speed = v.number; };
        s.read = [](const RunOptions& o) { return number_of(o.max_speed); };
        t.push_back(s);
    }
    {
        OptionRow s{"video",
                     OptionKind::text,
                     frames,
                     "FILE.mp4",
                     "Also write the input and the flow side by side as an H.264 video",
                     ""};
        s.judge_text = judge_video;
        s.store = [](RunOptions& o, const OptionValue& v) { o.video = v.text; };
        s.read = [](const RunOptions& o) { return text_of(o.video); };
        t.push_back(s);
    }
    {
        OptionRow s{"arrows",
                     OptionKind::flag,
                     frames,
                     "",
                     "Also draw the flow as arrows on the input frame",
                     ""};
        s.store = [](RunOptions& o, const OptionValue& v) { o.arrows = v.flag; };
        s.read = [](const RunOptions& o) { return flag_of(o.arrows); };
        t.push_back(s);
    }
    const char* stabilizing = "Stabilised video";
    {
        OptionRow s{"stabilize",
                     OptionKind::text,
                     stabilizing,
                     "OUT.mp4",
                     "Also write the input with the shake taken out (the camera path smoothed),\n"
                     "  H.264 in colour, with the input's time stamps and sound; the input is\n"
                     "  read twice, so it must be a file, not a pipe",
                     ""};
        s.judge_text = judge_video;
        s.store = [](RunOptions& o, const OptionValue& v) { o.stabilize.video = v.text; };
        s.read = [](const RunOptions& o) { return text_of(o.stabilize.video); };
        t.push_back(s);
    }
    {
        OptionRow s{"smoothing",
                     OptionKind::text,
                     stabilizing,
                     "SECONDS|tripod",
                     "How the camera path is smoothed: a Gaussian of SECONDS (standard deviation;\n"
                     "  longer keeps less of the camera's own slow motion), or tripod: one path of\n"
                     "  constant velocity for the whole video",
                     "1"};
        s.judge_text = judge_smoothing;
        s.store = [](RunOptions& o, const OptionValue& v) {
            o.stabilize.tripod = v.text == "tripod";
            if (!o.stabilize.tripod) o.stabilize.smoothing_s = std::stod(v.text);
        };
        s.read = [](const RunOptions& o) {
            if (o.stabilize.tripod) return text_of("tripod");
            std::ostringstream text;
            text << o.stabilize.smoothing_s;
            return text_of(text.str());
        };
        t.push_back(s);
    }
    {
        OptionRow s{"borders",
                     OptionKind::keyword,
                     stabilizing,
                     "",
                     "What fills the borders the correction opens: crop (one zoom for the whole\n"
                     "  video, just enough to hide them), black, or mirror (the picture mirrored)",
                     "crop"};
        s.keywords = {"crop", "black", "mirror"};
        s.store = [](RunOptions& o, const OptionValue& v) { o.stabilize.borders = v.text; };
        s.read = [](const RunOptions& o) { return text_of(o.stabilize.borders); };
        t.push_back(s);
    }
    {
        OptionRow s{"threads",
                     OptionKind::count,
                     frames,
                     "N",
                     "1: decode, measure and write one after another on one thread (0, the "
                     "default, or more: each on its own thread; the results are the same)",
                     "0",
                     0,
                     kCountHigh};
        s.store = [](RunOptions& o, const OptionValue& v) {
            o.threads = static_cast<int>(std::min<int64_t>(v.count, 1 << 30));
        };
        s.read = [](const RunOptions& o) { return count_of(o.threads); };
        t.push_back(s);
    }
    {
        OptionRow s{"engine_threads",
                     OptionKind::count,
                     frames,
                     "N",
                     "Split each frame's measurement into bands of rows on N threads (1 to 64; "
                     "default: 2 with the pipeline on two or more cores, else 1, or "
                     "ORVANE_THREADS; the results are the same)",
                     "",
                     1,
                     64};
        s.has_unset = true, s.unset = 0;
        s.store = [](RunOptions& o, const OptionValue& v) {
            o.engine_threads = static_cast<int>(v.count);
        };
        s.read = [](const RunOptions& o) { return count_of(o.engine_threads); };
        t.push_back(s);
    }
    {
        OptionRow s{"force",
                     OptionKind::flag,
                     frames,
                     "",
                     "Replace the results of an earlier run in DIR, on success (only the files "
                     "its summary.json lists; a folder holding other files is refused)",
                     ""};
        s.store = [](RunOptions& o, const OptionValue& v) { o.force = v.flag; };
        s.read = [](const RunOptions& o) { return flag_of(o.force); };
        t.push_back(s);
    }
    {
        OptionRow s{"quiet",
                     OptionKind::flag,
                     frames,
                     "",
                     "No progress, notices or result table; errors only",
                     ""};
        s.store = [](RunOptions& o, const OptionValue& v) { o.quiet = v.flag; };
        s.read = [](const RunOptions& o) { return flag_of(o.quiet); };
        t.push_back(s);
    }
    {
        OptionRow s{
            "verbose", OptionKind::flag, frames, "", "Also show what FFmpeg says about the input",
            ""};
        s.store = [](RunOptions& o, const OptionValue& v) { o.verbose = v.flag; };
        s.read = [](const RunOptions& o) { return flag_of(o.verbose); };
        t.push_back(s);
    }
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
    std::string flag = std::string("--") + row.name;
    std::replace(flag.begin(), flag.end(), '_', '-');
    return flag;
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
            if (std::find(row.keywords.begin(), row.keywords.end(), v.text) !=
                row.keywords.end()) {
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
                if (std::find(row.keywords.begin(), row.keywords.end(), n) ==
                    row.keywords.end()) {
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

std::string check_run_options(const RunOptions& o) {
    for (const OptionRow& row : run_option_table()) {
        const OptionValue v = row.read(o);
        if (row.has_unset && row.kind == OptionKind::count &&
            static_cast<double>(v.count) == row.unset) {
            continue;
        }
        if (std::string why = judge_option(row, v, option_flag(row)); !why.empty()) return why;
    }
    return {};
}
