// The per-gate dispatcher: one gate record onto the state's members, through its launcher. Below
// both the runner (which calls it gate by gate) and fusion (which calls it for the groups of one
// gate).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/complex.hpp"
#include "common/gpu/runtime.hpp"
#include "velqa/gate_record.hpp"
#include "velqa/state_view.hpp"

namespace velqa {

using korvane::CuComplex;

// What apply_gate checks before its launch, in its order: the record's values (finite in T, every
// member's; index names the gate in the message), then what the gate's row in the gate table asks
// (counts, qubits, the row's own checks) against an n-qubit register.
template <class T>
void check_gate(std::int64_t n, const GateRecord& record, std::size_t index);

// check_gate, then the gate's launcher for the mode on every member of the state, and the launch
// check.
template <class T>
void apply_gate(const StateSpan<T>& state, const GateRecord& record, std::size_t index, cudaStream_t stream,
                KernelMode mode);

}  // namespace velqa
