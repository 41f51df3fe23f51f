// A one-qubit unitary followed by a built-in channel on the same qubit, in one pass over the
// matrix: the fused schedule's gate-then-noise pattern.
#include <stdexcept>

#include "common/cuda_check.hpp"
#include "common/gpu/launch.hpp"
#include "dormeth/kernels/block_products.cuh"
#include "dormeth/kernels/channel_rules.cuh"
#include "dormeth/kernels/density_index.cuh"
#include "dormeth/kernels/density_kernels.hpp"
#include "dormeth/kernels/launch_guards.hpp"

namespace korvane::dormeth {

using density::ChannelKind;

// Launch: 256-thread blocks, (dim/2)^2 threads, one per 2 x 2 block of the target qubit:
// B <- U B U^dagger, then the channel's element rule on B, then B is written back.
template <class T, ChannelKind K>
__global__ void __launch_bounds__(kLinearBlockThreads)
    unitary_channel_kernel(CuComplex<T>* state, std::int64_t dimension, DeviceTargets targets,
                           const CuComplex<T>* matrix, T p) {
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    const std::uint64_t groups = dim >> 1;
    const std::uint64_t t = gpu::global_thread_index();
    if (t >= groups * groups) return;
    const std::uint64_t bit = std::uint64_t(1) << targets.targets[0];
    const std::uint64_t row0 = index::group_base(t / groups, bit);
    const std::uint64_t col0 = index::group_base(t % groups, bit);
    const std::uint64_t rows[2] = {row0 * dim, (row0 | bit) * dim};
    const std::uint64_t cols[2] = {col0, col0 | bit};
    CuComplex<T> b[2][2];
    KORVANE_UNROLL
    for (int i = 0; i < 2; ++i) KORVANE_UNROLL
    for (int j = 0; j < 2; ++j) b[i][j] = state[rows[i] + cols[j]];
    block::left_multiply<2>(matrix, b);
    block::right_multiply_adjoint<2>(matrix, b);
    channel_block<K>(b, p);
    KORVANE_UNROLL
    for (int i = 0; i < 2; ++i) KORVANE_UNROLL
    for (int j = 0; j < 2; ++j) state[rows[i] + cols[j]] = b[i][j];
}

template <class T>
void launch_unitary_channel(CuComplex<T>* state, std::int64_t dimension, const DeviceTargets& targets,
                            const CuComplex<T>* matrix, ChannelKind kind, T p) {
    dispatch_channel_kind(kind, [&]<ChannelKind K>() {
        require_fit(device_targets_fit(targets, dimension, 1));
        const std::uint64_t groups = static_cast<std::uint64_t>(dimension) >> 1;
        gpu::launch<&unitary_channel_kernel<T, K>>(linear_geometry(groups * groups), nullptr, state, dimension, targets,
                                                   matrix, p);
        check_launch("unitary_channel kernel launch failed: ");
    });
}

template void launch_unitary_channel<float>(CuComplex<float>*, std::int64_t, const DeviceTargets&,
                                            const CuComplex<float>*, ChannelKind, float);
template void launch_unitary_channel<double>(CuComplex<double>*, std::int64_t, const DeviceTargets&,
                                             const CuComplex<double>*, ChannelKind, double);

}  // namespace korvane::dormeth
