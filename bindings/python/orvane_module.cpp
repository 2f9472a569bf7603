// `orvane._core`, the compiled part of the `orvane` package: CoOrvane for Python, with NumPy
// arrays in and out. orvane/__init__.py re-exports all of it.
//
// The Python class is built from the component's member table: every row of the table becomes
// an attribute under its own name, with its help string as docstring, and the wrapper for a
// row is chosen by the exact C++ type of the method that implements it. A member that the
// table gains without a matching wrapper fails the build, not a user's program.
//
// Each Python object owns one CCoOrvane, made by the same two construction phases as any
// object of the class. The component takes no lock, so the wrapper serialises the calls on one
// object with its own mutex; the GIL is released for the duration of every member call, so two
// objects run on two threads at the same time.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <bit>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analysis_bindings.hpp"
#include "array_bridge.hpp"
#include "component/co_orvane.hpp"
#include "component/host_support.hpp"
#include "component/members.hpp"
#include "engine/motion_engine.hpp"
#include "error_bridge.hpp"
#include "flow_bridge.hpp"
#include "primitives/primitives.hpp"

namespace py = pybind11;
using namespace orvane_py;

namespace {

// ---- the Python object ---------------------------------------------------------------------

class PyCoOrvane {
  public:
    PyCoOrvane() : object(CCoOrvane::create_instance()) {
        if (!object) throw std::bad_alloc();  // pybind11 raises MemoryError
    }

    // Runs one member without the GIL and under the object's lock, and returns what it
    // reported. `member` must not touch Python objects.
    template <class Member>
    CallOutcome call(Member&& member) {
        CallOutcome outcome;
        py::gil_scoped_release no_gil;
        std::lock_guard<std::mutex> hold(lock);
        collect_error_record();  // a message from an earlier call is not this call's message
        outcome.hr = member(*object);
        outcome.message = collect_error_record();
        return outcome;
    }

    // State for repr(), read under the lock.
    struct Snapshot {
        bool created, stale;
        int32_t frames;
    };
    Snapshot snapshot() {
        py::gil_scoped_release no_gil;
        std::lock_guard<std::mutex> hold(lock);
        return {object->is_created(), object->is_stale(),
                object->engine_view().get_frames_processed()};
    }

  private:
    std::unique_ptr<CCoOrvane> object;
    std::mutex lock;
};

// ---- conversions of scalar arguments -----------------------------------------------------

// A Python integer (or anything with __index__, such as a NumPy integer) as a 32-bit LONG.
// Floats and strings are refused rather than truncated or parsed.
LONG to_long(py::handle value, const char* what) {
    if (!PyIndex_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.100s", what,
                     Py_TYPE(value.ptr())->tp_name);
        throw py::error_already_set();
    }
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "%s must fit in a 32-bit signed integer, got %S", what,
                     index.ptr());
        throw py::error_already_set();
    }
    return static_cast<LONG>(v);
}

double to_double(py::handle value, const char* what) {
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s must be a real number, not %.100s", what,
                         Py_TYPE(value.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    return v;
}

// OLECHAR is a UTF-16 code unit in the machine's byte order.
constexpr bool little_endian = std::endian::native == std::endian::little;

// An owned automation string; null stands for None.
using orvane_host::OwnedBstr;

void to_bstr(py::handle value, const char* what, OwnedBstr& out) {
    if (value.is_none()) return;
    if (!PyUnicode_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, not %.100s", what,
                     Py_TYPE(value.ptr())->tp_name);
        throw py::error_already_set();
    }
    // Lone surrogates pass through unchanged, as automation strings may hold them.
    py::object bytes = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(
        value.ptr(), little_endian ? "utf-16-le" : "utf-16-be", "surrogatepass"));
    if (!bytes) throw py::error_already_set();
    const auto size = PyBytes_GET_SIZE(bytes.ptr());
    out = OwnedBstr(
        std::u16string_view(reinterpret_cast<const OLECHAR*>(PyBytes_AS_STRING(bytes.ptr())),
                            static_cast<size_t>(size / 2)));
    if (!out.get()) throw std::bad_alloc();
}

