// Python gate lists converted into GateRecords. Runs with the GIL held.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <vector>

#include "velqa/gate_record.hpp"

namespace velqa {

namespace py = pybind11;

// Gate lists as records: dicts (run_circuit, run_circuit_device) or QuantumGate-like objects, each
// name looked up in the gate table; a UNITARY's matrix converted and checked.
std::vector<GateRecord> convert_gate_ir(const py::list& gate_ir);
std::vector<GateRecord> convert_quantum_gates(const py::iterable& gates);
void convert_unitary_matrix(const py::handle& value, GateRecord& record);

}  // namespace velqa
