// The density shared-memory executor: applies a fused group of one-qubit operations on k <= 5
// active qubits to every 2^k x 2^k sub-block of the density matrix in shared memory, so each
// element is read and written once for the whole group.
#pragma once

#include <cstdint>

#include "common/complex.hpp"
#include "dormeth/fusion/device_density_gate.hpp"

namespace korvane::dormeth {

constexpr std::int32_t kMaxDensityFusionQubits = 5;

// Queues density_sparsesharemem_kernel<T> for the group's records (device memory) on the default
// stream, as every density launcher does, and checks the launch. ValueError "density fusion active qubits must be in
// [1,5]", "fusion group cannot be empty", "active qubits exceed circuit size"; an active mask that does not name
// exactly k qubits of the matrix is refused by the launchers' guard; RuntimeError "density_sparsesharemem kernel launch
// failed: " + the runtime's error string.
template <class T>
void launch_density_sparsesharemem(std::int64_t dimension, CuComplex<T>* state, std::uint64_t active_mask,
                                   std::int32_t k, const DeviceDensityGate<T>* records, std::int32_t record_count);

}  // namespace korvane::dormeth
