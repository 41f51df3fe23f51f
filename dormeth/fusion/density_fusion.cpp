#include "dormeth/fusion/density_fusion.hpp"

#include <cstdlib>
#include <variant>

#include "common/device_buffer.hpp"
#include "dormeth/fusion/density_planner.hpp"
#include "dormeth/fusion/density_sparsesharemem.hpp"
#include "dormeth/kernels/density_kernels.hpp"

namespace korvane::dormeth {

bool fusion_enabled() {
    const char* value = std::getenv("KORVANE_DENSITY_FUSION");
    return value != nullptr && value[0] != '\0' && value[0] != '0';
}

namespace {

// Walks a one-qubit group: a one-target unitary without controls directly followed by a built-in
// channel on its qubit runs as one unitary-channel pass, everything else as prepared.
template <class T>
void run_one_qubit_group(const DeviceDensityState& state, const std::vector<std::int64_t>& indices,
                         const std::vector<PreparedDensityOp>& prepared, const CuComplex<T>* device_matrices) {
    for (std::size_t i = 0; i < indices.size(); ++i) {
        const PreparedDensityOp& op = prepared[indices[i]];
        const auto* unitary = std::get_if<UnitaryOp>(&op);
        if (i + 1 < indices.size() && unitary && unitary->targets.num_targets == 1 && unitary->controls.mask == 0) {
            const auto* channel = std::get_if<ChannelOp>(&prepared[indices[i + 1]]);
            if (channel && channel->target_mask == std::uint64_t(1) << unitary->targets.targets[0]) {
                launch_unitary_channel<T>(state.data_as<T>(), state.dimension(), unitary->targets,
                                          device_matrices + unitary->matrix_offset, channel->kind,
                                          static_cast<T>(channel->probability));
                ++i;
                continue;
            }
        }
        execute_prepared_op<T>(state, op, device_matrices);
    }
}

}  // namespace

template <class T>
void run_fused_schedule(const DeviceDensityState& state, const std::vector<density::DensityOperation>& records,
                        const std::vector<PreparedDensityOp>& prepared, const CuComplex<T>* device_matrices) {
    const std::int64_t n = state.num_qubits();
    const std::vector<DensityFusionGroup> plan = plan_density_fusion(n, records, density_fusion_options(n));

    // The records of every shared-memory group, in one array: one allocation and one copy.
    std::vector<DeviceDensityGate<T>> gates;
    std::vector<std::size_t> first(plan.size(), 0);
    for (std::size_t g = 0; g < plan.size(); ++g) {
        if (plan[g].kind != DensityFusionGroupKind::SparseShareMem) continue;
        first[g] = gates.size();
        for (const DeviceDensityGate<double>& record : plan[g].fused_gates) gates.push_back(to_precision<T>(record));
    }
    DeviceBuffer<DeviceDensityGate<T>> device_gates;
    if (!gates.empty()) device_gates = DeviceBuffer<DeviceDensityGate<T>>::copy_of(gates.data(), gates.size());

    try {
        for (std::size_t g = 0; g < plan.size(); ++g) {
            const DensityFusionGroup& group = plan[g];
            switch (group.kind) {
                case DensityFusionGroupKind::SparseShareMem: {
                    std::uint64_t active_mask = 0;
                    for (const std::int64_t q : group.active) active_mask |= std::uint64_t(1) << q;
                    launch_density_sparsesharemem<T>(state.dimension(), state.data_as<T>(), active_mask,
                                                     static_cast<std::int32_t>(group.active.size()),
                                                     device_gates.get() + first[g],
                                                     static_cast<std::int32_t>(group.fused_gates.size()));
                    break;
                }
                case DensityFusionGroupKind::OneQubit:
                    run_one_qubit_group<T>(state, group.operation_indices, prepared, device_matrices);
                    break;
                case DensityFusionGroupKind::Single:
                case DensityFusionGroupKind::Unfused:
                    for (const std::int64_t i : group.operation_indices)
                        execute_prepared_op<T>(state, prepared[i], device_matrices);
                    break;
            }
        }
    } catch (...) {
        // Queued kernels may still read the gate records: wait for them before the buffer is freed.
        (void)cudaDeviceSynchronize();
        (void)cudaGetLastError();
        throw;
    }
    device_gates.release();
}

template void run_fused_schedule<float>(const DeviceDensityState&, const std::vector<density::DensityOperation>&,
                                        const std::vector<PreparedDensityOp>&, const CuComplex<float>*);
template void run_fused_schedule<double>(const DeviceDensityState&, const std::vector<density::DensityOperation>&,
                                         const std::vector<PreparedDensityOp>&, const CuComplex<double>*);

}  // namespace korvane::dormeth
