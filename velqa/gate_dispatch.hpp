// The per-gate dispatcher: one gate record onto the state, through its launcher. Below both the
// runner (which calls it gate by gate) and fusion (which calls it for the groups of one gate).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/complex.hpp"
#include "common/gpu/runtime.hpp"
#include "velqa/gate_record.hpp"

namespace velqa {

using korvane::CuComplex;

// Checks the record's values (finite in T; index names the gate in the message) and what the gate's
// row in the gate table asks (counts, qubits), calls its launcher for the mode, checks the launch.
template <class T>
void apply_gate(std::uint64_t n, CuComplex<T>* data, const GateRecord& record, std::size_t index, cudaStream_t stream,
                KernelMode mode);

}  // namespace velqa
