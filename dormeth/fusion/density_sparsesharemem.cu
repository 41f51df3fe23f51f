// The density shared-memory kernel: one thread block loads a 2^k x 2^k sub-block of the density
// matrix (fixed values of the inactive qubits on the row and on the column side) into shared
// memory, applies every record of the group to it, and writes it back.
#include "dormeth/fusion/density_sparsesharemem.hpp"

#include <algorithm>
#include <stdexcept>

#include "common/cuda_check.hpp"
#include "common/gpu/bits.hpp"
#include "common/gpu/device.hpp"
#include "common/gpu/launch.hpp"
#include "dormeth/kernels/block_products.cuh"
#include "dormeth/kernels/channel_rules.cuh"
#include "dormeth/kernels/launch_guards.hpp"

namespace korvane::dormeth {
namespace {

constexpr unsigned kThreads = 128;
constexpr std::uint64_t kMaxBlocks = 65535;

constexpr std::int32_t kMatrix = static_cast<std::int32_t>(DensityFusedGateKind::Matrix);
constexpr std::int32_t kDiagonal = static_cast<std::int32_t>(DensityFusedGateKind::Diagonal);
constexpr std::int32_t kFlip = static_cast<std::int32_t>(DensityFusedGateKind::Flip);
constexpr std::int32_t kChannel = static_cast<std::int32_t>(DensityFusedGateKind::Channel);

// The channel's element rule on one 2 x 2 block; a kind outside 1..5 (never built by the host)
// leaves the block as it is.
template <class T>
__device__ __forceinline__ void channel_on_block(std::int32_t kind, CuComplex<T> (&b)[2][2], T p) {
    using density::ChannelKind;
    switch (kind) {
        case static_cast<std::int32_t>(ChannelKind::BitFlip): channel_block<ChannelKind::BitFlip>(b, p); return;
        case static_cast<std::int32_t>(ChannelKind::PhaseFlip): channel_block<ChannelKind::PhaseFlip>(b, p); return;
        case static_cast<std::int32_t>(ChannelKind::Depolarizing):
            channel_block<ChannelKind::Depolarizing>(b, p);
            return;
        case static_cast<std::int32_t>(ChannelKind::AmplitudeDamping):
            channel_block<ChannelKind::AmplitudeDamping>(b, p);
            return;
        case static_cast<std::int32_t>(ChannelKind::PhaseDamping):
            channel_block<ChannelKind::PhaseDamping>(b, p);
            return;
        default: return;
    }
}

// rho <- V rho V^dagger on the tile (side x side, row-major) for one record. The tile splits into
// 2 x 2 blocks of the record's target bit (rows i0, i0 | bit and columns j0, j0 | bit with the bit
// clear in i0 and j0); the block's threads share the blocks, so each element has one owner. The row
// pair shares one control verdict, as does the column pair: controls are never the target.
template <class T>
__device__ __forceinline__ void apply_record(CuComplex<T>* tile, std::int32_t k, const DeviceDensityGate<T>& g) {
    // Records come from the host builder with a target below k; anything else is skipped rather than
    // let it address outside the tile.
    if (g.target < 0 || g.target >= k) return;
    const std::uint32_t side = std::uint32_t(1) << k;
    const std::uint32_t bit = std::uint32_t(1) << g.target;
    if (g.kind == kFlip && g.flip_mask != bit) return;
    const std::uint32_t half = side >> 1;
    const std::uint32_t mask = g.control_mask;
    const std::uint32_t values = g.control_values;
    for (std::uint32_t q = threadIdx.x; q < half * half; q += blockDim.x) {
        const auto i0 = static_cast<std::uint32_t>(gpu::insert_zero_bits(q / half, bit));
        const auto j0 = static_cast<std::uint32_t>(gpu::insert_zero_bits(q % half, bit));
        const std::uint32_t rows[2] = {i0 * side, (i0 | bit) * side};
        const std::uint32_t cols[2] = {j0, j0 | bit};
        CuComplex<T> b[2][2];
        KORVANE_UNROLL
        for (int r = 0; r < 2; ++r) KORVANE_UNROLL
        for (int c = 0; c < 2; ++c) b[r][c] = tile[rows[r] + cols[c]];
        const bool row_on = (i0 & mask) == values;
        const bool col_on = (j0 & mask) == values;
        switch (g.kind) {
            case kMatrix:
                if (row_on) block::left_multiply<2>(g.matrix, b);
                if (col_on) block::right_multiply_adjoint<2>(g.matrix, b);
                break;
            case kDiagonal: {
                const CuComplex<T> one{T(1), T(0)};
                const CuComplex<T> fr[2] = {row_on ? g.diag[0] : one, row_on ? g.diag[1] : one};
                const CuComplex<T> fc[2] = {col_on ? g.diag[0] : one, col_on ? g.diag[1] : one};
                KORVANE_UNROLL
                for (int r = 0; r < 2; ++r) KORVANE_UNROLL
                for (int c = 0; c < 2; ++c) b[r][c] = mul_conj(fr[r] * b[r][c], fc[c]);
                break;
            }
            case kFlip:
                if (row_on) {
                    const CuComplex<T> x = b[0][0], y = b[0][1];
                    b[0][0] = b[1][0];
                    b[0][1] = b[1][1];
                    b[1][0] = x;
                    b[1][1] = y;
                }
                if (col_on) {
                    const CuComplex<T> x = b[0][0], y = b[1][0];
                    b[0][0] = b[0][1];
                    b[1][0] = b[1][1];
                    b[0][1] = x;
                    b[1][1] = y;
                }
                break;
            case kChannel: channel_on_block(g.channel_kind, b, g.channel_parameter); break;
            default: break;
        }
        KORVANE_UNROLL
        for (int r = 0; r < 2; ++r) KORVANE_UNROLL
        for (int c = 0; c < 2; ++c) tile[rows[r] + cols[c]] = b[r][c];
    }
}

}  // namespace

// Launch: cooperative, 128-thread blocks, grid min(blocks, 65535), 4^k elements of shared memory.
// Sub-block b has the row part b >> rest and the column part b & (2^rest - 1), deposited into the
// inactive qubits; consecutive sub-blocks differ in the lowest inactive column qubits, so blocks
// running side by side touch neighbouring memory.
template <class T>
__global__ void __launch_bounds__(kThreads)
    density_sparsesharemem_kernel(CuComplex<T>* state, std::int64_t dimension, std::uint64_t blocks,
                                  std::uint64_t active_mask, std::uint64_t inactive_mask, std::int32_t k,
                                  std::int32_t rest, const DeviceDensityGate<T>* records, std::int32_t record_count) {
    CuComplex<T>* tile = gpu::dynamic_shared_memory<CuComplex<T>>();
    const std::uint64_t dim = static_cast<std::uint64_t>(dimension);
    const std::uint32_t side = std::uint32_t(1) << k;
    const std::uint32_t size = side * side;
    const std::uint64_t column_part = (std::uint64_t(1) << rest) - 1;
    // The loop bound is the same for every thread of a block, so all of them reach every barrier.
    for (std::uint64_t b = blockIdx.x; b < blocks; b += gridDim.x) {
        const std::uint64_t row_base = gpu::deposit_bits(b >> rest, inactive_mask);
        const std::uint64_t col_base = gpu::deposit_bits(b & column_part, inactive_mask);
        for (std::uint32_t l = threadIdx.x; l < size; l += blockDim.x) {
            const std::uint64_t r = row_base | gpu::deposit_bits(l >> k, active_mask);
            const std::uint64_t c = col_base | gpu::deposit_bits(l & (side - 1), active_mask);
            tile[l] = state[r * dim + c];
        }
        __syncthreads();
        for (std::int32_t g = 0; g < record_count; ++g) {
            apply_record(tile, k, records[g]);
            __syncthreads();
        }
        for (std::uint32_t l = threadIdx.x; l < size; l += blockDim.x) {
            const std::uint64_t r = row_base | gpu::deposit_bits(l >> k, active_mask);
            const std::uint64_t c = col_base | gpu::deposit_bits(l & (side - 1), active_mask);
            state[r * dim + c] = tile[l];
        }
        __syncthreads();  // the tile is loaded again for the next sub-block
    }
}

template <class T>
void launch_density_sparsesharemem(std::int64_t dimension, CuComplex<T>* state, std::uint64_t active_mask,
                                   std::int32_t k, const DeviceDensityGate<T>* records, std::int32_t record_count) {
    if (k < 1 || k > kMaxDensityFusionQubits)
        throw std::invalid_argument("density fusion active qubits must be in [1,5]");
    if (record_count < 1) throw std::invalid_argument("fusion group cannot be empty");
    std::int32_t n = 0;
    for (std::int64_t d = dimension; d > 1; d /= 2) ++n;
    if (n < k) throw std::invalid_argument("active qubits exceed circuit size");
    // The kernel addresses rows and columns base | deposit(l, active_mask): a mask naming other than
    // k qubits of the matrix would leave the state buffer.
    require_fit(is_density_dimension(dimension) && is_qubit_mask(active_mask, dimension, k));
    const std::uint64_t all = static_cast<std::uint64_t>(dimension) - 1;
    const std::int32_t rest = n - k;
    const std::uint64_t blocks = std::uint64_t(1) << (2 * rest);
    const LaunchGeometry geometry{dim3(static_cast<unsigned>(std::min(blocks, kMaxBlocks))), dim3(kThreads),
                                  (std::size_t(1) << (2 * k)) * sizeof(CuComplex<T>)};
    gpu::launch_cooperative<&density_sparsesharemem_kernel<T>>(geometry, nullptr, state, dimension, blocks, active_mask,
                                                               active_mask ^ all, k, rest, records, record_count);
    check_launch("density_sparsesharemem kernel launch failed: ");
}

template void launch_density_sparsesharemem<float>(std::int64_t, CuComplex<float>*, std::uint64_t, std::int32_t,
                                                   const DeviceDensityGate<float>*, std::int32_t);
template void launch_density_sparsesharemem<double>(std::int64_t, CuComplex<double>*, std::uint64_t, std::int32_t,
                                                    const DeviceDensityGate<double>*, std::int32_t);

}  // namespace korvane::dormeth
