#include "velqa/fusion/sparsesharemem.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "common/cuda_check.hpp"
#include "common/gpu/bits.hpp"
#include "common/gpu/device.hpp"
#include "common/gpu/launch.hpp"
#include "velqa/gate_traits.hpp"

namespace velqa::fusion {
namespace {

constexpr unsigned kThreads = 128;
constexpr std::uint64_t kMaxBlocks = 65535;

// The kinds the kernel applies with cheaper arithmetic than the general 2x2 product.
constexpr std::int32_t kKindX = static_cast<std::int32_t>(FusedGateKind::X);
constexpr std::int32_t kKindY = static_cast<std::int32_t>(FusedGateKind::Y);
constexpr std::int32_t kKindH = static_cast<std::int32_t>(FusedGateKind::H);
constexpr std::int32_t kKindDiagonal = static_cast<std::int32_t>(FusedGateKind::Diagonal);
constexpr std::int32_t kKindSwap = static_cast<std::int32_t>(FusedGateKind::Swap);

// Calls update(i0, i1) for every pair of local indices of a one-target gate whose i0 meets the
// controls; the block's threads share the pairs.
template <class Update>
__device__ __forceinline__ void for_each_pair(std::int32_t k, const std::uint32_t target_bit, std::uint32_t mask,
                                              std::uint32_t values, const Update& update) {
    const std::uint32_t pairs = std::uint32_t(1) << (k - 1);
    for (std::uint32_t p = threadIdx.x; p < pairs; p += blockDim.x) {
        const std::uint32_t i0 = ((p & ~(target_bit - 1)) << 1) | (p & (target_bit - 1));
        if ((i0 & mask) == values) update(i0, i0 | target_bit);
    }
}

// matrix: the record's own, or its member's for a gate whose matrix differs between members.
template <class T>
__device__ __forceinline__ void apply_to_tile(CuComplex<T>* tile, std::int32_t k, const DeviceMatrixGate<T>& g,
                                              const CuComplex<T>* matrix) {
    // Records come from the planner with local indices below k; anything else is skipped rather
    // than let it address outside the tile.
    if (g.target < 0 || g.target >= k) return;
    const std::uint32_t tbit = std::uint32_t(1) << g.target;
    const std::uint32_t mask = g.control_mask;
    const std::uint32_t values = g.control_values;
    const CuComplex<T> m00 = matrix[0], m01 = matrix[1], m10 = matrix[2], m11 = matrix[3];
    switch (g.kind) {
        case kKindSwap: {
            if (g.target2 < 0 || g.target2 >= k || g.target2 == g.target) return;
            const std::uint32_t t2bit = std::uint32_t(1) << g.target2;
            const std::uint32_t count = std::uint32_t(1) << (k - 2);
            for (std::uint32_t p = threadIdx.x; p < count; p += blockDim.x) {
                const auto i = static_cast<std::uint32_t>(korvane::gpu::insert_zero_bits(p, tbit | t2bit)) | t2bit;
                if ((i & mask) != values) continue;
                const std::uint32_t j = (i | tbit) & ~t2bit;
                const CuComplex<T> a = tile[i];
                tile[i] = tile[j];
                tile[j] = a;
            }
            return;
        }
        case kKindX:
            for_each_pair(k, tbit, mask, values, [&](std::uint32_t i0, std::uint32_t i1) {
                const CuComplex<T> a = tile[i0];
                tile[i0] = tile[i1];
                tile[i1] = a;
            });
            return;
        case kKindY:  // [[0, -i], [i, 0]]
            for_each_pair(k, tbit, mask, values, [&](std::uint32_t i0, std::uint32_t i1) {
                const CuComplex<T> a = tile[i0];
                tile[i0] = -korvane::times_i(tile[i1]);
                tile[i1] = korvane::times_i(a);
            });
            return;
        case kKindH: {  // h [[1, 1], [1, -1]]
            const T h = m00.re;
            for_each_pair(k, tbit, mask, values, [&](std::uint32_t i0, std::uint32_t i1) {
                const CuComplex<T> a = tile[i0];
                const CuComplex<T> b = tile[i1];
                tile[i0] = h * (a + b);
                tile[i1] = h * (a - b);
            });
            return;
        }
        case kKindDiagonal:
            for_each_pair(k, tbit, mask, values, [&](std::uint32_t i0, std::uint32_t i1) {
                tile[i0] = m00 * tile[i0];
                tile[i1] = m11 * tile[i1];
            });
            return;
        default:
            for_each_pair(k, tbit, mask, values, [&](std::uint32_t i0, std::uint32_t i1) {
                const CuComplex<T> a = tile[i0];
                const CuComplex<T> b = tile[i1];
                tile[i0] = m00 * a + m01 * b;
                tile[i1] = m10 * a + m11 * b;
            });
            return;
    }
}

}  // namespace

// Launch: cooperative, 128-thread blocks, grid min(blocks, 65535) per member (grid.y counts the
// members, each of blocks << k amplitudes), 2^k amplitudes of shared memory. A record with a member
// slot s reads its member's matrix at member_matrices + 4 (member slots + s).
template <class T>
__global__ void __launch_bounds__(kThreads)
    sparsesharemem_kernel(CuComplex<T>* state, std::uint64_t blocks, std::uint64_t active_mask,
                          std::uint64_t inactive_mask, std::int32_t k, const DeviceMatrixGate<T>* gates,
                          std::int32_t gate_count, const CuComplex<T>* member_matrices, std::int32_t slots) {
    CuComplex<T>* tile = korvane::gpu::dynamic_shared_memory<CuComplex<T>>();
    const std::uint32_t size = std::uint32_t(1) << k;
    state = korvane::gpu::member_data(state, blocks << k);
    member_matrices = korvane::gpu::member_data(member_matrices, std::uint64_t(4) * static_cast<std::uint64_t>(slots));
    // The loop bound is the same for every thread of a block, so all of them reach every barrier.
    for (std::uint64_t b = blockIdx.x; b < blocks; b += gridDim.x) {
        const std::uint64_t base = korvane::gpu::deposit_bits(b, inactive_mask);
        for (std::uint32_t l = threadIdx.x; l < size; l += blockDim.x)
            tile[l] = state[base | korvane::gpu::deposit_bits(l, active_mask)];
        __syncthreads();
        for (std::int32_t g = 0; g < gate_count; ++g) {
            const DeviceMatrixGate<T>& gate = gates[g];
            const bool own = gate.member_slot < 0 || gate.member_slot >= slots;
            apply_to_tile(tile, k, gate, own ? gate.matrix : member_matrices + 4 * gate.member_slot);
            __syncthreads();
        }
        for (std::uint32_t l = threadIdx.x; l < size; l += blockDim.x)
            state[base | korvane::gpu::deposit_bits(l, active_mask)] = tile[l];
        __syncthreads();  // the tile is loaded again for the next sub-block
    }
}

template <class T>
void launch_sparsesharemem(const StateSpan<T>& state, std::uint64_t active_mask, std::int32_t k,
                           const DeviceMatrixGate<T>* gates, std::int32_t gate_count,
                           const CuComplex<T>* member_matrices, std::int32_t slots, cudaStream_t stream) {
    const std::int64_t n = state.n;
    if (k < 1 || k > 10) throw std::invalid_argument("SparseShareMem active qubits must be in [1, 10]");
    if (k > n) throw std::invalid_argument("SparseShareMem active qubits exceed circuit size");
    if (gate_count <= 0) throw std::invalid_argument("SparseShareMem group cannot be empty");
    const std::uint64_t all = (std::uint64_t(1) << n) - 1;
    // The kernel addresses base | deposit(l, active_mask): a mask naming other than k qubits of the
    // register would leave the state buffer.
    if (std::popcount(active_mask) != k || (active_mask & ~all) != 0)
        throw std::invalid_argument("SparseShareMem active mask must name k qubits of the register");
    if (slots < 0 || (slots > 0 && !member_matrices))
        throw std::invalid_argument("SparseShareMem member slots need their matrices");
    const std::uint64_t blocks = std::uint64_t(1) << (n - k);
    const korvane::LaunchGeometry geometry{dim3(static_cast<unsigned>(std::min(blocks, kMaxBlocks))), dim3(kThreads),
                                           (std::size_t(1) << k) * sizeof(CuComplex<T>)};
    const std::uint64_t per_member = std::uint64_t(4) * static_cast<std::uint64_t>(slots);
    state.for_each_launch([&](std::uint64_t first, std::uint64_t count) {
        if (first > 0) korvane::check_last_error();  // the launch before, as the caller checks the last
        korvane::gpu::launch_cooperative<&sparsesharemem_kernel<T>>(
            korvane::with_members(geometry, count), stream, state.member(first), blocks, active_mask, active_mask ^ all,
            k, gates, gate_count, slots > 0 ? member_matrices + first * per_member : nullptr, slots);
    });
}

template void launch_sparsesharemem<float>(const StateSpan<float>&, std::uint64_t, std::int32_t,
                                           const DeviceMatrixGate<float>*, std::int32_t, const CuComplex<float>*,
                                           std::int32_t, cudaStream_t);
template void launch_sparsesharemem<double>(const StateSpan<double>&, std::uint64_t, std::int32_t,
                                            const DeviceMatrixGate<double>*, std::int32_t, const CuComplex<double>*,
                                            std::int32_t, cudaStream_t);

}  // namespace velqa::fusion
