// Conversion and checking of Python arguments of the velqa module. Runs with the GIL held.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/parse.hpp"
#include "velqa/gate_record.hpp"

namespace velqa {

namespace py = pybind11;

// The layout checks of a state array, in order: writability (when the array is written to),
// one dimension, C order, n in [1, 62], size 2^n.
void check_state_layout(std::int64_t n, const py::array& state, bool written);

// The precision of a state array, by parse_dtype on the string form of its dtype.
korvane::Precision array_dtype(const py::array& state);

// check_state_layout followed by array_dtype.
korvane::Precision check_state_array(std::int64_t n, const py::array& state, bool written);

std::vector<GateRecord> convert_gate_ir(const py::list& gate_ir);
std::vector<GateRecord> convert_quantum_gates(const py::iterable& gates);
void convert_unitary_matrix(const py::handle& value, GateRecord& record);

}  // namespace velqa
