// From the component's HRESULTs and per-thread error records to Python exceptions and warnings.
//
// The component records a message for the calling thread and returns an HRESULT. Reading the
// record hands it over and clears it, so the bridge keeps the thread's last message itself:
// orvane.last_error() answers from that copy, and a message recorded by an earlier call is
// never mistaken for the message of the current one. The CoOrvane wrapper calls
// collect_error_record() before and after every member (without the GIL: the record is the
// thread's own) and hands the outcome to check_outcome() once it holds the GIL again.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "component/automation.hpp"

namespace orvane_py {

// One member call as the host saw it: its HRESULT and the message it recorded, if any.
struct CallOutcome {
    HRESULT hr = S_OK;
    std::optional<std::string> message;  // UTF-8
};

// Moves the calling thread's pending error record into the thread's last message. Returns the
// message when there was a record. Needs no GIL.
std::optional<std::string> collect_error_record();

// The last message recorded on the calling thread, or nothing before the first one.
std::optional<std::string> thread_last_message();

// Creates OrvaneError, InvalidArgumentError and OutOfMemoryError in the module.
void register_exceptions(pybind11::module_& m);

// Raises the exception that matches a failed outcome (E_INVALIDARG: InvalidArgumentError,
// E_OUTOFMEMORY: OutOfMemoryError, anything else: OrvaneError), or issues a RuntimeWarning
// when a successful call recorded a message. Needs the GIL.
void check_outcome(const CallOutcome& outcome);

// Raises OrvaneError (or a subclass) for `hr` with `message`, as for a failed member.
[[noreturn]] void raise_orvane_error(HRESULT hr, const std::string& message);

}  // namespace orvane_py
