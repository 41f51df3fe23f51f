#include "velqa/fusion/fusion.hpp"

#include <algorithm>
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
    for (std::size_t e = 0; e < 4; ++e) g.matrix[e] = narrow<T>(f.matrix[e]);
    return g;
}

std::uint64_t active_mask_of(const FusionGroup& group) {
    std::uint64_t mask = 0;
    for (const std::int64_t q : group.active) mask |= std::uint64_t(1) << q;
    return mask;
}

// Device bytes a group adds to an upload.
template <class T>
std::uint64_t upload_bytes(const FusionGroup& group) {
    if (group.kind == FusionGroupKind::SparseShareMem) return group.fused_gates.size() * sizeof(DeviceMatrixGate<T>);
    if (group.kind == FusionGroupKind::DenseMM) return group.dense_matrix.size() * sizeof(CuComplex<T>);
    return 0;
}

// Runs the plan's groups in order on the stream, window by window; with wait, synchronises the
// stream before the last upload is released. An earlier window's upload is released while its work
// may still be queued: freeing device memory is ordered after it by the runtime.
template <class T>
void execute_plan(std::uint64_t n, CuComplex<T>* state, const std::vector<GateRecord>& records, const FusionPlan& plan,
                  cudaStream_t stream, bool wait) {
    std::size_t first = 0;
    do {
        const std::size_t end = upload_window_end<T>(n, plan, first);
        FusionUpload<T> upload(n, plan, first, end);
        for (std::size_t g = first; g < end; ++g) {
            const FusionGroup& group = plan.groups[g];
            if (group.kind == FusionGroupKind::AutoPair) {
                const auto index = static_cast<std::size_t>(group.gate_indices.front());
                apply_gate<T>(n, state, records[index], index, stream, KernelMode::PairAuto);
            } else {
                // Fused groups hold only gates whose values are finite in either precision.
                // SparseShareMem's launcher leaves its launch for the caller to check.
                execute_fusion_group(upload, state, group, stream);
                korvane::check_last_error();
            }
        }
        if (wait && end == plan.groups.size()) cuda_check(cudaStreamSynchronize(stream));
        upload.release();
        first = end;
    } while (first < plan.groups.size());
}

}  // namespace

template <class T>
std::size_t upload_window_end(std::uint64_t n, const FusionPlan& plan, std::size_t first) {
    const std::uint64_t limit = korvane::scratch_limit_bytes((std::size_t(1) << n) * sizeof(CuComplex<T>)) / 2;
    std::uint64_t bytes = 0;
    std::size_t end = first;
    while (end < plan.groups.size()) {
        bytes += upload_bytes<T>(plan.groups[end]);
        if (bytes > limit && end > first) break;
        ++end;
    }
    return end;
}

template <class T>
FusionUpload<T>::FusionUpload(std::uint64_t n_, const FusionPlan& plan, std::size_t first_group, std::size_t end_group)
    : n(n_) {
    end_group = std::min(end_group, plan.groups.size());
    // The window's records and matrices are contiguous in the plan's arrays.
    std::uint64_t record_count = 0;
    std::uint64_t matrix_count = 0;
    int densemm_qubits = 0;
    bool has_records = false;
    bool has_densemm = false;
    for (std::size_t g = first_group; g < end_group; ++g) {
        const FusionGroup& group = plan.groups[g];
        if (group.kind == FusionGroupKind::SparseShareMem) {
            if (!has_records) first_record = group.fused_gate_offset;
            has_records = true;
            record_count = group.fused_gate_offset + group.fused_gates.size() - first_record;
        } else if (group.kind == FusionGroupKind::DenseMM) {
            if (!has_densemm) first_matrix_element = group.matrix_offset;
            has_densemm = true;
            matrix_count = group.matrix_offset + group.dense_matrix.size() - first_matrix_element;
            densemm_qubits = std::max(densemm_qubits, static_cast<int>(group.active.size()));
        }
    }
    std::vector<DeviceMatrixGate<T>> host_records(record_count);
    std::vector<CuComplex<T>> host_matrices(matrix_count);
    for (std::size_t g = first_group; g < end_group; ++g) {
        const FusionGroup& group = plan.groups[g];
        if (group.kind == FusionGroupKind::SparseShareMem) {
            for (std::size_t j = 0; j < group.fused_gates.size(); ++j)
                host_records[group.fused_gate_offset - first_record + j] = device_gate<T>(group.fused_gates[j]);
        } else if (group.kind == FusionGroupKind::DenseMM) {
            for (std::size_t j = 0; j < group.dense_matrix.size(); ++j)
                host_matrices[group.matrix_offset - first_matrix_element + j] = narrow<T>(group.dense_matrix[j]);
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
        // At least one column of the widest group, however small the state.
        buffer_elements =
            std::max(densemm_buffer_elements<T>(static_cast<std::int64_t>(n)), std::uint64_t(1) << densemm_qubits);
        DenseMMCache<T>& cache = DenseMMCache<T>::this_thread();
        cache.ensure(buffer_elements);
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
            launch_sparsesharemem<T>(n, state, active_mask, k,
                                     upload.records.get() + (group.fused_gate_offset - upload.first_record),
                                     static_cast<std::int32_t>(group.fused_gates.size()), stream);
            return;
        case FusionGroupKind::DenseMM:
            apply_densemm<T>(upload.handle, n, state, upload.transpose_buffer, upload.gemm_buffer,
                             upload.buffer_elements, active_mask, k,
                             upload.matrices.get() + (group.matrix_offset - upload.first_matrix_element), stream);
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
    dispatch_precision(state.dtype(), [&]<class T>() {
        execute_plan<T>(n, state.data_as<T>(), chunk.records, chunk.plan, nullptr, true);
    });
}

#define VELQA_FUSION_INSTANTIATE(T)                                                                                 \
    template struct FusionUpload<T>;                                                                                \
    template std::size_t upload_window_end<T>(std::uint64_t, const FusionPlan&, std::size_t);                       \
    template void execute_fusion_group<T>(const FusionUpload<T>&, CuComplex<T>*, const FusionGroup&, cudaStream_t); \
    template void run_fused<T>(std::uint64_t, CuComplex<T>*, const std::vector<GateRecord>&, cudaStream_t);

VELQA_FUSION_INSTANTIATE(float)
VELQA_FUSION_INSTANTIATE(double)

}  // namespace velqa::fusion
