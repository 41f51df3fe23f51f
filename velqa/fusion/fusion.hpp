// Execution of fusion plans: the PairAutoFusion run of the circuit runner and prepared chunks.
#pragma once

#include <cstdint>
#include <vector>

#include "common/complex.hpp"
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

// One device array owned for the duration of an execution.
template <class E>
class DeviceArray {
public:
    DeviceArray() = default;
    DeviceArray(const DeviceArray&) = delete;
    DeviceArray& operator=(const DeviceArray&) = delete;
    ~DeviceArray();
    // Allocates room for the host elements and copies them in; a failure reads
    // "<allocation>: <error>" or "<copy>: <error>" and leaves nothing allocated.
    void upload(const std::vector<E>& host, const char* allocation, const char* copy);
    E* get() const { return data_; }

private:
    E* data_ = nullptr;
};

// The device side of one plan execution: all SparseShareMem records in one array, all DenseMM
// matrices in another (one allocation and one copy each), and the thread's DenseMM cache bound
// when the plan has a DenseMM group. Frees the matrices, then the records, when released.
template <class T>
struct FusionUpload {
    FusionUpload(std::uint64_t n, const FusionPlan& plan);

    std::uint64_t n;
    DeviceArray<DeviceMatrixGate<T>> records;
    DeviceArray<CuComplex<T>> matrices;
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
