// UNITARY: a caller's 2^K x 2^K matrix on K targets, optionally controlled. Entry j of the target
// list supplies bit j of the matrix row and column index. One and two targets update in place with
// the matrix inside the kernel arguments; three to five in place with the matrix in device memory;
// six and more in place too, group by group through shared memory, or through a bounded scratch
// buffer slice by slice for groups too wide for it. Unlike the named gates the launcher allocates
// device memory and drains the stream before returning.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "common/device_buffer.hpp"
#include "velqa/gates/gate_scheme.cuh"
#include "velqa/gates/unitary_matrix.hpp"

namespace velqa {

using korvane::DeviceBuffer;

using scheme::global_thread_index;
using scheme::pair_index;

namespace {

// The four amplitudes of one base (both target bits clear) under a 4x4 matrix; b0 is the bit of
// the first listed target (bit 0 of the local index), b1 that of the second.
template <class T>
__device__ __forceinline__ void update_quad(CuComplex<T>* state, std::uint64_t base, std::uint64_t b0, std::uint64_t b1,
                                            const Unitary4x4<T>& U) {
    const std::uint64_t index[4] = {base, base | b0, base | b1, base | b0 | b1};
    CuComplex<T> x[4];
    for (int c = 0; c < 4; ++c) x[c] = state[index[c]];
    for (int r = 0; r < 4; ++r) {
        CuComplex<T> acc = U.m[4 * r] * x[0];
        for (int c = 1; c < 4; ++c) acc += U.m[4 * r + c] * x[c];
        state[index[r]] = acc;
    }
}

// Base index of thread t for two targets: 0 bits inserted at lo, then at hi (lo < hi).
__device__ __forceinline__ std::uint64_t two_target_base(std::uint64_t t, std::int32_t lo, std::int32_t hi) {
    return pair_index(pair_index(t, std::uint64_t(1) << lo), std::uint64_t(1) << hi);
}

}  // namespace

// Launch: 256-thread blocks, 2^(n-1) threads, one per pair.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_unitary_1q_inplace_kernel(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                                 std::uint64_t ctrl_value, Unitary2x2<T> U, const Unitary2x2<T>* members) {
    scheme::pair_body(n, state, target, ctrl_mask, ctrl_value,
                      MatrixUpdate<T>{scheme::member_update(members, [&] { return U; })});
}

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    unitary_1q_compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value,
                       std::uint64_t target_bit, Unitary2x2<T> U, const Unitary2x2<T>* members) {
    scheme::compact_body(count, state, mask, value, target_bit,
                         MatrixUpdate<T>{scheme::member_update(members, [&] { return U; })});
}

// Launch: 256-thread blocks, count = 2^(n-k-1) threads, one per pair matching the k controls; target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    unitary_1q_target0_compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value,
                               Unitary2x2<T> U, const Unitary2x2<T>* members) {
    scheme::compact_body(count, state, mask, value, std::uint64_t(1),
                         MatrixUpdate<T>{scheme::member_update(members, [&] { return U; })});
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair; no controls.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    unitary_1q_no_control(std::uint64_t count, CuComplex<T>* state, std::uint64_t target_bit, Unitary2x2<T> U,
                          const Unitary2x2<T>* members) {
    scheme::no_control_body(count, state, target_bit,
                            MatrixUpdate<T>{scheme::member_update(members, [&] { return U; })});
}

// Launch: 256-thread blocks, count = 2^(n-1) threads, one per pair (2t, 2t + 1); no controls, target qubit 0.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    unitary_1q_target0_no_control(std::uint64_t count, CuComplex<T>* state, Unitary2x2<T> U,
                                  const Unitary2x2<T>* members) {
    scheme::target0_no_control_body(count, state, MatrixUpdate<T>{scheme::member_update(members, [&] { return U; })});
}

// Launch: 256-thread blocks, 2^(n-2) threads, one per base with both target bits clear.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_unitary_2q_inplace_kernel(std::int64_t n, CuComplex<T>* state, std::int32_t t0, std::int32_t t1,
                                 std::uint64_t ctrl_mask, std::uint64_t ctrl_value, Unitary4x4<T> U,
                                 const Unitary4x4<T>* members) {
    const std::uint64_t t = global_thread_index();
    if (t >= (std::uint64_t(1) << (n - 2))) return;
    const std::uint64_t base = two_target_base(t, t0 < t1 ? t0 : t1, t0 < t1 ? t1 : t0);
    if ((base & ctrl_mask) != ctrl_value) return;
    state = scheme::member_data(state, std::uint64_t(1) << n);
    scheme::with_member_value(members, U, [&](const Unitary4x4<T>& V) {
        update_quad(state, base, std::uint64_t(1) << t0, std::uint64_t(1) << t1, V);
    });
}