py::str from_bstr(BSTR text) {
    if (!text) return py::str("");
    int byte_order = little_endian ? -1 : 1;  // explicit, so a leading U+FEFF is kept as text
    PyObject* s = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text),
                                        static_cast<Py_ssize_t>(SysStringByteLen(text)),
                                        "surrogatepass", &byte_order);
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// What a Python user needs beyond the help string, by member name.
const char* usage_of(std::string_view name) {
    struct Usage {
        const char* name;
        const char* text;
    };
    static constexpr Usage usage[] = {
        {"lines", "Image height in rows (int > 0, default 128)."},
        {"columns", "Image width in pixels (int > 0, a multiple of 4, default 128)."},
        {"timederivative_mode",
         "\"recursive\" (default) or \"batch\"; see "
         "list_timederivative_modes(). Fixed while the engine exists."},
        {"computation_mode",
         "\"changedetection\", \"orvane\", \"affineparams\" or \"all\" "
         "(default); see list_computation_modes(). Fixed while the engine "
         "exists."},
        {"input_filter",
         "Nonzero smooths every frame before use (default 0); read by "
         "create_orvane()."},
        {"regularizer",
         "Constant added to the squared gradient (float, default 0.01); read by "
         "create_orvane()."},
        {"create_orvane", "Builds the engine from the current settings."},
        {"destroy_orvane",
         "Releases the engine. Without an engine it returns normally and "
         "issues a RuntimeWarning."},
        {"process_data",
         "Feeds one frame: a float32 array of shape (lines, columns). A "
         "C-contiguous array is read in place, without a copy."},
        {"imgbuffer",
         "Frame i of the last five in time order (0 oldest, 4 newest) with its "
         "two-pixel border: a new float32 array of shape (lines + 4, columns + 4)."},
        {"imgdebug",
         "Slot i (0 to 4) of the frame history in storage order: a new float32 "
         "array of shape (lines, columns)."},
        {"list_timederivative_modes",
         "The time-derivative keywords, each followed by a line "
         "feed."},
        {"list_computation_modes",
         "The computation-mode keywords, each followed by a line "
         "feed."},
    };
    for (const Usage& u : usage)
        if (name == u.name) return u.text;
    return "A new float32 array of shape (lines, columns).";  // the fourteen result images
}

// Methods start with a signature line written here, because their arguments are taken as
// plain objects (so that the component's checks, not overload resolution, answer bad values)
// and would otherwise show as "handle".
const char* signature_of(std::string_view name) {
    if (name == "process_data") return "process_data(self, img: numpy.ndarray) -> None";
    if (name == "imgbuffer") return "imgbuffer(self, i: int) -> numpy.ndarray";
    if (name == "imgdebug") return "imgdebug(self, i: int) -> numpy.ndarray";
    if (name == "create_orvane") return "create_orvane(self) -> None";
    if (name == "destroy_orvane") return "destroy_orvane(self) -> None";
    if (name == "list_timederivative_modes") return "list_timederivative_modes(self) -> str";
    if (name == "list_computation_modes") return "list_computation_modes(self) -> str";
    return nullptr;
}

std::string doc_of(const MemberInfo& row) {
    const char* signature = signature_of(row.name);
    return (signature ? std::string(signature) + "\n\n" : std::string()) + row.help + "\n\n" +
           usage_of(row.name);
}

// Runs an image getter, getter(object, &variant), and hands the array it made over as a new
// NumPy array.
template <class Getter>
py::array read_image(PyCoOrvane& self, Getter&& getter) {
    VARIANT v;
    VariantInit(&v);
    const CallOutcome outcome = self.call([&](CCoOrvane& o) { return getter(o, &v); });
    if (FAILED(outcome.hr)) VariantClear(&v);
    check_outcome(outcome);
    return take_image(v);
}

// ---- one wrapper per method signature of the member table --------------------------------

using Cls = py::class_<PyCoOrvane>;

