#include "flow_bridge.hpp"

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#ifdef ORVANE_WITH_FLOW
#include "flow/flow_job.hpp"
#include "flow/interrupts.hpp"
#include "flow/options.hpp"
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
        case OptionKind::count:
            return py::int_(v.count);
        case OptionKind::number:
            return py::float_(v.number);
        case OptionKind::flag:
            return py::bool_(v.flag);
        case OptionKind::names:
            return py::cast(v.names);
        default:
            return py::str(v.text);
    }
}

RunOptions options_from(py::handle inputs, const py::object& out, const py::dict& settings) {
    RunOptions o;
    o.write_folder = !out.is_none();
    if (o.write_folder) o.out = out.cast<std::string>();
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
    if (o.stabilize.video.empty() &&
        (settings.contains("smoothing") || settings.contains("borders"))) {
        throw py::value_error(
            "smoothing and borders shape the stabilised video; give stabilize too "
            "(or call orvane.flow.stabilize)");
    }
    return o;
}

// The columns of frames.csv whose cells are whole numbers.
bool whole_column(const std::string& name) {
    return name == "frame" || name == "affine_frame" || name == "flow_frame" ||
           name == "beyond_range";
}

std::vector<std::string> column_names() {
    std::vector<std::string> names;
    const std::string header = kFramesCsvHeader;
    for (size_t start = 0; start <= header.size();) {
        const size_t comma = std::min(header.find(',', start), header.size());
        names.push_back(header.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

// Digits with an optional sign: a cell that a CSV reader takes for an integer.
bool integer_text(const std::string& cell) {
    const size_t first = !cell.empty() && cell[0] == '-' ? 1 : 0;
    return cell.size() > first && std::all_of(cell.begin() + first, cell.end(),
                                              [](char c) { return c >= '0' && c <= '9'; });
}

// One frame as a dict of frames.csv's columns: an int or a float, None where the cell is
// empty.
py::dict record_dict(const FrameRecord& record) {
    static const std::vector<std::string> names = column_names();
    const std::vector<std::string> cells = frame_cells(record);
    py::dict row;
    for (size_t k = 0; k < names.size(); ++k) {
        const std::string& c = cells[k];
        if (c.empty())
            row[names[k].c_str()] = py::none();
        else if (whole_column(names[k]))
            row[names[k].c_str()] = py::int_(std::strtoll(c.c_str(), nullptr, 10));
        else
            row[names[k].c_str()] = py::float_(std::strtod(c.c_str(), nullptr));
    }
    return row;
}

// The per-frame table as frames.csv holds it, column by column, as a CSV reader (pandas, or
// the module's own) reads the file back: a column of integers without an empty cell as int64,
// any other as float64 with NaN for the empty cells.
py::dict frame_table(const std::vector<FrameRecord>& records) {
    const std::vector<std::string> names = column_names();
    std::vector<std::vector<std::string>> cells;
    cells.reserve(records.size());
    for (const FrameRecord& r : records) cells.push_back(frame_cells(r));
    py::dict table;
    for (size_t k = 0; k < names.size(); ++k) {
        const bool whole = std::all_of(cells.begin(), cells.end(),
                                       [&](const auto& row) { return integer_text(row[k]); });
        const auto n = static_cast<py::ssize_t>(cells.size());
        if (whole) {
            py::array_t<int64_t> column(n);
            for (py::ssize_t i = 0; i < n; ++i) {
                column.mutable_at(i) = std::strtoll(cells[i][k].c_str(), nullptr, 10);
            }
            table[names[k].c_str()] = column;
        } else {
            py::array_t<double> column(n);
            for (py::ssize_t i = 0; i < n; ++i) {
                const std::string& c = cells[i][k];
                column.mutable_at(i) = c.empty() ? std::numeric_limits<double>::quiet_NaN()
                                                 : std::strtod(c.c_str(), nullptr);
            }
            table[names[k].c_str()] = column;
        }
    }
    return table;
}

// The measuring job without the GIL; its summary as summary.json's text, and its table.
py::tuple analyze(py::handle inputs, const py::object& out, const py::dict& settings,
                  const py::object& on_frame, bool catch_interrupts) {
    const RunOptions options = options_from(inputs, out, settings);
    JobHost host;
    host.spelling = Spelling::python;
    if (!on_frame.is_none()) {
        host.on_frame = [&on_frame](const FrameRecord& record) {
            const py::gil_scoped_acquire gil;
            on_frame(record_dict(record));
        };
    }
    JobResult result;
    {
        // Ctrl-C while the job runs (called from the main thread) ends it at the next frame, as
        // on the command line: the frames so far are kept, and KeyboardInterrupt follows once
        // they are. Python's own handler is back in place before any Python code runs again.
        std::optional<InterruptGuard> interrupts;
        if (catch_interrupts) {
            interrupts.emplace();
            host.cancelled = &InterruptGuard::requested;
        }
        try {
            const py::gil_scoped_release no_gil;
            result = run_flow_job(options, host);
        } catch (const ComponentError& e) {
            throw FlowError(e.what());
        } catch (const std::bad_alloc&) {
            throw FlowError("out of memory");
        }
    }
    if (result.interrupted) {
        const std::string message =
            "interrupted after " + std::to_string(result.records.size()) + " frames" +
            (options.write_folder ? "; the results so far are in '" + options.out + "'" : "");
        PyErr_SetString(PyExc_KeyboardInterrupt, message.c_str());
        throw py::error_already_set();
    }
    return py::make_tuple(summary_json(result), frame_table(result.records));
}

#endif  // ORVANE_WITH_FLOW

}  // namespace

void define_flow(py::module_& m) {
#ifdef ORVANE_WITH_FLOW
    // The job's failures as orvane.flow raises them: a refused setting is a ValueError, an
    // input or output that cannot be used orvane.flow.FlowError.
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const UsageError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const Interrupted& e) {
            PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
        } catch (const FlowError& e) {
            const py::object type = py::module_::import("orvane.flow").attr("FlowError");
            PyErr_SetString(type.ptr(), e.what());
        }
    });
    m.def("_analyze", &analyze, py::arg("inputs"), py::arg("out"), py::arg("settings"),
          py::arg("on_frame") = py::none(), py::arg("catch_interrupts") = false,
          "_analyze(inputs, out, settings, on_frame=None, catch_interrupts=False) -> "
          "(summary_text, table)\n\nRuns the measuring job of orvane-flow without the GIL; "
          "inputs is None (the built-in sequence), a path or a list of image paths; out None "
          "writes no folder; catch_interrupts (from the main thread only): Ctrl-C ends the run "
          "at the next frame, keeping the frames so far, then raises KeyboardInterrupt. "
          "orvane.flow.analyze is the public face of this.");
    m.def(
        "_flow_check_settings",
        [](const py::dict& settings) {
            check_job_options(options_from(py::none(), py::none(), settings), Spelling::python);
        },
        py::arg("settings"),
        "Judges the settings as analyze() does before it reads any input: TypeError or "
        "ValueError for a refused one.");
    m.def("_flow_settings", &setting_names, "The settings orvane.flow.analyze takes.");
    m.def("_flow_setting_from_text", &setting_from_text, py::arg("name"), py::arg("text"),
          "The value of a setting given as text (orvane.batch -s NAME=TEXT), read as the "
          "command line reads the option.");
#else
    m.def(
        "_analyze",
        [](py::handle, py::handle, py::handle, py::handle, bool) -> py::tuple {
            throw std::runtime_error("this orvane module was built without orvane-flow");
        },
        py::arg("inputs"), py::arg("out"), py::arg("settings"), py::arg("on_frame") = py::none(),
        py::arg("catch_interrupts") = false);
    m.def(
        "_flow_check_settings", [](const py::dict&) {}, py::arg("settings"));
    m.def("_flow_settings", [] { return std::vector<std::string>(); });
    m.def("_flow_setting_from_text",
          [](const std::string&, const std::string& text) { return py::str(text); });
#endif
}

}  // namespace orvane_py