// Launch: 256-thread blocks, count = 2^(n-k-2) threads, one per matching base; mask holds the
// controls and both targets.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    unitary_2q_compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value,
                       std::uint64_t b0, std::uint64_t b1, Unitary4x4<T> U, const Unitary4x4<T>* members) {
    const std::uint64_t t = global_thread_index();
    if (t >= count) return;
    state = scheme::member_data(state, count << korvane::gpu::popcount(mask));
    const std::uint64_t base = korvane::gpu::insert_zero_bits(t, mask) | value;
    scheme::with_member_value(members, U, [&](const Unitary4x4<T>& V) { update_quad(state, base, b0, b1, V); });
}

// Launch: 256-thread blocks, count = 2^(n-2) threads, one per base.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    unitary_2q_no_control(std::uint64_t count, CuComplex<T>* state, std::int32_t lo, std::int32_t hi, std::uint64_t b0,
                          std::uint64_t b1, Unitary4x4<T> U, const Unitary4x4<T>* members) {
    const std::uint64_t t = global_thread_index();
    if (t >= count) return;
    state = scheme::member_data(state, count << 2);
    const std::uint64_t base = two_target_base(t, lo, hi);
    scheme::with_member_value(members, U, [&](const Unitary4x4<T>& V) { update_quad(state, base, b0, b1, V); });
}

// One target is qubit 0: the first listed one when FirstIsQubit0, else the second; other is the
// bit of the remaining target. With controls, mask and value enumerate the matching bases.
// Launch: 256-thread blocks, count = 2^(n-k-2) threads, one per (matching) base.
template <class T, bool FirstIsQubit0, bool HasControls>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    unitary_2q_target0(std::uint64_t count, CuComplex<T>* state, std::uint64_t other, std::uint64_t mask,
                       std::uint64_t value, Unitary4x4<T> U, const Unitary4x4<T>* members) {
    const std::uint64_t t = global_thread_index();
    if (t >= count) return;
    std::uint64_t base;
    if constexpr (HasControls)
        base = korvane::gpu::insert_zero_bits(t, mask) | value;
    else
        base = pair_index(t << 1, other);
    state = scheme::member_data(state, HasControls ? count << korvane::gpu::popcount(mask) : count << 2);
    scheme::with_member_value(members, U, [&](const Unitary4x4<T>& V) {
        update_quad(state, base, FirstIsQubit0 ? std::uint64_t(1) : other, FirstIsQubit0 ? other : std::uint64_t(1), V);
    });
}

// K = 3, 4 or 5 targets in place; matrix is the device copy, targets in the caller's order,
// sorted_targets ascending (they drive the base expansion). The offset of each local index is
// computed from the targets held in registers, so no per-thread table of 2^K offsets is kept.
// target_mask is unused; it stays because the parameter list is part of the kernel's symbol, which
// the resource table is keyed by. Member y of a batch launch applies the matrix matrix_stride
// elements further per member (0: every member applies the same).
// Launch: 256-thread blocks, 2^(n-K) threads, one per base with every target bit clear, per member.
template <class T, int K>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads, K < 5 ? 2 : 1)
    cu_unitary_inplace_kernel(std::int64_t n, CuComplex<T>* state, const std::int64_t* targets,
                              const std::int64_t* sorted_targets, std::uint64_t /*target_mask*/,
                              std::uint64_t ctrl_mask, std::uint64_t ctrl_value, const CuComplex<T>* matrix,
                              std::uint64_t matrix_stride) {
    constexpr int dim = 1 << K;
    const std::uint64_t t = global_thread_index();
    if (t >= (std::uint64_t(1) << (n - K))) return;
    state = scheme::member_data(state, std::uint64_t(1) << n);
    matrix = scheme::member_data(matrix, matrix_stride);
    std::uint64_t base = t;
    for (int j = 0; j < K; ++j) base = pair_index(base, std::uint64_t(1) << sorted_targets[j]);
    if ((base & ctrl_mask) != ctrl_value) return;
    std::int64_t qubit[K];
    KORVANE_UNROLL
    for (int j = 0; j < K; ++j) qubit[j] = targets[j];
    const auto at = [&](int c) {
        std::uint64_t index = base;
        KORVANE_UNROLL
        for (int j = 0; j < K; ++j) index |= std::uint64_t((c >> j) & 1) << qubit[j];
        return index;
    };
    CuComplex<T> x[dim];
    KORVANE_UNROLL
    for (int c = 0; c < dim; ++c) x[c] = state[at(c)];
    for (int r = 0; r < dim; ++r) {
        const CuComplex<T>* row = matrix + r * dim;
        CuComplex<T> acc = row[0] * x[0];
        KORVANE_UNROLL
        for (int c = 1; c < dim; ++c) acc += row[c] * x[c];
        state[at(r)] = acc;
    }
}

