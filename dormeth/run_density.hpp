// The density operation runner, the mode switch: validates and prepares every record
// (prepared_operation.hpp), uploads all matrices in one copy, then executes the prepared operations
// one by one or as fused groups (fusion/density_fusion.hpp) on the default stream and waits for the
// device once at the end.
#pragma once

#include <cstdint>
#include <vector>

#include "common/density_operation.hpp"
#include "dormeth/dormeth_device_state.hpp"

namespace korvane::dormeth {

// Applies the records in order to the state, called without the interpreter lock and only for a
// non-empty list. A validation error leaves the state unchanged; a CUDA failure during execution
// may leave it partly updated. Device buffers are freed on every path.
void run_density_operations(DeviceDensityState& state, std::int64_t num_qubits,
                            const std::vector<density::DensityOperation>& records, bool fusion_enabled);

// The same with the fusion switch read from the environment now.
void run_density_operations(DeviceDensityState& state, std::int64_t num_qubits,
                            const std::vector<density::DensityOperation>& records);

}  // namespace korvane::dormeth
