// The built-in noise channels (closed-form element rules, one pass) and general Kraus channels
// rho <- sum_i K_i rho K_i^dagger on 1 to 3 targets.
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

constexpr unsigned kKrausThreads = 256;

// Column groups side by side in one block of the shared-memory form (K = 2, 3): 256 threads, one per
// element of that many 2^K x 2^K blocks of one row group, lanes on neighbouring column groups.
template <int K>
constexpr unsigned kKrausTileGroups = kKrausThreads >> (2 * K);

// B <- sum_i K_i B K_i^dagger on 2^K x 2^K blocks shared by their 4^K threads, one element each.
// Per operator the block computes K B into shared memory, and each thread adds its element of
// (K B) K^dagger; a thread keeps one running sum instead of 4^K-element arrays in registers.
template <class T, int K>
__device__ __forceinline__ void kraus_tile(CuComplex<T>* state, std::uint64_t dim, const DeviceTargets& targets,
                                           std::int64_t kraus_count, const CuComplex<T>* matrices) {
    constexpr unsigned D = 1u << K;
    constexpr unsigned L = kKrausTileGroups<K>;
    __shared__ CuComplex<T> input[kKrausThreads];  // [element (i, j)][lane]
    __shared__ CuComplex<T> left[kKrausThreads];   // K B, same layout
    const std::uint64_t groups = dim >> K;
    const int tile_bits = groups > L ? gpu::log2_exact(groups / L) : 0;  // blocks per row group: 2^tile_bits
    const unsigned lane = threadIdx.x % L;
    const unsigned element = threadIdx.x / L;
    const unsigned i = element / D;
    const unsigned j = element % D;
    const std::uint64_t col_group = (blockIdx.x & ((1u << tile_bits) - 1)) * L + lane;
    const bool inside = col_group < groups;  // false only where a row has fewer than L column groups
    const std::uint64_t mask = index::target_mask<K>(targets);
    const auto row =
        static_cast<std::uint32_t>(group_base(blockIdx.x >> tile_bits, mask) | index::local_offset<K>(targets, i));
    const auto col = static_cast<std::uint32_t>(group_base(col_group, mask) | index::local_offset<K>(targets, j));
    const std::uint32_t at = row * static_cast<std::uint32_t>(dim) + col;  // dim <= 2^15: 32 bits suffice
    if (inside) input[threadIdx.x] = state[at];
    CuComplex<T> sum{T(0), T(0)};
    for (std::int64_t op = 0; op < kraus_count; ++op) {
        const CuComplex<T>* k = matrices + op * D * D;
        __syncthreads();  // the block is loaded, and the previous operator's K B read
        CuComplex<T> acc{T(0), T(0)};
        KORVANE_UNROLL
        for (unsigned l = 0; l < D; ++l) acc += k[i * D + l] * input[(l * D + j) * L + lane];
        left[threadIdx.x] = acc;
        __syncthreads();
        acc = CuComplex<T>{T(0), T(0)};
        KORVANE_UNROLL
        for (unsigned l = 0; l < D; ++l) acc += mul_conj(left[(i * D + l) * L + lane], k[j * D + l]);
        sum += acc;
    }
    if (inside) state[at] = sum;
}

