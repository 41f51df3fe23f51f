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

// Where a group of an upload window finds its data in FusionUpload::matrices: a DenseMM group's
// matrix (member b's at offset + b stride; stride 0 when every member applies the same), or the
// per-member matrices of a SparseShareMem group's gates whose values differ between members (slots
// of them per member, four elements each, member b's from offset + 4 b slots).
struct GroupUpload {
    std::uint64_t offset = 0;
    std::uint64_t stride = 0;
    std::int32_t slots = 0;
};

// The device side of a window of a plan's groups, [first_group, end_group), for the members of a
// state: the SparseShareMem records of the window in one array, its matrices (DenseMM matrices and
// per-member SparseShareMem matrices) in another (one allocation and one copy each), and the
// thread's DenseMM cache bound when the window has a DenseMM group. A plan runs in one window
// unless its uploads would exceed their share of the scratch limit (upload_window_end). release()
// frees the matrices, then the records, reporting a failure; an error that unwinds the execution
// frees them quietly.
template <class T>
struct FusionUpload {
    FusionUpload(const StateSpan<T>& state, const FusionPlan& plan, const std::vector<GateRecord>& gates,
                 std::size_t first_group = 0, std::size_t end_group = std::size_t(-1));
    void release();
    const GroupUpload& group(std::size_t index) const { return groups.at(index - first_group); }

    std::uint64_t n;
    std::size_t first_group = 0;
    std::uint64_t first_record = 0;  // plan offset of the window's first record
    std::vector<GroupUpload> groups;
    korvane::DeviceBuffer<DeviceMatrixGate<T>> records;  // declared first: freed after the matrices
    korvane::DeviceBuffer<CuComplex<T>> matrices;
    CuComplex<T>* transpose_buffer = nullptr;
    CuComplex<T>* gemm_buffer = nullptr;
    std::uint64_t buffer_elements = 0;  // of each DenseMM buffer
    cublasHandle_t handle = nullptr;
};

// The end of the upload window that starts at group first: as many groups as fit half the scratch
// limit of the state's members (the DenseMM buffers have the other half), and at least one.
template <class T>
std::size_t upload_window_end(const StateSpan<T>& state, const FusionPlan& plan, const std::vector<GateRecord>& gates,
                              std::size_t first);

// Queues the plan's SparseShareMem or DenseMM group `index` (in the upload's window) on every
// member of the state; an AutoPair group is refused.
template <class T>
void execute_fusion_group(const FusionUpload<T>& upload, const StateSpan<T>& state, const FusionPlan& plan,
                          std::size_t index, cudaStream_t stream);

// Plans the records with the default options (one plan for every member: plans follow from the
// gates' kinds, targets and controls) and executes them on the given stream, without waiting.
template <class T>
void run_fused(const StateSpan<T>& state, const std::vector<GateRecord>& records, cudaStream_t stream);

// Executes the chunk on the state and waits for the device. The caller has checked n.
void execute_prepared_fusion_chunk(const DeviceState& state, const PreparedFusionChunk& chunk);

}  // namespace velqa::fusion
