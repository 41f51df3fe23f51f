// The circuit runner: applies gate records to a statevector in place, gate by gate in a kernel
// mode, or through the fusion planner in PairAutoFusion mode.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/complex.hpp"
#include "common/gpu/runtime.hpp"
#include "velqa/gate_record.hpp"
#include "velqa/velqa_device_state.hpp"

namespace velqa {

// Checks the size, selects the device and applies the records in order; returns with the
// kernels queued on the default stream. Stops at the first error.
template <class T>
void run_gates(std::uint64_t n, CuComplex<T>* data, std::uint64_t num_state, const std::vector<GateRecord>& records,
               std::int32_t device_id, KernelMode mode);

// The per-gate dispatcher: checks the record's values (finite in T; index names the gate in the
// message) and what the gate's row in the gate table asks (counts, qubits), calls its launcher,
// checks the launch.
template <class T>
void apply_gate(std::uint64_t n, CuComplex<T>* data, const GateRecord& record, std::size_t index, cudaStream_t stream,
                KernelMode mode);

// run_gates in the state's precision. Gates act on the same amplitudes for either bit order, so the
// runner takes no endian.
void run_gates(const DeviceState& state, const std::vector<GateRecord>& records, KernelMode mode);

}  // namespace velqa
