// Execution of fusion plans: the PairAutoFusion run of the circuit runner and prepared chunks.
#pragma once

#include <cstdint>
#include <vector>

#include "common/complex.hpp"
#include "common/gpu/runtime.hpp"
#include "velqa/fusion/planner.hpp"
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

// Plans and executes the records with the default options on the given stream, without waiting.
template <class T>
void run_fused(std::uint64_t n, CuComplex<T>* data, const std::vector<GateRecord>& records, cudaStream_t stream);

// Executes the chunk on the state and waits for the device. The caller has checked n.
void execute_prepared_fusion_chunk(const DeviceState& state, const PreparedFusionChunk& chunk);

}  // namespace velqa::fusion
