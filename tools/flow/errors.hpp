// The failures of a run of orvane-flow, typed so that each door says them its own way: the
// command line as an exit status (main.cpp), Python as an exception (flow_bridge.cpp). The
// text is the whole message, without the program's name.
#pragma once

#include <stdexcept>
#include <string>

// The input or the output could not be used.
class FlowError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An option or value that the run refuses.
class UsageError : public FlowError {
  public:
    using FlowError::FlowError;
};

// Ctrl-C (or the host's cancel) before any frame was measured: nothing is written.
class Interrupted : public FlowError {
  public:
    Interrupted() : FlowError("interrupted before the first frame; nothing written") {}
};
