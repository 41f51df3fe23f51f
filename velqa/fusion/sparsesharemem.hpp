// The SparseShareMem executor: applies a group of fused one-target gates and SWAPs on k <= 10
// active qubits to every 2^k-amplitude sub-block of the state in shared memory, one global read
// and write per amplitude for the whole group.
#pragma once

#include <cstdint>

#include "common/complex.hpp"
#include "common/gpu/runtime.hpp"

namespace velqa::fusion {

using korvane::CuComplex;

// The record the kernel reads per gate; qubits are local indices (bit positions of a sub-block
// index). Shared by the host upload and the kernel.
template <class T>
struct DeviceMatrixGate {
    std::int32_t kind;  // FusedGateKind
    std::int32_t target;
    std::int32_t target2;  // second target of a Swap, else -1
    std::uint32_t control_mask;
    std::uint32_t control_values;
    CuComplex<T> matrix[4];  // m00, m01, m10, m11
};

// Validates and queues sparsesharemem_kernel<T> for the group whose records start at gates; does
// not check the launch (the caller does).
template <class T>
void launch_sparsesharemem(std::int64_t n, CuComplex<T>* state, std::uint64_t active_mask, std::int32_t k,
                           const DeviceMatrixGate<T>* gates, std::int32_t gate_count, cudaStream_t stream);

}  // namespace velqa::fusion