// K >= 6 targets. A group is the 2^K amplitudes of one base (every target bit clear); groups are
// numbered by their other bits in increasing order. The matrix arrives transposed (element (r, c)
// at c 2^K + r), so the lanes of a warp, which compute neighbouring rows r of one group, read
// neighbouring matrix elements.
namespace wide {

constexpr unsigned kThreads = 256;
constexpr std::uint64_t kMaxBlocks = 65535;
// Groups of up to kTileAmplitudes (K <= 10) are staged in shared memory and updated in place;
// larger ones go through a bounded scratch buffer in slices of groups.
constexpr std::int64_t kTileBits = 10;
constexpr std::uint64_t kTileAmplitudes = std::uint64_t(1) << kTileBits;
constexpr unsigned kMaxOutputs = kTileAmplitudes / kThreads;  // outputs per thread of a tile

// The index of local row r of the group whose base is base: bit j of r at qubit targets[j].
__device__ __forceinline__ std::uint64_t scatter(std::uint64_t base, std::uint64_t r, const std::int64_t* targets,
                                                 std::int64_t K) {
    for (std::int64_t j = 0; j < K; ++j) base |= ((r >> j) & 1) << targets[j];
    return base;
}

// Groups per tile: as many whole groups as a tile holds, at most every group of the state.
__host__ __device__ __forceinline__ std::uint64_t tile_groups(std::int64_t n, std::int64_t K) {
    return std::uint64_t(1) << ((n < kTileBits ? n : kTileBits) - K);
}

}  // namespace wide

