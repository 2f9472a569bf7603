#include "flow_bridge.hpp"

#include <pybind11/stl.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

#ifdef ORVANE_WITH_FLOW
#include "analysis/window.hpp"
#include "flow/run.hpp"
#endif

namespace py = pybind11;

namespace orvane_py {
namespace {

#ifdef ORVANE_WITH_FLOW

[[noreturn]] void type_error(const std::string& name, const char* wanted, py::handle value) {
    throw py::type_error(name + " must be " + wanted + ", not " +
                         std::string(Py_TYPE(value.ptr())->tp_name));
}

// One converter per field type: the Python value must already be of that kind (no float
// truncated to an int, no number parsed from text); the range is the run's to judge.
void assign(std::string& field, py::handle v, const std::string& name) {
    if (!PyUnicode_Check(v.ptr())) type_error(name, "a str", v);
    field = v.cast<std::string>();
}
void assign(bool& field, py::handle v, const std::string& name) {
    if (!PyBool_Check(v.ptr())) type_error(name, "a bool", v);
    field = v.ptr() == Py_True;
}
template <class Int>
    requires std::is_integral_v<Int>
void assign(Int& field, py::handle v, const std::string& name) {
    if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr())) type_error(name, "an int", v);
    try {
        field = py::int_(py::reinterpret_borrow<py::object>(v)).cast<Int>();
    } catch (const py::cast_error&) {
        throw py::value_error(name + " is out of range: " + py::repr(v).cast<std::string>());
    }
}
void assign(double& field, py::handle v, const std::string& name) {
    if (PyBool_Check(v.ptr()) || !(PyFloat_Check(v.ptr()) || PyIndex_Check(v.ptr())))
        type_error(name, "a real number", v);
    field = py::float_(py::reinterpret_borrow<py::object>(v)).cast<double>();
}
// What --save stores: a list of names, or one text of names separated by commas, as on the
// command line. "flow" is the dense flow, the other names are component images; a name given
// twice is stored once.
void assign_save(RunOptions& o, py::handle v, const std::string& name) {
    std::vector<std::string> names;
    if (PyUnicode_Check(v.ptr())) {
        const std::string text = v.cast<std::string>();
        for (size_t start = 0; start <= text.size();) {
            const size_t comma = std::min(text.find(',', start), text.size());
            if (comma > start) names.push_back(text.substr(start, comma - start));
            start = comma + 1;
        }
    } else if (py::isinstance<py::sequence>(v)) {
        for (py::handle item : v) {
            if (!PyUnicode_Check(item.ptr())) type_error(name + " items", "str", item);
            names.push_back(item.cast<std::string>());
        }
    } else {
        type_error(name, "a list of image names or a str", v);
    }
    o.save.clear();
    o.save_flow = false;
    for (const std::string& n : names) {
        if (n == "flow") {
            o.save_flow = true;
            continue;
        }
        ResultImage which;
        if (!parse_result_image(n, &which)) {
            throw py::value_error(name + ": unknown image '" + n + "' (choose from flow " +
                                  result_image_names() + ")");
        }
        if (std::find(o.save.begin(), o.save.end(), which) == o.save.end()) o.save.push_back(which);
    }
}

// A keyword option: the text must be one of `allowed`.
void assign_keyword(std::string& field, py::handle v, const std::string& name,
                    std::initializer_list<const char*> allowed) {
    std::string text;
    assign(text, v, name);
    std::string list;
    for (const char* a : allowed) {
        if (text == a) {
            field = text;
            return;
        }
        list += (list.empty() ? "" : ", ") + std::string(a);
    }
    throw py::value_error(name + " must be one of " + list + ", not \"" + text + "\"");
}

// The settings a Python caller may give, named as the tool's options with underscores for the
// dashes. Each row points at the field of RunOptions the option fills; the field's type picks
// the conversion.
struct Setting {
    const char* name;
    void (*apply)(RunOptions&, py::handle, const std::string&);
};
#define ORVANE_SETTING(name, field) \
    Setting { name, [](RunOptions& o, py::handle v, const std::string& n) { assign(o.field, v, n); } }
