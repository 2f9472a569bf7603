#include "error_bridge.hpp"

#include <pybind11/eval.h>

#include <cstdio>

#include "component/host_support.hpp"

namespace py = pybind11;

namespace orvane_py {
namespace {

thread_local std::optional<std::string> last_message;

// The exception classes live in the module; these are borrowed from its dictionary, which
// keeps them alive as long as the interpreter runs.
PyObject* orvane_error_type = nullptr;
PyObject* invalid_argument_type = nullptr;
PyObject* out_of_memory_type = nullptr;

// Written in Python so that the classes behave like any Python exception: they pickle, user
// code can raise them too, and they print the component's message unchanged.
constexpr const char* exception_source = R"PY(
class OrvaneError(Exception):
    """A CoOrvane member failed.

    ``message`` is the component's text, exactly as it recorded it, and ``hresult`` the
    member's result as an unsigned 32-bit int (for example 0x80004005, E_FAIL). ``str(e)`` is
    the message.
    """

    def __init__(self, message, hresult=0x80004005):
        super().__init__(message, hresult)
        self.message = message
        self.hresult = hresult

    def __str__(self):
        return self.message

    def __repr__(self):
        return "%s(%r, 0x%08X)" % (type(self).__name__, self.message, self.hresult)


class InvalidArgumentError(OrvaneError, ValueError):
    """A CoOrvane member refused an argument value (E_INVALIDARG, 0x80070057)."""


class OutOfMemoryError(OrvaneError, MemoryError):
    """The component could not allocate memory (E_OUTOFMEMORY, 0x8007000E)."""
)PY";

std::string fallback_message(HRESULT hr) {
    if (hr == E_OUTOFMEMORY) return "Out of memory";
    char text[64];
    std::snprintf(text, sizeof text, "Call failed with HRESULT 0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace

std::optional<std::string> collect_error_record() {
    std::optional<std::string> text = orvane_host::take_error_text();
    if (text) last_message = *text;
    return text;
}

std::optional<std::string> thread_last_message() {
    collect_error_record();
    return last_message;
}

void register_exceptions(py::module_& m) {
    py::dict scope = m.attr("__dict__");
    py::exec(exception_source, scope);
    orvane_error_type = scope["OrvaneError"].ptr();
    invalid_argument_type = scope["InvalidArgumentError"].ptr();
    out_of_memory_type = scope["OutOfMemoryError"].ptr();
}

void raise_orvane_error(HRESULT hr, const std::string& message) {
    PyObject* type = orvane_error_type;
    if (hr == E_INVALIDARG) type = invalid_argument_type;
    if (hr == E_OUTOFMEMORY) type = out_of_memory_type;
    py::object error = py::reinterpret_borrow<py::object>(type)(
        py::str(message), py::int_(static_cast<uint32_t>(hr)));
    PyErr_SetObject(type, error.ptr());
    throw py::error_already_set();
}

void check_outcome(const CallOutcome& outcome) {
    if (FAILED(outcome.hr)) {
        raise_orvane_error(outcome.hr,
                           outcome.message ? *outcome.message : fallback_message(outcome.hr));
    }
    // A member that succeeds and still records a message is telling the caller something
    // (destroy_orvane on an object without an engine); a warning keeps the program running.
    if (outcome.message) {
        if (PyErr_WarnEx(PyExc_RuntimeWarning, outcome.message->c_str(), 1) < 0)
            throw py::error_already_set();
    }
}

}  // namespace orvane_py
