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

// A gate list for a batch of `members` states: each item a gate dict (a dict instance) or a
// QuantumGate-like object, read as the two conversions above read them, except that a parameter may
// also be a real array of shape (members, p), member b's values row b, and a matrix a complex array
// of shape (members, d, d), member b's block b. Such values become the record's per-member values.
// A leading dimension other than members is a ValueError naming the gate ("parameter rows must match
// the batch (gate 3: 5 rows, batch 4)", "unitary matrices must match the batch (gate 3: ...)").
std::vector<GateRecord> convert_batch_gates(const py::iterable& gates, std::uint64_t members);

}  // namespace velqa