const Setting settings_table[] = {
    Setting{"method",
            [](RunOptions& o, py::handle v, const std::string& n) {
                assign_keyword(o.method, v, n,
                               {"pairwise", "compensated", "direct", "global", "align"});
            }},
    Setting{"window",
            [](RunOptions& o, py::handle v, const std::string& n) {
                std::string text, error;
                assign(text, v, n);
                if (!parse_window(text, &o.window, &error)) throw py::value_error(n + ": " + error);
            }},
    ORVANE_SETTING("computation_mode", settings.computation_mode),
    ORVANE_SETTING("timederivative_mode", settings.timederivative_mode),
    ORVANE_SETTING("input_filter", settings.input_filter),
    ORVANE_SETTING("regularizer", settings.regularizer),
    ORVANE_SETTING("frames", frames),
    ORVANE_SETTING("start", start),
    ORVANE_SETTING("every", every),
    Setting{"save", assign_save},
    ORVANE_SETTING("change_threshold", change_threshold),
    Setting{"affine_fit",
            [](RunOptions& o, py::handle v, const std::string& n) {
                std::string fit;
                assign_keyword(fit, v, n, {"robust", "plain"});
                o.robust_fit = fit == "robust";
            }},
    ORVANE_SETTING("video", video),
    ORVANE_SETTING("stabilize", stabilize.video),
    Setting{"smoothing",
            [](RunOptions& o, py::handle v, const std::string& n) {
                // Seconds, or "tripod" for one path of constant velocity.
                if (PyUnicode_Check(v.ptr())) {
                    if (v.cast<std::string>() != "tripod") {
                        throw py::value_error(n + " must be a number of seconds or \"tripod\", not \"" +
                                              v.cast<std::string>() + "\"");
                    }
                    o.stabilize.tripod = true;
                    return;
                }
                assign(o.stabilize.smoothing_s, v, n);
                o.stabilize.tripod = false;
            }},
    Setting{"borders",
            [](RunOptions& o, py::handle v, const std::string& n) {
                assign_keyword(o.stabilize.borders, v, n, {"crop", "black", "mirror"});
            }},
    ORVANE_SETTING("threads", threads),
    ORVANE_SETTING("max_speed", max_speed),
    ORVANE_SETTING("arrows", arrows),
    ORVANE_SETTING("quiet", quiet),
    ORVANE_SETTING("verbose", verbose),
    ORVANE_SETTING("force", force),
};
#undef ORVANE_SETTING

std::vector<std::string> setting_names() {
    std::vector<std::string> names;
    for (const Setting& s : settings_table) names.push_back(s.name);
    return names;
}

RunOptions options_from(py::handle inputs, const std::string& out, const py::dict& settings) {
    RunOptions o;
    o.out = out;
    o.quiet = true;  // a library call prints nothing unless asked to
    if (inputs.is_none()) {
        // the built-in sequence
    } else if (PyUnicode_Check(inputs.ptr())) {
        o.input = inputs.cast<std::string>();
    } else {
        o.images = inputs.cast<std::vector<std::string>>();
        if (o.images.size() == 1) o.input = o.images.front(), o.images.clear();
    }
    for (auto [key, value] : settings) {
        const std::string name = py::str(key);
        const Setting* found = nullptr;
        for (const Setting& s : settings_table)
            if (name == s.name) found = &s;
        if (!found) {
            std::string known;
            for (const std::string& n : setting_names()) known += (known.empty() ? "" : ", ") + n;
            throw py::type_error("unknown setting '" + name + "' (the settings are: " + known +
                                 ")");
        }
        found->apply(o, value, name);
    }
    if (o.stabilize.video.empty() && (settings.contains("smoothing") || settings.contains("borders"))) {
        throw py::value_error(
            "smoothing and borders shape the stabilised video; give stabilize too "
            "(or call orvane.flow.stabilize)");
    }
    return o;
}

#endif  // ORVANE_WITH_FLOW

}  // namespace

void define_flow(py::module_& m) {
#ifdef ORVANE_WITH_FLOW
    m.def(
        "_run_flow",
        [](py::handle inputs, const std::string& out, const py::dict& settings) {
            const RunOptions options = options_from(inputs, out, settings);
            std::string message;
            int code;
            {
                py::gil_scoped_release no_gil;
                code = run_flow_in_process(options, message);
            }
            return py::make_tuple(code, message);
        },
        py::arg("inputs"), py::arg("out"), py::arg("settings"),
        "_run_flow(inputs, out, settings) -> (exit_code, message)\n\nRuns the main job of "
        "orvane-flow without the GIL; inputs is None (the built-in sequence), a path or a "
        "list of image paths. orvane.flow.analyze is the public face of this.");
    m.def("_flow_settings", &setting_names, "The settings orvane.flow.analyze takes.");
#else
    m.def(
        "_run_flow",
        [](py::handle, py::handle, py::handle) -> py::tuple {
            throw std::runtime_error("this orvane module was built without orvane-flow");
        },
        py::arg("inputs"), py::arg("out"), py::arg("settings"));
    m.def("_flow_settings", [] { return std::vector<std::string>(); });
#endif
}

}  // namespace orvane_py
