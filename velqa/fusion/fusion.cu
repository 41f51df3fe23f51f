#include "velqa/fusion/fusion.hpp"

#include <algorithm>
#include <stdexcept>

#include "common/cuda_check.hpp"
#include "velqa/fusion/densemm.hpp"
#include "velqa/gate_dispatch.hpp"

namespace velqa::fusion {

using korvane::cuda_check;

namespace {

template <class T>
CuComplex<T> narrow(const Complex& c) {
    return CuComplex<T>{static_cast<T>(c.real()), static_cast<T>(c.imag())};
}

template <class T>
DeviceMatrixGate<T> device_gate(const FusedGate& f, std::int32_t member_slot) {
    DeviceMatrixGate<T> g{};
    g.kind = static_cast<std::int32_t>(f.kind);
    g.target = f.target;
    g.target2 = f.target2;
    g.control_mask = f.control_mask;
    g.control_values = f.control_values;
    g.member_slot = member_slot;
    for (std::size_t e = 0; e < 4; ++e) g.matrix[e] = narrow<T>(f.matrix[e]);
    return g;
}

std::uint64_t active_mask_of(const FusionGroup& group) {
    std::uint64_t mask = 0;
    for (const std::int64_t q : group.active) mask |= std::uint64_t(1) << q;
    return mask;
}

// How many of the group's gates have values that differ between members.
std::int32_t varying_gates(const FusionGroup& group, const std::vector<GateRecord>& gates) {
    std::int32_t count = 0;
    for (const std::int64_t i : group.gate_indices) count += gates[static_cast<std::size_t>(i)].varies_by_member();
    return count;
}

// Elements of the matrices array a group needs.
std::uint64_t matrix_elements(const FusionGroup& group, const std::vector<GateRecord>& gates, std::uint64_t members) {
    const auto varying = static_cast<std::uint64_t>(varying_gates(group, gates));
    if (group.kind == FusionGroupKind::SparseShareMem) return members * varying * 4;
    if (group.kind == FusionGroupKind::DenseMM) return (varying ? members : 1) * group.dense_matrix.size();
    return 0;
}

// Device bytes a group adds to an upload.
template <class T>
std::uint64_t upload_bytes(const FusionGroup& group, const std::vector<GateRecord>& gates, std::uint64_t members) {
    const std::uint64_t records =
        group.kind == FusionGroupKind::SparseShareMem ? group.fused_gates.size() * sizeof(DeviceMatrixGate<T>) : 0;
    return records + matrix_elements(group, gates, members) * sizeof(CuComplex<T>);
}

// Runs the plan's groups in order on the stream, window by window; with wait, synchronises the
// stream before the last upload is released. An earlier window's upload is released while its work
// may still be queued: freeing device memory is ordered after it by the runtime.
template <class T>
void execute_plan(const StateSpan<T>& state, const std::vector<GateRecord>& records, const FusionPlan& plan,
                  cudaStream_t stream, bool wait) {
    std::size_t first = 0;
    do {
        const std::size_t end = upload_window_end<T>(state, plan, records, first);
        FusionUpload<T> upload(state, plan, records, first, end);
        for (std::size_t g = first; g < end; ++g) {
            const FusionGroup& group = plan.groups[g];
            if (group.kind == FusionGroupKind::AutoPair) {
                const auto index = static_cast<std::size_t>(group.gate_indices.front());
                apply_gate<T>(state, records[index], index, stream, KernelMode::PairAuto);
            } else {
                // Fused groups hold only gates whose values are finite in either precision.
                // SparseShareMem's launcher leaves its last launch for the caller to check.
                execute_fusion_group(upload, state, plan, g, stream);
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
std::size_t upload_window_end(const StateSpan<T>& state, const FusionPlan& plan, const std::vector<GateRecord>& gates,
                              std::size_t first) {
    const std::uint64_t limit = korvane::scratch_limit_bytes((state.members << state.n) * sizeof(CuComplex<T>)) / 2;
    std::uint64_t bytes = 0;
    std::size_t end = first;
    while (end < plan.groups.size()) {
        bytes += upload_bytes<T>(plan.groups[end], gates, state.members);
        if (bytes > limit && end > first) break;
        ++end;
    }
    return end;
}

template <class T>
FusionUpload<T>::FusionUpload(const StateSpan<T>& state, const FusionPlan& plan, const std::vector<GateRecord>& gates,
                              std::size_t first, std::size_t end_group)
    : n(static_cast<std::uint64_t>(state.n)), first_group(first) {
    end_group = std::min(end_group, plan.groups.size());
    const std::uint64_t members = state.members;
    // The window's records are contiguous in the plan's array; its matrices are laid out here.
    std::uint64_t record_count = 0;
    std::uint64_t matrix_count = 0;
    int densemm_qubits = 0;
    bool has_records = false;
    bool has_densemm = false;
    for (std::size_t g = first; g < end_group; ++g) {
        const FusionGroup& group = plan.groups[g];
        GroupUpload& layout = groups.emplace_back();
        if (group.kind == FusionGroupKind::SparseShareMem) {
            if (!has_records) first_record = group.fused_gate_offset;
            has_records = true;
            record_count = group.fused_gate_offset + group.fused_gates.size() - first_record;
            layout.slots = varying_gates(group, gates);
        } else if (group.kind == FusionGroupKind::DenseMM) {
            has_densemm = true;
            densemm_qubits = std::max(densemm_qubits, static_cast<int>(group.active.size()));
            if (varying_gates(group, gates) > 0) layout.stride = group.dense_matrix.size();
        }
        layout.offset = matrix_count;
        matrix_count += matrix_elements(group, gates, members);
    }
    std::vector<DeviceMatrixGate<T>> host_records(record_count);
    std::vector<CuComplex<T>> host_matrices(matrix_count);
    for (std::size_t g = first; g < end_group; ++g) {
        const FusionGroup& group = plan.groups[g];
        const GroupUpload& layout = groups[g - first];
        if (group.kind == FusionGroupKind::SparseShareMem) {
            // Every record holds member 0's matrix; a gate whose values differ gets a slot, and each
            // member's matrix for it in the member's row of slots.
            std::int32_t slot = 0;
            for (std::size_t j = 0; j < group.fused_gates.size(); ++j) {
                const GateRecord& gate = gates[static_cast<std::size_t>(group.gate_indices[j])];
                const std::int32_t gate_slot = gate.varies_by_member() ? slot++ : -1;
                host_records[group.fused_gate_offset - first_record + j] =
                    device_gate<T>(group.fused_gates[j], gate_slot);
                if (gate_slot < 0) continue;
                for (std::uint64_t b = 0; b < members; ++b) {
                    const Matrix2 m = *fused_gate_matrix(gate, b);
                    CuComplex<T>* out =
                        host_matrices.data() + layout.offset +
                        4 * (b * static_cast<std::uint64_t>(layout.slots) + static_cast<std::uint64_t>(gate_slot));
                    for (std::size_t e = 0; e < 4; ++e) out[e] = narrow<T>(m[e]);
                }
            }
        } else if (group.kind == FusionGroupKind::DenseMM) {
            const auto k = static_cast<std::int32_t>(group.active.size());
            const std::uint64_t copies = layout.stride ? members : 1;
            for (std::uint64_t b = 0; b < copies; ++b) {
                std::vector<Complex> member_matrix;
                const std::vector<Complex>* matrix = &group.dense_matrix;
                if (layout.stride) {
                    // The member's own records: member 0's with the matrices of the gates that differ replaced.
                    std::vector<FusedGate> fused = group.fused_gates;
                    for (std::size_t j = 0; j < fused.size(); ++j) {
                        const GateRecord& gate = gates[static_cast<std::size_t>(group.gate_indices[j])];
                        if (gate.varies_by_member()) fused[j].matrix = *fused_gate_matrix(gate, b);
                    }
                    member_matrix = build_dense_group_matrix(fused, k);
                    matrix = &member_matrix;
                }
                std::transform(matrix->begin(), matrix->end(),
                               host_matrices.begin() + static_cast<std::ptrdiff_t>(layout.offset + b * matrix->size()),
                               narrow<T>);
            }
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
        buffer_elements = std::max(densemm_buffer_elements<T>(state.n, members), std::uint64_t(1) << densemm_qubits);
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
void execute_fusion_group(const FusionUpload<T>& upload, const StateSpan<T>& state, const FusionPlan& plan,
                          std::size_t index, cudaStream_t stream) {
    const FusionGroup& group = plan.groups.at(index);
    const std::uint64_t active_mask = active_mask_of(group);
    const auto k = static_cast<std::int32_t>(group.active.size());
    switch (group.kind) {
        case FusionGroupKind::SparseShareMem: {
            const GroupUpload& layout = upload.group(index);
            launch_sparsesharemem<T>(
                state, active_mask, k, upload.records.get() + (group.fused_gate_offset - upload.first_record),
                static_cast<std::int32_t>(group.fused_gates.size()),
                layout.slots ? upload.matrices.get() + layout.offset : nullptr, layout.slots, stream);
            return;
        }
        case FusionGroupKind::DenseMM: {
            const GroupUpload& layout = upload.group(index);
            apply_densemm<T>(upload.handle, state, upload.transpose_buffer, upload.gemm_buffer, upload.buffer_elements,
                             active_mask, k, upload.matrices.get() + layout.offset, layout.stride, stream);
            return;
        }
        default: throw std::invalid_argument("AutoPair group cannot use fusion workspace");
    }
}

template <class T>
void run_fused(const StateSpan<T>& state, const std::vector<GateRecord>& records, cudaStream_t stream) {
    const FusionPlan plan = plan_fusion_chunk(state.n, records, FusionOptions{});
    execute_plan<T>(state, records, plan, stream, false);
}

void execute_prepared_fusion_chunk(const DeviceState& state, const PreparedFusionChunk& chunk) {
    const auto n = static_cast<std::uint64_t>(chunk.n);
    if (n < 1 || n > 62 || state.num_state() != (std::uint64_t(1) << n))
        throw std::invalid_argument("state size does not match prepared chunk");
    cuda_check(cudaSetDevice(state.device_id()));
    dispatch_precision(state.dtype(), [&]<class T>() {
        execute_plan<T>(typed_span<T>(state.view()), chunk.records, chunk.plan, nullptr, true);
    });
}

#define VELQA_FUSION_INSTANTIATE(T)                                                                                    \
    template struct FusionUpload<T>;                                                                                   \
    template std::size_t upload_window_end<T>(const StateSpan<T>&, const FusionPlan&, const std::vector<GateRecord>&,  \
                                              std::size_t);                                                            \
    template void execute_fusion_group<T>(const FusionUpload<T>&, const StateSpan<T>&, const FusionPlan&, std::size_t, \
                                          cudaStream_t);                                                               \
    template void run_fused<T>(const StateSpan<T>&, const std::vector<GateRecord>&, cudaStream_t);

VELQA_FUSION_INSTANTIATE(float)
VELQA_FUSION_INSTANTIATE(double)

}  // namespace velqa::fusion
