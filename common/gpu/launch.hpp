// Kernel launch, written once for both backends: launch<kernel>(geometry, stream, args...) is
// kernel<<<grid, block, shared_bytes, stream>>>(args...) under nvcc and the host executor otherwise.
// Kernels that call __syncthreads are launched with launch_cooperative so that the host device
// runs each block's threads as cooperating fibers; under nvcc the two are the same.
#pragma once

#include <utility>

#include "common/gpu/launch_geometry.hpp"
#include "common/gpu/runtime.hpp"

#if defined(KORVANE_GPU_CUDA) && !defined(__CUDACC__)
#error "common/gpu/launch.hpp launches kernels and belongs in .cu sources"
#endif

namespace korvane::gpu {

template <auto Kernel, class... A>
inline void launch(const LaunchGeometry& g, cudaStream_t stream, A&&... args) {
#if defined(KORVANE_GPU_CUDA)
    Kernel<<<g.grid, g.block, g.shared_bytes, stream>>>(std::forward<A>(args)...);
#else
    hostdevice::detail::launch<Kernel, false>(g.grid, g.block, g.shared_bytes, stream, std::forward<A>(args)...);
#endif
}

template <auto Kernel, class... A>
inline void launch_cooperative(const LaunchGeometry& g, cudaStream_t stream, A&&... args) {
#if defined(KORVANE_GPU_CUDA)
    Kernel<<<g.grid, g.block, g.shared_bytes, stream>>>(std::forward<A>(args)...);
#else
    hostdevice::detail::launch<Kernel, true>(g.grid, g.block, g.shared_bytes, stream, std::forward<A>(args)...);
#endif
}

}  // namespace korvane::gpu