// Launch (cooperative, it holds barriers): 256-thread blocks, grid min(tiles, 65535) striding over
// the tiles of G = tile_groups consecutive groups (1024 amplitudes, or the whole state when it is
// smaller), G (2^K + 1) amplitudes of dynamic shared memory.
// A tile's amplitudes are loaded and stored in increasing index order (lanes on neighbouring
// amplitudes whichever qubits are targets) and sit in shared memory by (group, local row), a
// group's slot padded by one amplitude so lanes on different groups use different banks. Each
// thread computes up to four outputs from the staged tile, which it writes back to the tile after
// a barrier. Groups that miss the controls are neither loaded nor stored. Member y of a batch
// launch applies the matrix matrix_stride elements further per member (0: the same for every one).
template <class T>
__global__ void __launch_bounds__(wide::kThreads, 2)
    cu_unitary_kernel(std::int64_t n, CuComplex<T>* state, const std::int64_t* targets, std::int64_t K,
                      std::uint64_t target_mask, std::uint64_t ctrl_mask, std::uint64_t ctrl_value,
                      const CuComplex<T>* matrix_t, std::int64_t dim, std::uint64_t matrix_stride) {
    CuComplex<T>* tile = korvane::gpu::dynamic_shared_memory<CuComplex<T>>();
    state = scheme::member_data(state, std::uint64_t(1) << n);
    matrix_t = scheme::member_data(matrix_t, matrix_stride);
    const std::uint64_t d = static_cast<std::uint64_t>(dim);
    const std::uint64_t pitch = d + 1;
    const std::uint64_t groups = wide::tile_groups(n, K);
    const std::uint64_t amplitudes = groups * d;  // at most kMaxOutputs per thread
    const std::uint64_t tiles = (std::uint64_t(1) << (n - K)) >> korvane::gpu::log2_exact(groups);
    const std::uint64_t low_rest = korvane::gpu::insert_zero_bits(groups - 1, target_mask);
    const std::uint64_t free_bits = target_mask | low_rest;
    // The loop bound is the same for every thread of a block, so all of them reach every barrier.
    for (std::uint64_t tile_index = blockIdx.x; tile_index < tiles; tile_index += gridDim.x) {
        const std::uint64_t fixed = korvane::gpu::insert_zero_bits(tile_index * groups, target_mask);
        const auto slot = [&](std::uint64_t i) {
            std::uint64_t r = 0;
            for (std::int64_t j = 0; j < K; ++j) r |= ((i >> targets[j]) & 1) << j;
            return korvane::gpu::extract_bits(i, low_rest) * pitch + r;
        };
        for (std::uint64_t m = threadIdx.x; m < amplitudes; m += blockDim.x) {
            const std::uint64_t i = korvane::gpu::deposit_bits(m, free_bits) | fixed;
            if ((i & ctrl_mask) == ctrl_value) tile[slot(i)] = state[i];
        }
        __syncthreads();
        CuComplex<T> out[wide::kMaxOutputs];
        KORVANE_UNROLL
        for (unsigned q = 0; q < wide::kMaxOutputs; ++q) {
            const std::uint64_t s = threadIdx.x + q * blockDim.x;
            if (s >= amplitudes) break;
            const CuComplex<T>* x = tile + (s >> K) * pitch;
            const std::uint64_t r = s & (d - 1);
            CuComplex<T> acc{T(0), T(0)};
            KORVANE_UNROLL_BY(4)
            for (std::uint64_t c = 0; c < d; ++c) acc += matrix_t[c * d + r] * x[c];
            out[q] = acc;
        }
        __syncthreads();  // every input read before any is overwritten
        KORVANE_UNROLL
        for (unsigned q = 0; q < wide::kMaxOutputs; ++q) {
            const std::uint64_t s = threadIdx.x + q * blockDim.x;
            if (s >= amplitudes) break;
            tile[(s >> K) * pitch + (s & (d - 1))] = out[q];
        }
        __syncthreads();
        for (std::uint64_t m = threadIdx.x; m < amplitudes; m += blockDim.x) {
            const std::uint64_t i = korvane::gpu::deposit_bits(m, free_bits) | fixed;
            if ((i & ctrl_mask) == ctrl_value) state[i] = tile[slot(i)];
        }
        __syncthreads();  // the tile is loaded again for the next tile index
    }
}

// The groups [first, first + count) copied into scratch, group by group (local row r of group
// first + g at g 2^K + r); groups that miss the controls are skipped.
// Launch: 256-thread blocks, grid min(ceil(count 2^K / 256), 65535), threads striding.
template <class T>
__global__ void __launch_bounds__(wide::kThreads, 2)
    cu_unitary_gather_kernel(const CuComplex<T>* state, CuComplex<T>* scratch, std::uint64_t first, std::uint64_t count,
                             const std::int64_t* targets, std::int64_t K, std::uint64_t target_mask,
                             std::uint64_t ctrl_mask, std::uint64_t ctrl_value) {
    const std::uint64_t elements = count << K;
    const std::uint64_t stride = std::uint64_t(gridDim.x) * blockDim.x;
    for (std::uint64_t e = global_thread_index(); e < elements; e += stride) {
        const std::uint64_t base = korvane::gpu::insert_zero_bits(first + (e >> K), target_mask);
        if ((base & ctrl_mask) != ctrl_value) continue;
        scratch[e] = state[wide::scatter(base, e & ((std::uint64_t(1) << K) - 1), targets, K)];
    }
}

