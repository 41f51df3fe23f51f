// Execution of fusion plans: the PairAutoFusion run of the circuit runner and prepared chunks.
#pragma once

#include <cstdint>
#include <vector>

#include "common/complex.hpp"
#include "common/device_buffer.hpp"
#include "common/gpu/blas.hpp"
#include "common/gpu/runtime.hpp"
#include "velqa/fusion/planner.hpp"
#include "velqa/fusion/sparsesharemem.hpp"
#include "velqa/gate_record.hpp"
#include "velqa/velqa_device_state.hpp"

namespace velqa::fusion {

// A chunk planned on the CPU: immutable after creation, executable any number of times on any
// DeviceState with the same n.
struct PreparedFusionChunk {
    std::int64_t n = 0;
    std::vector<GateRecord> records;
    FusionPlan plan;
};

// The device side of one plan execution: all SparseShareMem records in one array, all DenseMM
// matrices in another (one allocation and one copy each), and the thread's DenseMM cache bound
// when the plan has a DenseMM group. release() frees the matrices, then the records, reporting a
// failure; an error that unwinds the execution frees them quietly.
template <class T>
struct FusionUpload {
    FusionUpload(std::uint64_t n, const FusionPlan& plan);
    void release();

    std::uint64_t n;
    korvane::DeviceBuffer<DeviceMatrixGate<T>> records;  // declared first: freed after the matrices
    korvane::DeviceBuffer<CuComplex<T>> matrices;
    CuComplex<T>* transpose_buffer = nullptr;
    CuComplex<T>* gemm_buffer = nullptr;
    cublasHandle_t handle = nullptr;
};

// Queues one SparseShareMem or DenseMM group; an AutoPair group is refused.
template <class T>
void execute_fusion_group(const FusionUpload<T>& upload, CuComplex<T>* state, const FusionGroup& group,
                          cudaStream_t stream);

// Plans and executes the records with the default options on the given stream, without waiting.
template <class T>
void run_fused(std::uint64_t n, CuComplex<T>* data, const std::vector<GateRecord>& records, cudaStream_t stream);

// Executes the chunk on the state and waits for the device. The caller has checked n.
void execute_prepared_fusion_chunk(const DeviceState& state, const PreparedFusionChunk& chunk);

}  // namespace velqa::fusion
