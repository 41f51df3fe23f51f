// The one launch-geometry helper. Grids are computed in 64 bits; a grid too large for CUDA is kept
// oversized so that the runtime refuses the launch ("invalid configuration argument") instead of
// running a silently shortened grid.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "common/gpu/runtime.hpp"

namespace korvane {

// Threads per block of linear_geometry (its default) and of matrix_tile_geometry. A kernel launched
// through them names the same figure in its __launch_bounds__, so the compiler keeps its registers
// within what such a block may use.
constexpr unsigned int kLinearBlockThreads = 256;
constexpr unsigned int kMatrixTileX = 32;
constexpr unsigned int kMatrixTileY = 8;
constexpr unsigned int kMatrixTileThreads = kMatrixTileX * kMatrixTileY;

struct LaunchGeometry {
    dim3 grid;
    dim3 block;
    std::size_t shared_bytes = 0;
};

namespace detail {
inline unsigned int grid_extent(std::uint64_t blocks) {
    return static_cast<unsigned int>(std::min<std::uint64_t>(blocks, std::numeric_limits<unsigned int>::max()));
}
}  // namespace detail

// One thread per item on one-dimensional blocks of block_size threads.
inline LaunchGeometry linear_geometry(std::uint64_t threads, unsigned int block_size = kLinearBlockThreads) {
    const std::uint64_t blocks = threads / block_size + (threads % block_size != 0);
    return LaunchGeometry{dim3(detail::grid_extent(blocks)), dim3(block_size), 0};
}

// At most max_blocks blocks; kernels launched this way walk the remaining items with a grid stride.
inline LaunchGeometry capped_geometry(std::uint64_t items, unsigned int block_size, std::uint64_t max_blocks,
                                      std::size_t shared_bytes = 0) {
    const std::uint64_t blocks = items / block_size + (items % block_size != 0);
    return LaunchGeometry{dim3(detail::grid_extent(std::min(blocks, max_blocks))), dim3(block_size), shared_bytes};
}

// One thread per element of a dim x dim matrix on 32 x 8 tiles: x runs over columns, y over rows.
inline LaunchGeometry matrix_tile_geometry(std::uint64_t dim) {
    return LaunchGeometry{dim3(detail::grid_extent((dim + kMatrixTileX - 1) / kMatrixTileX),
                               detail::grid_extent((dim + kMatrixTileY - 1) / kMatrixTileY)),
                          dim3(kMatrixTileX, kMatrixTileY), 0};
}

// A batch launch: grid.y counts the members of the batch it covers.
inline LaunchGeometry with_members(LaunchGeometry g, std::uint64_t members) {
    g.grid.y = detail::grid_extent(members);
    return g;
}

// The launches of a batch of members: f(first, count) for consecutive chunks of at most per_launch
// (>= 1, the device's grid y bound) members; one call for a single state.
template <class F>
void for_each_member_chunk(std::uint64_t members, std::uint64_t per_launch, F&& f) {
    for (std::uint64_t first = 0; first < members; first += per_launch) f(first, std::min(per_launch, members - first));
}

}  // namespace korvane