// The groups [first, first + count) of the state computed from their copy in scratch: lanes on
// neighbouring rows of one group, reading neighbouring elements of the transposed matrix.
// Launch: as cu_unitary_gather_kernel.
template <class T>
__global__ void __launch_bounds__(wide::kThreads, 2)
    cu_unitary_slice_kernel(CuComplex<T>* state, const CuComplex<T>* scratch, std::uint64_t first, std::uint64_t count,
                            const std::int64_t* targets, std::int64_t K, std::uint64_t target_mask,
                            std::uint64_t ctrl_mask, std::uint64_t ctrl_value, const CuComplex<T>* matrix_t) {
    const std::uint64_t d = std::uint64_t(1) << K;
    const std::uint64_t elements = count << K;
    const std::uint64_t stride = std::uint64_t(gridDim.x) * blockDim.x;
    for (std::uint64_t e = global_thread_index(); e < elements; e += stride) {
        const std::uint64_t base = korvane::gpu::insert_zero_bits(first + (e >> K), target_mask);
        if ((base & ctrl_mask) != ctrl_value) continue;
        const std::uint64_t r = e & (d - 1);
        const CuComplex<T>* x = scratch + (e - r);
        CuComplex<T> acc{T(0), T(0)};
        KORVANE_UNROLL_BY(4)
        for (std::uint64_t c = 0; c < d; ++c) acc += matrix_t[c * d + r] * x[c];
        state[wide::scatter(base, r, targets, K)] = acc;
    }
}

