// orvane-flow's measuring job inside the module: `_analyze` fills the job's RunOptions from a
// Python dict of settings (named as the tool's options, with underscores), runs it without the
// GIL and hands back summary.json's text and the per-frame table as NumPy columns, from
// memory; the job's typed failures become ValueError and orvane.flow.FlowError, with messages
// that name the settings as Python spells them. orvane/flow.py turns that into
// orvane.flow.analyze. Built without the tool (ORVANE_WITH_FLOW unset), `_analyze` raises.
#pragma once

#include <pybind11/pybind11.h>

namespace orvane_py {

void define_flow(pybind11::module_& m);

}  // namespace orvane_py