// Launch: 256-thread blocks. K = 1: (dim/2)^2 threads, one per (row group, column group) block,
// read whole, the sum over the operators accumulated in registers, then written. K = 2, 3
// (cooperative, they hold barriers): one block per row group and L = 256 / 4^K consecutive column
// groups, (dim/2^K) ceil(dim/2^K / L) blocks, one thread per element (see kraus_tile).
template <class T, int K>
__global__ void __launch_bounds__(kKrausThreads, 2)
    kraus_kernel(CuComplex<T>* state, std::int64_t dimension, DeviceTargets targets, std::int64_t kraus_count,
                 const CuComplex<T>* matrices) {
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    if constexpr (K >= 2) {
        kraus_tile<T, K>(state, dim, targets, kraus_count, matrices);
    } else {
        const std::uint64_t groups = dim >> K;
        const std::uint64_t t = gpu::global_thread_index();
        if (t >= groups * groups) return;
        const std::uint64_t bit = std::uint64_t(1) << targets.targets[0];
        const std::uint64_t rows[2] = {group_base(t / groups, bit), group_base(t / groups, bit) | bit};
        const std::uint64_t cols[2] = {group_base(t % groups, bit), group_base(t % groups, bit) | bit};
        CuComplex<T> b[2][2];
        CuComplex<T> sum[2][2];
        KORVANE_UNROLL
        for (int i = 0; i < 2; ++i) KORVANE_UNROLL
        for (int j = 0; j < 2; ++j) {
            b[i][j] = state[rows[i] * dim + cols[j]];
            sum[i][j] = CuComplex<T>{T(0), T(0)};
        }
        for (std::int64_t op = 0; op < kraus_count; ++op) {
            const CuComplex<T>* k = matrices + op * 4;
            CuComplex<T> term[2][2];
            KORVANE_UNROLL
            for (int i = 0; i < 2; ++i) KORVANE_UNROLL
            for (int j = 0; j < 2; ++j) term[i][j] = b[i][j];
            block::left_multiply<2>(k, term);
            block::right_multiply_adjoint<2>(k, term);
            KORVANE_UNROLL
            for (int i = 0; i < 2; ++i) KORVANE_UNROLL
            for (int j = 0; j < 2; ++j) sum[i][j] += term[i][j];
        }
        KORVANE_UNROLL
        for (int i = 0; i < 2; ++i) KORVANE_UNROLL
        for (int j = 0; j < 2; ++j) state[rows[i] * dim + cols[j]] = sum[i][j];
    }
}

// Blocks of the shared-memory form for 2^K x 2^K blocks of a dim x dim matrix.
template <int K>
std::uint64_t kraus_tile_blocks(std::uint64_t dim) {
    const std::uint64_t groups = dim >> K;
    return groups * ((groups + kKrausTileGroups<K> - 1) / kKrausTileGroups<K>);
}

template <class T>
void launch_channel(CuComplex<T>* state, std::int64_t dimension, std::uint64_t target_mask, ChannelKind kind, T p) {
    dispatch_channel_kind(kind, [&]<ChannelKind K>() {
        require_fit(is_density_dimension(dimension) && is_qubit_mask(target_mask, dimension, 1));
        gpu::launch<&channel_kernel<T, K>>(matrix_tile_geometry(static_cast<std::uint64_t>(dimension)), nullptr, state,
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
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    switch (k) {
        case 1:
            gpu::launch<&kraus_kernel<T, 1>>(linear_geometry((dim >> 1) * (dim >> 1), kKrausThreads), nullptr, state,
                                             dimension, targets, kraus_count, matrices);
            break;
        case 2:
            gpu::launch_cooperative<&kraus_kernel<T, 2>>(
                linear_geometry(kraus_tile_blocks<2>(dim) * kKrausThreads, kKrausThreads), nullptr, state, dimension,
                targets, kraus_count, matrices);
            break;
        default:
            gpu::launch_cooperative<&kraus_kernel<T, 3>>(
                linear_geometry(kraus_tile_blocks<3>(dim) * kKrausThreads, kKrausThreads), nullptr, state, dimension,
                targets, kraus_count, matrices);
            break;
    }
    check_launch("kraus_kernel launch failed: ");
}

#define DORMETH_INSTANTIATE_KRAUS(T)                                                             \
    template void launch_channel<T>(CuComplex<T>*, std::int64_t, std::uint64_t, ChannelKind, T); \
    template void launch_kraus<T>(CuComplex<T>*, std::int64_t, const DeviceTargets&, std::int64_t, const CuComplex<T>*);
DORMETH_INSTANTIATE_KRAUS(float)
DORMETH_INSTANTIATE_KRAUS(double)

}  // namespace korvane::dormeth
