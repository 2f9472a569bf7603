#include "flow_bridge.hpp"

#include <pybind11/stl.h>

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#ifdef ORVANE_WITH_FLOW
#include "flow/options.hpp"
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

// The Python value as a value of the option's kind: it must already be of that kind (no float
// truncated to an int, no number parsed from text); the rules are the option table's, the
// same the command line applies.
OptionValue value_of(const OptionRow& row, py::handle v, const std::string& name) {
    OptionValue out;
    switch (row.kind) {
        case OptionKind::count:
            if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr())) type_error(name, "an int", v);
            try {
                out.count = py::int_(py::reinterpret_borrow<py::object>(v)).cast<int64_t>();
            } catch (const py::cast_error&) {
                // Beyond 64 bits, so beyond every range of the table: its rule, with the value
                // as given.
                OptionValue beyond;
                beyond.count = std::numeric_limits<int64_t>::max();
                std::string why = judge_option(row, beyond, name);
                const std::string shown = std::to_string(beyond.count);
                why.replace(why.find(shown), shown.size(), py::repr(v).cast<std::string>());
                throw py::value_error(why);
            }
            break;
        case OptionKind::number:
            if (PyBool_Check(v.ptr()) || !(PyFloat_Check(v.ptr()) || PyIndex_Check(v.ptr())))
                type_error(name, "a real number", v);
            out.number = py::float_(py::reinterpret_borrow<py::object>(v)).cast<double>();
            break;
        case OptionKind::keyword:
        case OptionKind::text:
            // The stabiliser's smoothing is a number of seconds or "tripod": a number is taken
            // as the command line's text of it.
            if (std::string(row.name) == "smoothing" && !PyBool_Check(v.ptr()) &&
                (PyFloat_Check(v.ptr()) || PyIndex_Check(v.ptr()))) {
                out.text = py::str(v).cast<std::string>();
                break;
            }
            if (!PyUnicode_Check(v.ptr())) type_error(name, "a str", v);
            out.text = v.cast<std::string>();
            break;
        case OptionKind::flag:
            if (!PyBool_Check(v.ptr())) type_error(name, "a bool", v);
            out.flag = v.ptr() == Py_True;
            break;
        case OptionKind::names:
            // A list of names, or one text of names separated by commas, as on the command line.
            if (PyUnicode_Check(v.ptr())) {
                std::string error;
                parse_option_text(row, v.cast<std::string>(), name, &out, &error);
            } else if (py::isinstance<py::sequence>(v)) {
                for (py::handle item : v) {
                    if (!PyUnicode_Check(item.ptr())) type_error(name + " items", "str", item);
                    out.names.push_back(item.cast<std::string>());
                }
            } else {
                type_error(name, "a list of image names or a str", v);
            }
            break;
    }
    return out;
}

std::vector<std::string> setting_names() {
    std::vector<std::string> names;
    for (const OptionRow& s : run_option_table()) names.push_back(s.name);
    return names;
}

const OptionRow& setting_named(const std::string& name) {
    if (const OptionRow* row = find_run_option(name)) return *row;
    std::string known;
    for (const std::string& n : setting_names()) known += (known.empty() ? "" : ", ") + n;
    throw py::type_error("unknown setting '" + name + "' (the settings are: " + known + ")");
}

// A setting given as text (orvane.batch -s NAME=TEXT) as the Python value of its kind, read
// as the command line reads the option; ValueError when the text is no value of that kind.
py::object setting_from_text(const std::string& name, const std::string& text) {
    const OptionRow& row = setting_named(name);
    OptionValue v;
    std::string error;
    if (!parse_option_text(row, text, name, &v, &error)) throw py::value_error(error);
    switch (row.kind) {
        case OptionKind::count: return py::int_(v.count);
        case OptionKind::number: return py::float_(v.number);
        case OptionKind::flag: return py::bool_(v.flag);
        case OptionKind::names: return py::cast(v.names);
        default: return py::str(v.text);
    }
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
        const OptionRow& row = setting_named(name);
        std::string error;
        if (!set_run_option(o, row, value_of(row, value, name), name, &error)) {
            throw py::value_error(error);
        }
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
    m.def("_flow_setting_from_text", &setting_from_text, py::arg("name"), py::arg("text"),
          "The value of a setting given as text (orvane.batch -s NAME=TEXT), read as the "
          "command line reads the option.");
#else
    m.def(
        "_run_flow",
        [](py::handle, py::handle, py::handle) -> py::tuple {
            throw std::runtime_error("this orvane module was built without orvane-flow");
        },
        py::arg("inputs"), py::arg("out"), py::arg("settings"));
    m.def("_flow_settings", [] { return std::vector<std::string>(); });
    m.def("_flow_setting_from_text", [](const std::string&, const std::string& text) {
        return py::str(text);
    });
#endif
}

}  // namespace orvane_py
