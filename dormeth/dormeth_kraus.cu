// The built-in noise channels (closed-form element rules, one pass) and general Kraus channels
// rho <- sum_i K_i rho K_i^dagger on 1 to 3 targets.
#include <stdexcept>

#include "common/cuda_check.hpp"
#include "common/gpu/launch.hpp"
#include "dormeth/block_math.cuh"
#include "dormeth/channel_rules.cuh"
#include "dormeth/density_index.cuh"
#include "dormeth/density_kernels.hpp"
#include "dormeth/launch_guards.hpp"

namespace korvane::dormeth {

using density::ChannelKind;
using index::group_base;

// Launch: 32 x 8 tiles over the matrix, one thread per element. The thread of an element whose row
// has the target bit clear updates the element and its partner (r ^ m, c ^ m) together, from the
// old values of both; the partner's own thread does nothing.
template <class T, ChannelKind K>
__global__ void __launch_bounds__(kMatrixTileThreads)
    channel_kernel(CuComplex<T>* state, std::int64_t dimension, std::uint64_t target_mask, T p) {
    const index::Element e = index::tile_element();
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    if (e.row >= dim || e.col >= dim || (e.row & target_mask)) return;
    const bool diagonal = !(e.col & target_mask);
    if constexpr (keeps_diagonal<K>()) {
        if (diagonal) return;
    }
    channel_pair<K>(state[e.row * dim + e.col], state[(e.row ^ target_mask) * dim + (e.col ^ target_mask)], diagonal,
                    p);
}

// Launch: 256-thread blocks, (dim/2^K)^2 threads, one per (row group, column group) block. The block
// is read whole, the sum over the operators is accumulated in registers, then the block is written.
template <class T, int K>
__global__ void __launch_bounds__(kLinearBlockThreads)
    kraus_kernel(CuComplex<T>* state, std::int64_t dimension, DeviceTargets targets, std::int64_t kraus_count,
                 const CuComplex<T>* matrices) {
    constexpr int D = 1 << K;
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    const std::uint64_t groups = dim >> K;
    const std::uint64_t t = gpu::global_thread_index();
    if (t >= groups * groups) return;
    const std::uint64_t mask = index::target_mask<K>(targets);
    const std::uint64_t row0 = group_base(t / groups, mask);
    const std::uint64_t col0 = group_base(t % groups, mask);
    std::uint64_t offset[D];
    index::local_offsets<K>(targets, offset);
    CuComplex<T> b[D][D];
    CuComplex<T> sum[D][D];
    DORMETH_UNROLL
    for (int i = 0; i < D; ++i) DORMETH_UNROLL
    for (int j = 0; j < D; ++j) {
        b[i][j] = state[(row0 | offset[i]) * dim + (col0 | offset[j])];
        sum[i][j] = CuComplex<T>{T(0), T(0)};
    }
    for (std::int64_t op = 0; op < kraus_count; ++op) {
        const CuComplex<T>* k = matrices + op * D * D;
        CuComplex<T> term[D][D];
        DORMETH_UNROLL
        for (int i = 0; i < D; ++i) DORMETH_UNROLL
        for (int j = 0; j < D; ++j) term[i][j] = b[i][j];
        block::left_multiply<D>(k, term);
        block::right_multiply_adjoint<D>(k, term);
        DORMETH_UNROLL
        for (int i = 0; i < D; ++i) DORMETH_UNROLL
        for (int j = 0; j < D; ++j) sum[i][j] += term[i][j];
    }
    DORMETH_UNROLL
    for (int i = 0; i < D; ++i) DORMETH_UNROLL
    for (int j = 0; j < D; ++j) state[(row0 | offset[i]) * dim + (col0 | offset[j])] = sum[i][j];
}

template <class T>
void launch_channel(CuComplex<T>* state, std::int64_t dimension, std::uint64_t target_mask, ChannelKind kind, T p) {
    dispatch_channel_kind(kind, [&]<ChannelKind K>() {
        require_fit(is_density_dimension(dimension) && is_qubit_mask(target_mask, dimension, 1));
        gpu::launch<&channel_kernel<T, K>>(matrix_tile_geometry(static_cast<std::uint64_t>(dimension)), 0, state,
                                           dimension, target_mask, p);
        check_launch("channel kernel launch failed: ");
    });
}

template <class T>
void launch_kraus(CuComplex<T>* state, std::int64_t dimension, const DeviceTargets& targets, std::int64_t kraus_count,
                  const CuComplex<T>* matrices) {
    const std::int64_t k = targets.num_targets;
    if (k < 1 || k > kMaxKrausTargets) throw std::runtime_error("GPU density Kraus supports at most 3 targets");
    require_fit(device_targets_fit(targets, dimension, kMaxKrausTargets) && kraus_count >= 1);
    const std::uint64_t groups = static_cast<std::uint64_t>(dimension) >> k;
    const LaunchGeometry g = linear_geometry(groups * groups);
    switch (k) {
        case 1: gpu::launch<&kraus_kernel<T, 1>>(g, 0, state, dimension, targets, kraus_count, matrices); break;
        case 2: gpu::launch<&kraus_kernel<T, 2>>(g, 0, state, dimension, targets, kraus_count, matrices); break;
        default: gpu::launch<&kraus_kernel<T, 3>>(g, 0, state, dimension, targets, kraus_count, matrices); break;
    }
    check_launch("kraus_kernel launch failed: ");
}

#define DORMETH_INSTANTIATE_KRAUS(T)                                                             \
    template void launch_channel<T>(CuComplex<T>*, std::int64_t, std::uint64_t, ChannelKind, T); \
    template void launch_kraus<T>(CuComplex<T>*, std::int64_t, const DeviceTargets&, std::int64_t, const CuComplex<T>*);
DORMETH_INSTANTIATE_KRAUS(float)
DORMETH_INSTANTIATE_KRAUS(double)

}  // namespace korvane::dormeth
