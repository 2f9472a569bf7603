// orvane-flow's main job inside the module: `_run_flow` fills the tool's RunOptions from a
// Python dict of settings (named as the tool's options, with underscores) and runs it without
// the GIL, handing back the exit code and the tool's message. orvane/flow.py turns that into
// orvane.flow.analyze. Built without the tool (ORVANE_WITH_FLOW unset), `_run_flow` raises.
#pragma once

#include <pybind11/pybind11.h>

namespace orvane_py {

void define_flow(pybind11::module_& m);

}  // namespace orvane_py
