// Conversion of Python operation objects into DensityOperation records. Runs with the GIL held and
// makes no semantic check: qubit ranges, counts, names and finiteness are the runner's.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "common/density_operation.hpp"

namespace korvane::density {

namespace py = pybind11;

// One record per object, in iteration order.
std::vector<DensityOperation> convert_operations(const py::iterable& operations);

DensityOperation convert_operation(const py::handle& obj);

}  // namespace korvane::density