// What one row of the table turns into.
struct Wrapped {
    const MemberInfo* row = nullptr;
    py::cpp_function function;
};

struct Wrapper {
    Cls& cls;
    std::vector<Wrapped>& rows;

    void add(const MemberInfo& row, py::cpp_function f) { rows.push_back({&row, std::move(f)}); }

    template <class... Extra>
    py::cpp_function make(const MemberInfo& row, auto&& fn, Extra&&... extra) {
        const std::string doc = doc_of(row);
        return py::cpp_function(std::forward<decltype(fn)>(fn), py::name(row.name),
                                py::is_method(cls), py::doc(doc.c_str()),
                                std::forward<Extra>(extra)...);
    }

    void operator()(const MemberInfo& row, HRESULT (CCoOrvane::*m)(LONG*)) {
        add(row, make(row, [m](PyCoOrvane& self) {
                LONG v = 0;
                check_outcome(self.call([&](CCoOrvane& o) { return (o.*m)(&v); }));
                return static_cast<int>(v);
            }));
    }
    void operator()(const MemberInfo& row, HRESULT (CCoOrvane::*m)(LONG)) {
        add(row, make(row, [m, name = row.name](PyCoOrvane& self, py::handle value) {
                const LONG v = to_long(value, name);
                check_outcome(self.call([&](CCoOrvane& o) { return (o.*m)(v); }));
            }));
    }
    void operator()(const MemberInfo& row, HRESULT (CCoOrvane::*m)(double*)) {
        add(row, make(row, [m](PyCoOrvane& self) {
                double v = 0.0;
                check_outcome(self.call([&](CCoOrvane& o) { return (o.*m)(&v); }));
                return v;
            }));
    }
    void operator()(const MemberInfo& row, HRESULT (CCoOrvane::*m)(double)) {
        add(row, make(row, [m, name = row.name](PyCoOrvane& self, py::handle value) {
                const double v = to_double(value, name);
                check_outcome(self.call([&](CCoOrvane& o) { return (o.*m)(v); }));
            }));
    }
    // String getters and the two keyword lists.
    void operator()(const MemberInfo& row, HRESULT (CCoOrvane::*m)(BSTR*)) {
        add(row, make(row, [m](PyCoOrvane& self) {
                OwnedBstr v;
                check_outcome(self.call([&](CCoOrvane& o) { return (o.*m)(v.out()); }));
                return from_bstr(v.get());
            }));
    }
    void operator()(const MemberInfo& row, HRESULT (CCoOrvane::*m)(BSTR)) {
        add(row, make(row, [m, name = row.name](PyCoOrvane& self, py::handle value) {
                OwnedBstr v;
                to_bstr(value, name, v);
                check_outcome(self.call([&](CCoOrvane& o) { return (o.*m)(v.get()); }));
            }));
    }
    void operator()(const MemberInfo& row, HRESULT (CCoOrvane::*m)()) {
        add(row, make(row, [m](PyCoOrvane& self) {
                check_outcome(self.call([&](CCoOrvane& o) { return (o.*m)(); }));
            }));
    }
    void operator()(const MemberInfo& row, HRESULT (CCoOrvane::*m)(VARIANT)) {
        add(row,
            make(
                row,
                [m](PyCoOrvane& self, py::handle img) {
                    const InputFrame frame(img);
                    set_last_input_address(frame.data());
                    check_outcome(self.call([&](CCoOrvane& o) { return (o.*m)(frame.variant()); }));
                },
                py::arg(row.params[0].name)));
    }
    void operator()(const MemberInfo& row, HRESULT (CCoOrvane::*m)(VARIANT*)) {
        add(row, make(row, [m](PyCoOrvane& self) {
                return read_image(self, [&](CCoOrvane& o, VARIANT* v) { return (o.*m)(v); });
            }));
    }
    void operator()(const MemberInfo& row, HRESULT (CCoOrvane::*m)(LONG, VARIANT*)) {
        add(row, make(
                     row,
                     [m](PyCoOrvane& self, py::handle index) {
                         const LONG i = to_long(index, "i");
                         return read_image(self,
                                           [&](CCoOrvane& o, VARIANT* v) { return (o.*m)(i, v); });
                     },
                     py::arg(row.params[0].name)));
    }
};