namespace {

using korvane::linear_geometry;
using korvane::with_members;
using korvane::gpu::launch;

// The 1-target AutoPair table is the standard one; every other mode runs the in-place kernel.
struct unitary_1q_gate : scheme::GateDefaults {
    template <class T>
    using kernels = scheme::GateKernels<&cu_unitary_1q_inplace_kernel<T>, &cu_unitary_1q_inplace_kernel<T>,
                                        &unitary_1q_compact<T>, &unitary_1q_target0_compact<T>,
                                        &unitary_1q_no_control<T>, &unitary_1q_target0_no_control<T>>;
};

// The matrices rounded to the state's precision, part by part: the shared one, or every member's.
template <class T>
std::vector<CuComplex<T>> host_matrix(const std::vector<std::complex<double>>& matrix) {
    std::vector<CuComplex<T>> out(matrix.size());
    std::transform(matrix.begin(), matrix.end(), out.begin(), [](const std::complex<double>& z) {
        return CuComplex<T>{static_cast<T>(z.real()), static_cast<T>(z.imag())};
    });
    return out;
}

template <class E>
void upload(const DeviceBuffer<E>& buffer, const E* host, std::size_t count, cudaStream_t stream) {
    korvane::cuda_check(cudaMemcpyAsync(buffer.get(), host, count * sizeof(E), cudaMemcpyHostToDevice, stream));
}

// Validation in the order callers see the messages; the qubit checks that keep the kernels inside
// the state come last. Returns the target mask.
std::uint64_t validate_unitary(std::int64_t n, const std::vector<std::int64_t>& targets,
                               const std::vector<std::int64_t>& controls,
                               const std::vector<std::int64_t>& control_state, std::size_t elements, std::int64_t dim,
                               ControlMasks& masks) {
    const std::size_t K = targets.size();
    if (K == 0) throw std::invalid_argument("UNITARY gate requires at least one target.");
    if (K > 62 || dim != (std::int64_t(1) << K))
        throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
    // dim * dim may not fit in 64 bits; compare by division.
    const auto d = static_cast<std::uint64_t>(dim);
    if (elements % d != 0 || elements / d != d) throw std::invalid_argument("UNITARY matrix size mismatch.");
    masks = build_control_masks(controls, control_state);
    std::uint64_t target_mask = 0;
    for (const std::int64_t t : targets) {
        if (t < 0 || t > 62) throw std::invalid_argument("target qubit index must be in [0, 62]");
        target_mask |= std::uint64_t(1) << t;
    }
    check_gate_qubits(static_cast<std::uint64_t>(n), targets, controls);
    return target_mask;
}

template <class T, int K>
void launch_inplace_k(const korvane::LaunchGeometry& geometry, std::int64_t n, CuComplex<T>* state,
                      const std::int64_t* targets, const std::int64_t* sorted, std::uint64_t target_mask,
                      const ControlMasks& m, const CuComplex<T>* matrix, std::uint64_t matrix_stride,
                      cudaStream_t stream) {
    launch<&cu_unitary_inplace_kernel<T, K>>(geometry, stream, n, state, targets, sorted, target_mask, m.ctrl_mask,
                                             m.ctrl_value, matrix, matrix_stride);
}

// 3 to 5 targets: the one place a runtime K becomes the kernel's template parameter. The launch
// covers `members` members from state on.
template <class T>
void launch_inplace(std::size_t K, std::int64_t n, CuComplex<T>* state, std::uint64_t members,
                    const std::int64_t* targets, const std::int64_t* sorted, std::uint64_t target_mask,
                    const ControlMasks& m, const CuComplex<T>* matrix, std::uint64_t matrix_stride,
                    cudaStream_t stream) {
    const auto geometry =
        with_members(linear_geometry(std::uint64_t(1) << (n - static_cast<std::int64_t>(K))), members);
    switch (K) {
        case 3:
            launch_inplace_k<T, 3>(geometry, n, state, targets, sorted, target_mask, m, matrix, matrix_stride, stream);
            break;
        case 4:
            launch_inplace_k<T, 4>(geometry, n, state, targets, sorted, target_mask, m, matrix, matrix_stride, stream);
            break;
        case 5:
            launch_inplace_k<T, 5>(geometry, n, state, targets, sorted, target_mask, m, matrix, matrix_stride, stream);
            break;
        default: throw std::invalid_argument("unsupported inplace unitary target size");
    }
}

// Each dim x dim row-major block (a member's matrix) with element (r, c) at c dim + r.
template <class T>
std::vector<CuComplex<T>> transposed(const std::vector<CuComplex<T>>& m, std::uint64_t dim) {
    std::vector<CuComplex<T>> out(m.size());
    for (std::uint64_t first = 0; first < m.size(); first += dim * dim)
        for (std::uint64_t r = 0; r < dim; ++r)
            for (std::uint64_t c = 0; c < dim; ++c) out[first + c * dim + r] = m[first + r * dim + c];
    return out;
}

// K >= 6: groups that fit a shared-memory tile in place; larger groups in slices of as many groups
// as the scratch limit of one member holds (at least one), each slice gathered into scratch and
// computed back into the state, member by member. Every launch is checked before the next; a
// refused slice leaves its groups and all later ones unchanged. matrix_stride is 0 when every member
// applies the same matrix, else dim^2.
template <class T>
void launch_wide(const StateSpan<T>& state, const std::vector<std::int64_t>& targets, std::uint64_t target_mask,
                 const ControlMasks& m, const std::vector<CuComplex<T>>& matrix_t, std::uint64_t matrix_stride,
                 cudaStream_t stream) {
    using korvane::cuda_check;
    const std::int64_t n = state.n;
    const auto K = static_cast<std::int64_t>(targets.size());
    const std::int64_t dim = std::int64_t(1) << K;
    DeviceBuffer<CuComplex<T>> device_matrix(matrix_t.size());
    upload(device_matrix, matrix_t.data(), matrix_t.size(), stream);
    DeviceBuffer<std::int64_t> device_targets(targets.size());
    upload(device_targets, targets.data(), targets.size(), stream);
    const std::uint64_t groups = std::uint64_t(1) << (n - K);
    const std::size_t group_bytes = sizeof(CuComplex<T>) << K;
    if (K <= wide::kTileBits) {
        const std::uint64_t per_tile = wide::tile_groups(n, K);
        const korvane::LaunchGeometry geometry{
            dim3(static_cast<unsigned>(std::min(groups / per_tile, wide::kMaxBlocks))), dim3(wide::kThreads),
            per_tile * static_cast<std::uint64_t>(dim + 1) * sizeof(CuComplex<T>)};
        state.for_each_launch([&](std::uint64_t first, std::uint64_t count) {
            korvane::gpu::launch_cooperative<&cu_unitary_kernel<T>>(
                with_members(geometry, count), stream, n, state.member(first), device_targets.get(), K, target_mask,
                m.ctrl_mask, m.ctrl_value, device_matrix.get() + first * matrix_stride, dim, matrix_stride);
            korvane::check_last_error();
        });
    } else {
        const std::size_t limit = korvane::scratch_limit_bytes((std::size_t(1) << n) * sizeof(CuComplex<T>));
        const std::uint64_t per_slice =
            std::max<std::uint64_t>(1, std::min<std::uint64_t>(groups, limit / group_bytes));
        DeviceBuffer<CuComplex<T>> scratch(per_slice << K);
        for (std::uint64_t b = 0; b < state.members; ++b) {
            CuComplex<T>* member = state.member(b);
            const CuComplex<T>* matrix = device_matrix.get() + b * matrix_stride;
            for (std::uint64_t first = 0; first < groups; first += per_slice) {
                const std::uint64_t count = std::min(per_slice, groups - first);
                const auto geometry = korvane::capped_geometry(count << K, wide::kThreads, wide::kMaxBlocks);
                launch<&cu_unitary_gather_kernel<T>>(geometry, stream, member, scratch.get(), first, count,
                                                     device_targets.get(), K, target_mask, m.ctrl_mask, m.ctrl_value);
                korvane::check_last_error();
                launch<&cu_unitary_slice_kernel<T>>(geometry, stream, member, scratch.get(), first, count,
                                                    device_targets.get(), K, target_mask, m.ctrl_mask, m.ctrl_value,
                                                    matrix);
                korvane::check_last_error();
            }
        }
        cuda_check(cudaStreamSynchronize(stream));
        device_targets.release();
        device_matrix.release();
        scratch.release();
        return;
    }
    cuda_check(cudaStreamSynchronize(stream));
    device_targets.release();
    device_matrix.release();
}

// The 2-target AutoPair choice: no controls or controls, with neither target on qubit 0 or with
// the first or the second on it; the launch covers `members` members from state on.
template <class T>
void autopair_2q(std::int64_t n, CuComplex<T>* state, std::uint64_t members, std::int32_t t0, std::int32_t t1,
                 const ControlMasks& m, std::int32_t k, const Unitary4x4<T>& U, const Unitary4x4<T>* per_member,
                 cudaStream_t stream) {
    const std::uint64_t b0 = std::uint64_t(1) << t0;
    const std::uint64_t b1 = std::uint64_t(1) << t1;
    const std::uint64_t both = b0 | b1;
    const std::uint64_t other = t0 == 0 ? b1 : b0;
    const std::uint64_t mask = both | m.ctrl_mask;
    const std::uint64_t value = m.ctrl_value & ~both;
    const std::uint64_t count = std::uint64_t(1) << (n - k - 2);
    const auto geometry = with_members(linear_geometry(count), members);
    if (t0 != 0 && t1 != 0) {
        if (k == 0)
            launch<&unitary_2q_no_control<T>>(geometry, stream, count, state, std::min(t0, t1), std::max(t0, t1), b0,
                                              b1, U, per_member);
        else
            launch<&unitary_2q_compact<T>>(geometry, stream, count, state, mask, value, b0, b1, U, per_member);
    } else if (t0 == 0) {
        if (k == 0)
            launch<&unitary_2q_target0<T, true, false>>(geometry, stream, count, state, other, std::uint64_t(0),
                                                        std::uint64_t(0), U, per_member);
        else
            launch<&unitary_2q_target0<T, true, true>>(geometry, stream, count, state, other, mask, value, U,
                                                       per_member);
    } else {
        if (k == 0)
            launch<&unitary_2q_target0<T, false, false>>(geometry, stream, count, state, other, std::uint64_t(0),
                                                         std::uint64_t(0), U, per_member);
        else
            launch<&unitary_2q_target0<T, false, true>>(geometry, stream, count, state, other, mask, value, U,
                                                        per_member);
    }
}

// The per-member small matrix E (Unitary2x2 or Unitary4x4) of each member, uploaded when the
// members' matrices differ; null otherwise.
template <class E, class T>
const E* member_small_matrices(const StateSpan<T>& state, const GateRecord& gate, const std::vector<CuComplex<T>>& host,
                               cudaStream_t stream) {
    constexpr std::size_t kEntries = sizeof(E) / sizeof(CuComplex<T>);
    return scheme::upload_member_values<E>(state, gate, stream, [&](std::uint64_t b) {
        E matrix;
        std::copy(host.begin() + static_cast<std::ptrdiff_t>(b * kEntries),
                  host.begin() + static_cast<std::ptrdiff_t>((b + 1) * kEntries),
                  reinterpret_cast<CuComplex<T>*>(&matrix));
        return matrix;
    });
}

}  // namespace

