// The one place that decides which CUDA runtime the system talks to: NVIDIA's, or the host device.
#pragma once

#include <cstddef>

#if defined(KORVANE_GPU_CUDA)
#include <cuda_runtime.h>
#elif defined(KORVANE_GPU_HOST)
#include "hostdevice/control.hpp"
#include "hostdevice/launch.hpp"
#else
#error "build with KORVANE_GPU_CUDA or KORVANE_GPU_HOST"
#endif

namespace korvane::gpu {
// Which of the two the modules report as their `backend` attribute, so an installed build says what it runs on.
#if defined(KORVANE_GPU_CUDA)
inline constexpr const char* kBackendName = "cuda";
#else
inline constexpr const char* kBackendName = "host";
#endif

// Memory another library allocated that the system uses as device memory (its array taken over
// without a copy). A GPU needs nothing: device memory is device memory, whoever allocated it. The
// host device learns the range as device memory of `device` for its pointer checks, without
// counting it as allocated; each registration is undone once.
inline cudaError_t register_device_range([[maybe_unused]] const void* ptr, [[maybe_unused]] std::size_t bytes,
                                         [[maybe_unused]] int device) {
#if defined(KORVANE_GPU_HOST)
    return hostdevice::register_device_range(ptr, bytes, device);
#else
    return cudaSuccess;
#endif
}

inline cudaError_t unregister_device_range([[maybe_unused]] const void* ptr, [[maybe_unused]] std::size_t bytes) {
#if defined(KORVANE_GPU_HOST)
    return hostdevice::unregister_device_range(ptr, bytes);
#else
    return cudaSuccess;
#endif
}

// A point in CPU-only work where the host device can hold a call for a test, as it holds device
// operations (hostdevice::hold_operations); nothing on a GPU.
inline void hold_point() {
#if defined(KORVANE_GPU_HOST)
    hostdevice::hold_point();
#endif
}
}  // namespace korvane::gpu
