#include "velqa/fusion/fusion.hpp"

#include <stdexcept>

#include "common/cuda_check.hpp"
#include "velqa/fusion/densemm.hpp"
#include "velqa/run_circuit.hpp"

namespace velqa::fusion {

using korvane::cuda_check;

namespace {

template <class T>
CuComplex<T> narrow(const Complex& c) {
    return CuComplex<T>{static_cast<T>(c.real()), static_cast<T>(c.imag())};
}

template <class T>
DeviceMatrixGate<T> device_gate(const FusedGate& f) {
    DeviceMatrixGate<T> g{};
    g.kind = static_cast<std::int32_t>(f.kind);
    g.target = f.target;
    g.target2 = f.target2;
    g.control_mask = f.control_mask;
    g.control_values = f.control_values;
    for (int e = 0; e < 4; ++e) g.matrix[e] = narrow<T>(f.matrix[e]);
    return g;
}

std::uint64_t active_mask_of(const FusionGroup& group) {
    std::uint64_t mask = 0;
    for (const std::int64_t q : group.active) mask |= std::uint64_t(1) << q;
    return mask;
}

// Runs the plan's groups in order on the stream; with wait, synchronises the stream before the
// upload is released.
template <class T>
void execute_plan(std::uint64_t n, CuComplex<T>* state, const std::vector<GateRecord>& records, const FusionPlan& plan,
                  cudaStream_t stream, bool wait) {
    FusionUpload<T> upload(n, plan);
    for (const FusionGroup& group : plan.groups) {
        if (group.kind == FusionGroupKind::AutoPair) {
            // Fused groups hold only gates whose values are finite in either precision.
            const auto index = static_cast<std::size_t>(group.gate_indices.front());
            check_gate_values<T>(records[index], index);
            apply_gate<T>(n, state, records[index], stream, KernelMode::PairAuto);
        } else {
            execute_fusion_group(upload, state, group, stream);
            korvane::check_last_error();
        }
    }
    if (wait) cuda_check(cudaStreamSynchronize(stream));
    upload.release();
}

}  // namespace

template <class T>
FusionUpload<T>::FusionUpload(std::uint64_t n_, const FusionPlan& plan) : n(n_) {
    std::vector<DeviceMatrixGate<T>> host_records(plan.total_fused_gates);
    std::vector<CuComplex<T>> host_matrices(plan.total_matrix_elements);
    bool has_densemm = false;
    for (const FusionGroup& group : plan.groups) {
        if (group.kind == FusionGroupKind::SparseShareMem) {
            for (std::size_t j = 0; j < group.fused_gates.size(); ++j)
                host_records[group.fused_gate_offset + j] = device_gate<T>(group.fused_gates[j]);
        } else if (group.kind == FusionGroupKind::DenseMM) {
            for (std::size_t j = 0; j < group.dense_matrix.size(); ++j)
                host_matrices[group.matrix_offset + j] = narrow<T>(group.dense_matrix[j]);
            has_densemm = true;
        }
    }
    if (!host_records.empty())
        records = korvane::DeviceBuffer<DeviceMatrixGate<T>>::copy_of(host_records.data(), host_records.size(),
                                                                      "cudaMalloc SparseShareMem gates",
                                                                      "cudaMemcpy SparseShareMem gates");
    if (!host_matrices.empty())
        matrices = korvane::DeviceBuffer<CuComplex<T>>::copy_of(
            host_matrices.data(), host_matrices.size(), "cudaMalloc DenseMM matrices", "cudaMemcpy DenseMM matrices");
    if (has_densemm) {
        DenseMMCache<T>& cache = DenseMMCache<T>::this_thread();
        cache.ensure(std::uint64_t(1) << n);
        transpose_buffer = cache.transpose_buffer;
        gemm_buffer = cache.gemm_buffer;
        handle = cache.handle;
    }
}

template <class T>
void FusionUpload<T>::release() {
    matrices.release();
    records.release();
}

template <class T>
void execute_fusion_group(const FusionUpload<T>& upload, CuComplex<T>* state, const FusionGroup& group,
                          cudaStream_t stream) {
    const std::uint64_t active_mask = active_mask_of(group);
    const auto k = static_cast<std::int32_t>(group.active.size());
    const auto n = static_cast<std::int64_t>(upload.n);
    switch (group.kind) {
        case FusionGroupKind::SparseShareMem:
            launch_sparsesharemem<T>(n, state, active_mask, k, upload.records.get() + group.fused_gate_offset,
                                     static_cast<std::int32_t>(group.fused_gates.size()), stream);
            return;
        case FusionGroupKind::DenseMM:
            apply_densemm<T>(upload.handle, n, state, upload.transpose_buffer, upload.gemm_buffer, active_mask, k,
                             upload.matrices.get() + group.matrix_offset, stream);
            return;
        default: throw std::invalid_argument("AutoPair group cannot use fusion workspace");
    }
}

template <class T>
void run_fused(std::uint64_t n, CuComplex<T>* data, const std::vector<GateRecord>& records, cudaStream_t stream) {
    const FusionPlan plan = plan_fusion_chunk(static_cast<std::int64_t>(n), records, FusionOptions{});
    execute_plan<T>(n, data, records, plan, stream, false);
}

void execute_prepared_fusion_chunk(const DeviceState& state, const PreparedFusionChunk& chunk) {
    const auto n = static_cast<std::uint64_t>(chunk.n);
    if (n < 1 || n > 62 || state.num_state() != (std::uint64_t(1) << n))
        throw std::invalid_argument("state size does not match prepared chunk");
    cuda_check(cudaSetDevice(state.device_id()));
    dispatch_precision(state.dtype(),
                       [&]<class T>() { execute_plan<T>(n, state.data_as<T>(), chunk.records, chunk.plan, 0, true); });
}

#define VELQA_FUSION_INSTANTIATE(T)                                                                                 \
    template struct FusionUpload<T>;                                                                                \
    template void execute_fusion_group<T>(const FusionUpload<T>&, CuComplex<T>*, const FusionGroup&, cudaStream_t); \
    template void run_fused<T>(std::uint64_t, CuComplex<T>*, const std::vector<GateRecord>&, cudaStream_t);

VELQA_FUSION_INSTANTIATE(float)
VELQA_FUSION_INSTANTIATE(double)

}  // namespace velqa::fusion