void check_unitary_gate(std::int64_t n, const GateRecord& gate) {
    ControlMasks m;
    (void)validate_unitary(n, gate.target, gate.control, gate.control_state, gate.matrix.size(), gate.matrix_dim, m);
}

template <class T>
void launch_unitary(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode) {
    using korvane::cuda_check;
    const std::int64_t n = state.n;
    const std::vector<std::int64_t>& targets = gate.target;
    const std::int64_t dim = gate.matrix_dim;
    ControlMasks m;
    const std::uint64_t target_mask =
        validate_unitary(n, targets, gate.control, gate.control_state, gate.matrix.size(), dim, m);
    const std::size_t K = targets.size();
    const auto k = static_cast<std::int32_t>(gate.control.size());

    std::vector<std::int64_t> sorted(targets);
    std::sort(sorted.begin(), sorted.end());
    // Every member's matrix when they differ (member b's from element b dim^2), else the shared one.
    const std::vector<CuComplex<T>> host = host_matrix<T>(gate.varies_by_member() ? gate.member_matrix : gate.matrix);
    const std::uint64_t matrix_stride = gate.varies_by_member() ? gate.matrix.size() : 0;

    if (K <= 2) {
        if (K == 1) {
            const Unitary2x2<T> U{host[0], host[1], host[2], host[3]};
            const Unitary2x2<T>* members = member_small_matrices<Unitary2x2<T>>(state, gate, host, stream);
            const auto target = static_cast<std::int32_t>(targets[0]);
            state.for_each_launch([&](std::uint64_t first, std::uint64_t count) {
                CuComplex<T>* data = state.member(first);
                const Unitary2x2<T>* per_member = members ? members + first : nullptr;
                if (mode == KernelMode::PairAuto)
                    scheme::autopair_dispatch<unitary_1q_gate, T>(n, data, count, target, m,
                                                                  static_cast<std::uint64_t>(k), stream, U, per_member);
                else
                    launch<&cu_unitary_1q_inplace_kernel<T>>(
                        with_members(linear_geometry(std::uint64_t(1) << (n - 1)), count), stream, n, data, target,
                        m.ctrl_mask, m.ctrl_value, U, per_member);
                korvane::check_last_error();
            });
        } else {
            Unitary4x4<T> U;
            std::copy(host.begin(), host.begin() + 16, U.m);
            const Unitary4x4<T>* members = member_small_matrices<Unitary4x4<T>>(state, gate, host, stream);
            const auto t0 = static_cast<std::int32_t>(targets[0]);
            const auto t1 = static_cast<std::int32_t>(targets[1]);
            state.for_each_launch([&](std::uint64_t first, std::uint64_t count) {
                CuComplex<T>* data = state.member(first);
                const Unitary4x4<T>* per_member = members ? members + first : nullptr;
                if (mode == KernelMode::PairAuto)
                    autopair_2q<T>(n, data, count, t0, t1, m, k, U, per_member, stream);
                else
                    launch<&cu_unitary_2q_inplace_kernel<T>>(
                        with_members(linear_geometry(std::uint64_t(1) << (n - 2)), count), stream, n, data, t0, t1,
                        m.ctrl_mask, m.ctrl_value, U, per_member);
                korvane::check_last_error();
            });
        }
        cuda_check(cudaStreamSynchronize(stream));
        return;
    }

    if (K >= 6) {
        launch_wide<T>(state, targets, target_mask, m, transposed(host, static_cast<std::uint64_t>(dim)), matrix_stride,
                       stream);
        return;
    }
    DeviceBuffer<CuComplex<T>> device_matrix(host.size());
    upload(device_matrix, host.data(), host.size(), stream);
    DeviceBuffer<std::int64_t> device_targets(K);
    upload(device_targets, targets.data(), K, stream);
    DeviceBuffer<std::int64_t> device_sorted(K);
    upload(device_sorted, sorted.data(), K, stream);
    state.for_each_launch([&](std::uint64_t first, std::uint64_t count) {
        launch_inplace<T>(K, n, state.member(first), count, device_targets.get(), device_sorted.get(), target_mask, m,
                          device_matrix.get() + first * matrix_stride, matrix_stride, stream);
        korvane::check_last_error();
    });
    cuda_check(cudaStreamSynchronize(stream));
    device_targets.release();
    device_matrix.release();
    device_sorted.release();
}

template void launch_unitary<float>(const StateSpan<float>&, const GateRecord&, cudaStream_t, KernelMode);
template void launch_unitary<double>(const StateSpan<double>&, const GateRecord&, cudaStream_t, KernelMode);

}  // namespace velqa