// The component's description of its result images: {name: (modes that compute it, region)},
// the modes as computation_mode spells them, in the order list_computation_modes gives them.
py::dict result_image_table() {
    const std::unique_ptr<CCoOrvane> object(CCoOrvane::create_instance());
    if (!object) throw std::bad_alloc();
    OwnedBstr list;
    if (FAILED(object->list_computation_modes(list.out()))) throw std::bad_alloc();
    std::vector<std::string> modes;
    std::string keyword;
    for (const OLECHAR c : list.text()) {
        if (c == u'\n') {
            modes.push_back(keyword);
            keyword.clear();
        } else {
            keyword.push_back(static_cast<char>(c));  // the keywords are ASCII
        }
    }
    py::dict table;
    for (const ResultImageInfo& r : kResultImages) {
        py::list computed_by;
        for (const std::string& mode : modes)
            if (orvane_mode_computes(mode, r.image)) computed_by.append(mode);
        table[r.name] = py::make_tuple(py::tuple(computed_by),
                                       r.region == ImageRegion::interior ? "interior" : "plain");
    }
    return table;
}

// Defines every member on the class, in table order: getter and putter pairs as read-write
// properties, lone getters as read-only properties, indexed getters and methods as methods.
void define_members(Cls& cls) {
    std::vector<Wrapped> rows;
    orvane_visit_members(Wrapper{cls, rows});
    for (size_t k = 0; k < rows.size(); ++k) {
        const MemberInfo& row = *rows[k].row;
        const std::string doc = doc_of(row);
        const bool indexed = row.kind == MemberKind::propget && row.param_count > 1;
        if (row.kind == MemberKind::method || indexed) {
            cls.attr(row.name) = rows[k].function;
        } else if (row.kind == MemberKind::propget) {
            const bool has_putter = k + 1 < rows.size() &&
                                    rows[k + 1].row->kind == MemberKind::propput &&
                                    std::strcmp(rows[k + 1].row->name, row.name) == 0;
            if (has_putter) {
                cls.def_property(row.name, rows[k].function, rows[k + 1].function, doc.c_str());
                ++k;
            } else {
                cls.def_property_readonly(row.name, rows[k].function, doc.c_str());
            }
        } else {
            throw std::logic_error(std::string("putter without a getter: ") + row.name);
        }
    }
}

py::list member_table() {
    py::list out;
    for (const MemberInfo& m : orvane_members) {
        py::list params;
        for (int32_t p = 0; p < m.param_count; ++p) {
            const MemberParam& param = m.params[p];
            params.append(py::make_tuple(
                param.name, param.direction == ParamDirection::in ? "in" : "out_retval",
                param.idl_type));
        }
        py::dict row;
        row["position"] = m.position;
        row["dispid"] = m.dispid;
        row["name"] = m.name;
        row["kind"] = member_kind_name(m.kind);
        row["cpp_name"] = m.cpp_name;
        row["params"] = params;
        row["help"] = m.help;
        out.append(row);
    }
    return out;
}

