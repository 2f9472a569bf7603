#pragma once

#include <pybind11/pybind11.h>

// Adds the submodule _analysis to the extension module.
void register_analysis(pybind11::module_& parent);
