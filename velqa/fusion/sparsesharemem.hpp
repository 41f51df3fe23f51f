// The SparseShareMem executor: applies a group of fused one-target gates and SWAPs on k <= 10
// active qubits to every 2^k-amplitude sub-block of the state in shared memory, one global read
// and write per amplitude for the whole group.
#pragma once

#include <cstdint>

#include "common/complex.hpp"
#include "common/gpu/runtime.hpp"
#include "velqa/state_view.hpp"

namespace velqa::fusion {

using korvane::CuComplex;

// The record the kernel reads per gate; qubits are local indices (bit positions of a sub-block
// index). Shared by the host upload and the kernel. A gate whose matrix differs between the members
// of a batch names its slot among the group's per-member matrices instead of holding one.
template <class T>
struct DeviceMatrixGate {
    std::int32_t kind;  // FusedGateKind
    std::int32_t target;
    std::int32_t target2;  // second target of a Swap, else -1
    std::uint32_t control_mask;
    std::uint32_t control_values;
    std::int32_t member_slot;  // -1: matrix below, for every member
    CuComplex<T> matrix[4];    // m00, m01, m10, m11
};

// Validates and queues sparsesharemem_kernel<T> for the group whose records start at gates, on
// every member of the state: one launch per chunk of members the device allows, each checked but
// the last (the caller checks it). Member b's matrix of slot s is the four elements at
// member_matrices + 4 (b slots + s); no slots, no per-member matrices.
template <class T>
void launch_sparsesharemem(const StateSpan<T>& state, std::uint64_t active_mask, std::int32_t k,
                           const DeviceMatrixGate<T>* gates, std::int32_t gate_count,
                           const CuComplex<T>* member_matrices, std::int32_t slots, cudaStream_t stream);

}  // namespace velqa::fusion