std::string repr_of(py::object self) {
    auto& o = self.cast<PyCoOrvane&>();
    const auto state = o.snapshot();
    const char* name = !state.created ? "idle" : state.stale ? "stale" : "running";
    auto show = [&](const char* attribute) {
        return std::string(" ") + attribute + "=" +
               py::repr(self.attr(attribute)).cast<std::string>();
    };
    std::string text = "<orvane.CoOrvane" + show("lines") + show("columns") +
                       show("timederivative_mode") + show("computation_mode") +
                       show("input_filter") + show("regularizer") + " state=" + name;
    if (state.created) text += " frames=" + std::to_string(state.frames);
    return text + ">";
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() =
        "Image motion in grey-level frame streams.\n\n"
        "CoOrvane takes one float32 frame of shape (lines, columns) per process_data() call and\n"
        "hands back the temporal and spatial derivatives, the flow along the brightness\n"
        "gradient (Un, Vn, Fn2) and the affine moment images as new NumPy arrays. Failing\n"
        "members raise OrvaneError (with .hresult and .message) or one of its subclasses.";
    m.attr("__version__") = ORVANE_VERSION;
    py::options options;
    options.disable_function_signatures();
    register_exceptions(m);

    Cls cls(m, "CoOrvane",
            "CoOrvane Class: one motion-measuring object.\n\n"
            "Set lines, columns and the modes, call create_orvane(), then process_data(frame)\n"
            "once per frame and read the result images (Un, Vn, It, ...). Calls on one object\n"
            "are serialised; distinct objects run in parallel on separate threads.\n\n"
            "Used as a context manager, the engine is destroyed on leaving the block.");
    cls.def(py::init<>(),
            "__init__(self) -> None\n\nA new object with the default settings (128 x 128, "
            "\"recursive\", \"all\", no input filter, regularizer 0.01) and no engine.");
    define_members(cls);
    cls.def("__repr__", &repr_of);
    cls.def(
        "__enter__", [](py::object self) { return self; },
        "__enter__(self) -> CoOrvane\n\nReturns the object itself.");
    cls.def(
        "__exit__",
        [](py::object self, py::args) {
            auto& o = self.cast<PyCoOrvane&>();
            // Leaving the block destroys the engine if one exists; no warning when the body has
            // already destroyed it.
            if (o.snapshot().created) self.attr("destroy_orvane")();
            return false;
        },
        "__exit__(self, *exc_info) -> False\n\nDestroys the engine if one exists.");

    m.def(
        "last_error", []() -> std::optional<std::string> { return thread_last_message(); },
        "last_error() -> str | None\n\nThe last message the component recorded on the calling "
        "thread, or None.");
    m.def("cpu_type", &prim_cpu_type,
          "cpu_type() -> int\n\nProcessor type code of this machine (0-8, 16 or 17).");
    m.def("cpu_class", &prim_cpu_class,
          "cpu_class() -> int\n\nProcessor class of this machine (0-3): the best kernel column it "
          "may use.");
    m.def(
        "fill_slots",
        [](py::handle column) {
            const LONG k = to_long(column, "k");
            if (k < 0 || k > 3) throw py::value_error("k must be 0, 1, 2 or 3");
            return prim_fill_slots(k) == 1;
        },
        py::arg("k"),
        "fill_slots(k: int) -> bool\n\nPoints every image kernel at its variant in column k (0 "
        "plain to 3 SSE2) and returns\n"
        "True when every kernel has one. Every CoOrvane construction selects the best column\n"
        "again, so the choice holds until the next object is constructed.");
    m.def(
        "set_engine_threads",
        [](py::handle n) {
            const LONG threads = to_long(n, "n");
            if (threads < 1 || threads > 64) throw py::value_error("n must be from 1 to 64");
            engine_set_threads(threads);
        },
        py::arg("n"),
        "set_engine_threads(n: int) -> None\n\nSplits each frame of every object into bands of "
        "rows computed on n threads (1 to 64;\nthe results are the same for any n). Process-wide; "
        "objects follow it from their next frame.\nThe default is 1, or ORVANE_THREADS when set.");
    m.def("engine_threads", &engine_threads,
          "engine_threads() -> int\n\nThe number of threads each frame is split over "
          "(set_engine_threads).");
    define_flow(m);
    m.attr("RESULT_IMAGES") = result_image_table();
    m.def("_members", &member_table,
          "The component's member table: one dict per interface member, in interface order.");
    m.def("_live_result_images", &live_result_images,
          "Result arrays whose memory the module still holds (for leak checks).");
    m.def(
        "_last_input_address", [] { return reinterpret_cast<uintptr_t>(last_input_address()); },
        "Address of the element block that the last process_data on this thread handed to\n"
        "the component (for zero-copy checks).");
    register_analysis(m);
}
