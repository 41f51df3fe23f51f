// rho <- V rho V^dagger for general unitaries on 1 to 6 targets, one-qubit diagonal gates and the
// X / SWAP permutations, each optionally controlled. A row (column) group shares one control
// verdict because controls and targets are disjoint.
#include <stdexcept>

#include "common/cuda_check.hpp"
#include "common/gpu/launch.hpp"
#include "dormeth/kernels/block_products.cuh"
#include "dormeth/kernels/density_index.cuh"
#include "dormeth/kernels/density_kernels.hpp"
#include "dormeth/kernels/launch_guards.hpp"

namespace korvane::dormeth {

using gpu::global_thread_index;
using index::group_base;
using index::satisfies;

// ------------------------------------------------------------------ kernels

// Launch: 256-thread blocks, (dim/2^K)^2 threads, one per (row group, column group) block; the
// thread reads its block, applies U from the left where the rows meet the controls and U^dagger
// from the right where the columns do, and writes it back.
template <class T, int K>
__global__ void __launch_bounds__(kLinearBlockThreads)
    unitary_merged_kernel(CuComplex<T>* state, std::int64_t dimension, DeviceTargets targets,
                          std::uint64_t control_mask, std::uint64_t control_values, const CuComplex<T>* matrix) {
    constexpr int D = 1 << K;
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    const std::uint64_t groups = dim >> K;
    const std::uint64_t t = global_thread_index();
    if (t >= groups * groups) return;
    const std::uint64_t mask = index::target_mask<K>(targets);
    const std::uint64_t row0 = group_base(t / groups, mask);
    const std::uint64_t col0 = group_base(t % groups, mask);
    const bool left = satisfies(row0, control_mask, control_values);
    const bool right = satisfies(col0, control_mask, control_values);
    if (!left && !right) return;
    std::uint64_t offset[D];
    index::local_offsets<K>(targets, offset);
    CuComplex<T> b[D][D];
    KORVANE_UNROLL
    for (int i = 0; i < D; ++i) KORVANE_UNROLL
    for (int j = 0; j < D; ++j) b[i][j] = state[(row0 | offset[i]) * dim + (col0 | offset[j])];
    if (left) block::left_multiply<D>(matrix, b);
    if (right) block::right_multiply_adjoint<D>(matrix, b);
    KORVANE_UNROLL
    for (int i = 0; i < D; ++i) KORVANE_UNROLL
    for (int j = 0; j < D; ++j) state[(row0 | offset[i]) * dim + (col0 | offset[j])] = b[i][j];
}

constexpr unsigned kRow2BlockThreads = 256;
constexpr unsigned kRow2TileElements = kRow2BlockThreads / 4 * 16;

// Launch (cooperative, it holds a barrier): 256-thread blocks, 4 (dim/4)^2 threads, no dynamic shared
// memory (the 64 tiles of 16 elements are static). Four consecutive threads share one 4 x 4 block: thread q loads
// row q of the block into the block's tile, and after the barrier computes row q of the result from
// the whole tile and writes it. Every input of a block is read before any of its outputs is written,
// whatever order the threads run in.
template <class T>
__global__ void __launch_bounds__(kRow2BlockThreads)
    unitary_merged_row2_kernel(CuComplex<T>* state, std::int64_t dimension, DeviceTargets targets,
                               std::uint64_t control_mask, std::uint64_t control_values, const CuComplex<T>* matrix) {
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    const std::uint64_t groups = dim >> 2;
    const std::uint64_t t = global_thread_index();
    const std::uint64_t blk = t >> 2;
    const int q = static_cast<int>(t & 3);
    __shared__ CuComplex<T> tiles[kRow2TileElements];
    CuComplex<T>* tile = tiles + (threadIdx.x >> 2) * 16;
    std::uint64_t offset[4];
    index::local_offsets<2>(targets, offset);
    std::uint64_t row0 = 0;
    std::uint64_t col0 = 0;
    bool left = false;
    bool right = false;
    if (blk < groups * groups) {
        const std::uint64_t mask = index::target_mask<2>(targets);
        row0 = group_base(blk / groups, mask);
        col0 = group_base(blk % groups, mask);
        left = satisfies(row0, control_mask, control_values);
        right = satisfies(col0, control_mask, control_values);
    }
    const bool work = left || right;
    if (work) {
        const std::uint64_t row = (row0 | offset[q]) * dim;
        KORVANE_UNROLL
        for (int m = 0; m < 4; ++m) tile[q * 4 + m] = state[row + (col0 | offset[m])];
    }
    __syncthreads();  // every thread reaches it: the inactive ones only skip the loads and stores
    if (!work) return;
    CuComplex<T> x[4];  // row q of U B (or of B)
    KORVANE_UNROLL
    for (int j = 0; j < 4; ++j) {
        if (left) {
            CuComplex<T> acc{T(0), T(0)};
            KORVANE_UNROLL
            for (int l = 0; l < 4; ++l) acc += matrix[q * 4 + l] * tile[l * 4 + j];
            x[j] = acc;
        } else {
            x[j] = tile[q * 4 + j];
        }
    }
    const std::uint64_t row = (row0 | offset[q]) * dim;
    KORVANE_UNROLL
    for (int m = 0; m < 4; ++m) {
        CuComplex<T> out = x[m];
        if (right) {
            out = CuComplex<T>{T(0), T(0)};
            KORVANE_UNROLL
            for (int j = 0; j < 4; ++j) out += mul_conj(x[j], matrix[m * 4 + j]);
        }
        state[row + (col0 | offset[m])] = out;
    }
}

// The passes of 3 to 6 targets work on tiles of kPassTile elements staged in shared memory, four
// per thread, so that no thread keeps a vector of 2^K amplitudes or a table of offsets, and the
// loads and stores of a warp fall on consecutive columns. Element indices are 32-bit (dim <= 2^15):
// half the registers of 64-bit ones, which keeps long-lived indices out of local memory.
constexpr unsigned kPassThreads = 256;
constexpr unsigned kPassTile = 1024;
constexpr unsigned kPassPerThread = kPassTile / kPassThreads;
// Columns of a right-pass tile (when the matrix has that many): several column groups side by side.
constexpr std::uint64_t kRightTileColumns = 512;

// Launch (cooperative, it holds a barrier): 256-thread blocks, (dim/2^K) ceil(dim/W) blocks with
// W = 1024/2^K. A block takes one row group and W consecutive columns: it loads the 2^K x W tile,
// then writes v <- U v for each column, lanes on consecutive columns. Row groups that miss the
// controls are left alone (the whole block leaves before its barrier).
template <class T, int K>
__global__ void __launch_bounds__(kPassThreads, 2)
    unitary_left_kernel(CuComplex<T>* state, std::int64_t dimension, DeviceTargets targets, std::uint64_t control_mask,
                        std::uint64_t control_values, const CuComplex<T>* matrix) {
    constexpr unsigned D = 1u << K;
    constexpr unsigned W = kPassTile / D;
    constexpr unsigned R = kPassThreads / W;  // rows of the tile handled side by side
    __shared__ CuComplex<T> tile[kPassTile];  // [row l][column]
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    const int tile_bits = dim > W ? gpu::log2_exact(dim / W) : 0;  // column tiles per row group: 2^tile_bits
    const std::uint64_t row0 = group_base(blockIdx.x >> tile_bits, index::target_mask<K>(targets));
    if (!satisfies(row0, control_mask, control_values)) return;
    const unsigned c = threadIdx.x % W;
    const unsigned i0 = threadIdx.x / W;
    const std::uint32_t col = ((blockIdx.x & ((1u << tile_bits) - 1)) * W) + c;
    const std::uint32_t d = static_cast<std::uint32_t>(dim);
    const auto at = [&](unsigned l) {
        return static_cast<std::uint32_t>(row0 | index::local_offset<K>(targets, l)) * d + col;
    };
    const bool inside = col < dim;
    if (inside) {
        KORVANE_UNROLL
        for (unsigned q = 0; q < kPassPerThread; ++q) {
            const unsigned l = i0 + q * R;
            tile[l * W + c] = state[at(l)];
        }
    }
    __syncthreads();
    if (!inside) return;
    KORVANE_UNROLL
    for (unsigned q = 0; q < kPassPerThread; ++q) {
        const unsigned i = i0 + q * R;
        CuComplex<T> acc{T(0), T(0)};
        KORVANE_UNROLL_BY(4)
        for (unsigned j = 0; j < D; ++j) acc += matrix[i * D + j] * tile[j * W + c];
        state[at(i)] = acc;
    }
}

// Shape of a right-pass tile: C columns (G column groups of 2^K) by H rows, C H = 1024, as log2.
struct RightTile {
    int column_bits;  // C = min(512, dim)
    int group_bits;   // G = C / 2^K
    int row_bits;     // H = 1024 / C
};
__host__ __device__ __forceinline__ RightTile right_tile(std::uint64_t dim, int k) {
    const int column_bits = gpu::log2_exact(dim < kRightTileColumns ? dim : kRightTileColumns);
    return RightTile{column_bits, column_bits - k, gpu::log2_exact(kPassTile) - column_bits};
}

// Launch (cooperative, it holds barriers): 256-thread blocks, ceil(dim/H) (dim/2^K/G) blocks for the
// tile of right_tile. A block takes H rows and G consecutive column groups. Its columns are loaded
// and stored in increasing order (lanes on neighbouring columns whichever qubits are targets); in
// shared memory they sit by (column group, local index), where each thread computes four outputs
// w <- w U^dagger, with the lanes of a warp on one matrix row. Column groups that miss the controls
// are neither loaded nor stored.
template <class T, int K>
__global__ void __launch_bounds__(kPassThreads, 2)
    unitary_right_kernel(CuComplex<T>* state, std::int64_t dimension, DeviceTargets targets, std::uint64_t control_mask,
                         std::uint64_t control_values, const CuComplex<T>* matrix) {
    constexpr unsigned D = 1u << K;
    constexpr unsigned kPitch = D + 1;  // a padded group slot: lanes on different groups hit different banks
    __shared__ CuComplex<T> tile[kPassTile + kPassTile / D];
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    const RightTile shape = right_tile(dim, K);
    const unsigned groups = 1u << shape.group_bits;
    const unsigned row_pitch = groups * kPitch;
    const int tile_bits = gpu::log2_exact(dim) - K - shape.group_bits;  // column-group tiles: 2^tile_bits
    const std::uint64_t mask = index::target_mask<K>(targets);
    const std::uint32_t first_row = (blockIdx.x >> tile_bits) << shape.row_bits;
    const std::uint32_t d = static_cast<std::uint32_t>(dim);
    // The tile's columns: the targets and the lowest rest qubits free, the other rest qubits fixed.
    const std::uint64_t fixed =
        group_base(std::uint64_t(blockIdx.x & ((1u << tile_bits) - 1)) << shape.group_bits, mask);
    const std::uint64_t low_rest = group_base(groups - 1, mask);
    const std::uint64_t free_bits = mask | low_rest;
    // Element m of the tile in increasing column order: its row, column and slot in shared memory.
    const auto locate = [&](unsigned m, std::uint32_t& row, std::uint32_t& col) {
        const unsigned r = m >> shape.column_bits;
        row = first_row + r;
        col = static_cast<std::uint32_t>(gpu::deposit_bits(m & ((1u << shape.column_bits) - 1), free_bits) | fixed);
        return r * row_pitch + unsigned(gpu::extract_bits(col, low_rest)) * kPitch +
               index::local_index<K>(targets, col);
    };
    KORVANE_UNROLL
    for (unsigned q = 0; q < kPassPerThread; ++q) {
        std::uint32_t row, col;
        const unsigned slot = locate(threadIdx.x + q * kPassThreads, row, col);
        if (row < dim && satisfies(col, control_mask, control_values)) tile[slot] = state[row * d + col];
    }
    __syncthreads();
    // Output s: matrix row i = s / (G H), then group and tile row. Unused slots compute garbage that
    // is never stored.
    CuComplex<T> out[kPassPerThread];
    KORVANE_UNROLL
    for (unsigned q = 0; q < kPassPerThread; ++q) {
        const unsigned s = threadIdx.x + q * kPassThreads;
        const unsigned per_row = kPassTile / D;
        const unsigned i = s / per_row;
        const unsigned rest = s % per_row;
        const CuComplex<T>* w = tile + (rest >> shape.group_bits) * row_pitch + (rest & (groups - 1)) * kPitch;
        CuComplex<T> acc{T(0), T(0)};
        KORVANE_UNROLL_BY(4)
        for (unsigned j = 0; j < D; ++j) acc += mul_conj(w[j], matrix[i * D + j]);
        out[q] = acc;
    }
    __syncthreads();  // every input read before any is overwritten
    KORVANE_UNROLL
    for (unsigned q = 0; q < kPassPerThread; ++q) {
        const unsigned s = threadIdx.x + q * kPassThreads;
        const unsigned per_row = kPassTile / D;
        const unsigned rest = s % per_row;
        tile[(rest >> shape.group_bits) * row_pitch + (rest & (groups - 1)) * kPitch + s / per_row] = out[q];
    }
    __syncthreads();
    KORVANE_UNROLL
    for (unsigned q = 0; q < kPassPerThread; ++q) {
        std::uint32_t row, col;
        const unsigned slot = locate(threadIdx.x + q * kPassThreads, row, col);
        if (row < dim && satisfies(col, control_mask, control_values)) state[row * d + col] = tile[slot];
    }
}

// Launch: 32 x 8 tiles over the matrix, one thread per element. Only the blocks where exactly one
// of row and column has the target bit change: by w10 (row set) or w01 (column set).
template <class T>
__global__ void __launch_bounds__(kMatrixTileThreads)
    diagonal_free_kernel(CuComplex<T>* state, std::int64_t dimension, std::uint64_t target_mask, CuComplex<T> w10,
                         CuComplex<T> w01) {
    const index::Element e = index::tile_element();
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    if (e.row >= dim || e.col >= dim) return;
    const bool r = e.row & target_mask;
    const bool c = e.col & target_mask;
    if (r == c) return;
    CuComplex<T>& x = state[e.row * dim + e.col];
    x = (r ? w10 : w01) * x;
}

// Launch: 32 x 8 tiles over the matrix, one thread per element: rho[r][c] <- f(r) rho[r][c] conj(f(c)).
template <class T>
__global__ void __launch_bounds__(kMatrixTileThreads)
    diagonal_controlled_kernel(CuComplex<T>* state, std::int64_t dimension, std::uint64_t target_mask,
                               std::uint64_t control_mask, std::uint64_t control_values, CuComplex<T> d0,
                               CuComplex<T> d1) {
    const index::Element e = index::tile_element();
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    if (e.row >= dim || e.col >= dim) return;
    const bool r = satisfies(e.row, control_mask, control_values);
    const bool c = satisfies(e.col, control_mask, control_values);
    if (!r && !c) return;
    CuComplex<T>& x = state[e.row * dim + e.col];
    CuComplex<T> v = x;
    if (r) v = ((e.row & target_mask) ? d1 : d0) * v;
    if (c) v = mul_conj(v, (e.col & target_mask) ? d1 : d0);
    x = v;
}

// pi(x) of the X (one bit in mask) or SWAP (two bits) permutation where x meets the controls.
__device__ __forceinline__ std::uint64_t permuted(std::uint64_t x, std::uint64_t mask, std::uint64_t control_mask,
                                                  std::uint64_t control_values, bool is_swap) {
    if (!satisfies(x, control_mask, control_values)) return x;
    if (is_swap) {
        const std::uint64_t bits = x & mask;
        return (bits == 0 || bits == mask) ? x : x ^ mask;
    }
    return x ^ mask;
}

// Launch: 32 x 8 tiles over the matrix, one thread per element. rho'[r][c] = rho[pi(r)][pi(c)] with
// pi its own inverse: the exchange of a pair is made by the thread of its smaller linear index.
template <class T>
__global__ void __launch_bounds__(kMatrixTileThreads)
    permutation_kernel(CuComplex<T>* state, std::int64_t dimension, std::uint64_t permutation_mask,
                       std::uint64_t control_mask, std::uint64_t control_values, bool is_swap) {
    const index::Element e = index::tile_element();
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    if (e.row >= dim || e.col >= dim) return;
    const std::uint64_t pr = permuted(e.row, permutation_mask, control_mask, control_values, is_swap);
    const std::uint64_t pc = permuted(e.col, permutation_mask, control_mask, control_values, is_swap);
    const std::uint64_t self = e.row * dim + e.col;
    const std::uint64_t partner = pr * dim + pc;
    if (partner <= self) return;
    const CuComplex<T> a = state[self];
    state[self] = state[partner];
    state[partner] = a;
}

// ------------------------------------------------------------------ launchers

namespace {

constexpr const char* kUnitaryLaunchFailed = "unitary kernel launch failed: ";

template <class T, int K>
void launch_left_right(CuComplex<T>* state, std::int64_t dimension, const DeviceTargets& targets,
                       std::uint64_t control_mask, std::uint64_t control_values, const CuComplex<T>* matrix) {
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    const std::uint64_t groups = dim >> K;
    const std::uint64_t left_blocks = groups * ((dim + (kPassTile >> K) - 1) / (kPassTile >> K));
    gpu::launch_cooperative<&unitary_left_kernel<T, K>>(linear_geometry(left_blocks * kPassThreads, kPassThreads),
                                                        nullptr, state, dimension, targets, control_mask,
                                                        control_values, matrix);
    check_launch(kUnitaryLaunchFailed);
    const RightTile shape = right_tile(dim, K);
    const std::uint64_t rows = std::uint64_t(1) << shape.row_bits;
    const std::uint64_t right_blocks = ((dim + rows - 1) / rows) * (groups >> shape.group_bits);
    gpu::launch_cooperative<&unitary_right_kernel<T, K>>(linear_geometry(right_blocks * kPassThreads, kPassThreads),
                                                         nullptr, state, dimension, targets, control_mask,
                                                         control_values, matrix);
    check_launch(kUnitaryLaunchFailed);
}

}  // namespace

template <class T>
void launch_unitary(CuComplex<T>* state, std::int64_t dimension, const DeviceTargets& targets,
                    std::uint64_t control_mask, std::uint64_t control_values, const CuComplex<T>* matrix) {
    const std::int64_t k = targets.num_targets;
    if (k < 1 || k > kMaxUnitaryTargets) throw std::runtime_error("GPU density unitary supports at most 6 targets");
    require_fit(device_targets_fit(targets, dimension, kMaxUnitaryTargets) && is_inside(control_mask, dimension) &&
                (control_mask & target_bits(targets)) == 0);
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    switch (k) {
        case 1: {
            const std::uint64_t groups = dim >> 1;
            gpu::launch<&unitary_merged_kernel<T, 1>>(linear_geometry(groups * groups), nullptr, state, dimension,
                                                      targets, control_mask, control_values, matrix);
            check_launch(kUnitaryLaunchFailed);
            break;
        }
        case 2: {
            const std::uint64_t groups = dim >> 2;
            gpu::launch_cooperative<&unitary_merged_row2_kernel<T>>(
                linear_geometry(4 * groups * groups, kRow2BlockThreads), nullptr, state, dimension, targets,
                control_mask, control_values, matrix);
            check_launch(kUnitaryLaunchFailed);
            break;
        }
        case 3: launch_left_right<T, 3>(state, dimension, targets, control_mask, control_values, matrix); break;
        case 4: launch_left_right<T, 4>(state, dimension, targets, control_mask, control_values, matrix); break;
        case 5: launch_left_right<T, 5>(state, dimension, targets, control_mask, control_values, matrix); break;
        default: launch_left_right<T, 6>(state, dimension, targets, control_mask, control_values, matrix); break;
    }
}

template <class T>
void launch_diagonal_free(CuComplex<T>* state, std::int64_t dimension, std::uint64_t target_mask, CuComplex<T> w10,
                          CuComplex<T> w01) {
    require_fit(is_density_dimension(dimension) && is_qubit_mask(target_mask, dimension, 1));
    gpu::launch<&diagonal_free_kernel<T>>(matrix_tile_geometry(static_cast<std::uint64_t>(dimension)), nullptr, state,
                                          dimension, target_mask, w10, w01);
    check_launch("diagonal kernel launch failed: ");
}

template <class T>
void launch_diagonal_controlled(CuComplex<T>* state, std::int64_t dimension, std::uint64_t target_mask,
                                std::uint64_t control_mask, std::uint64_t control_values, CuComplex<T> d0,
                                CuComplex<T> d1) {
    require_fit(is_density_dimension(dimension) && is_qubit_mask(target_mask, dimension, 1) &&
                is_inside(control_mask, dimension) && (control_mask & target_mask) == 0);
    gpu::launch<&diagonal_controlled_kernel<T>>(matrix_tile_geometry(static_cast<std::uint64_t>(dimension)), nullptr,
                                                state, dimension, target_mask, control_mask, control_values, d0, d1);
    check_launch("diagonal kernel launch failed: ");
}

template <class T>
void launch_permutation(CuComplex<T>* state, std::int64_t dimension, std::uint64_t permutation_mask,
                        std::uint64_t control_mask, std::uint64_t control_values, bool is_swap) {
    // Controls disjoint from the permuted qubits keep pi its own inverse.
    require_fit(is_density_dimension(dimension) && is_qubit_mask(permutation_mask, dimension, is_swap ? 2 : 1) &&
                is_inside(control_mask, dimension) && (control_mask & permutation_mask) == 0);
    gpu::launch<&permutation_kernel<T>>(matrix_tile_geometry(static_cast<std::uint64_t>(dimension)), nullptr, state,
                                        dimension, permutation_mask, control_mask, control_values, is_swap);
    check_launch("permutation kernel launch failed: ");
}

#define DORMETH_INSTANTIATE_UNITARY(T)                                                                               \
    template void launch_unitary<T>(CuComplex<T>*, std::int64_t, const DeviceTargets&, std::uint64_t, std::uint64_t, \
                                    const CuComplex<T>*);                                                            \
    template void launch_diagonal_free<T>(CuComplex<T>*, std::int64_t, std::uint64_t, CuComplex<T>, CuComplex<T>);   \
    template void launch_diagonal_controlled<T>(CuComplex<T>*, std::int64_t, std::uint64_t, std::uint64_t,           \
                                                std::uint64_t, CuComplex<T>, CuComplex<T>);                          \
    template void launch_permutation<T>(CuComplex<T>*, std::int64_t, std::uint64_t, std::uint64_t, std::uint64_t, bool);
DORMETH_INSTANTIATE_UNITARY(float)
DORMETH_INSTANTIATE_UNITARY(double)

}  // namespace korvane::dormeth
