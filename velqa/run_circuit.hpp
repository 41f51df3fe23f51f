// The circuit runner, the mode switch: applies gate records to a statevector in place, gate by
// gate in a kernel mode (gate_dispatch.hpp), or through fusion in PairAutoFusion mode.
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

// run_gates in the state's precision. Gates act on the same amplitudes for either bit order, so the
// runner takes no endian.
void run_gates(const DeviceState& state, const std::vector<GateRecord>& records, KernelMode mode);

}  // namespace velqa
