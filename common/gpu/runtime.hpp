// The one place that decides which CUDA runtime the system talks to: NVIDIA's, or the host device.
#pragma once

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

// A point in CPU-only work where the host device can hold a call for a test, as it holds device
// operations (hostdevice::hold_operations); nothing on a GPU.
inline void hold_point() {
#if defined(KORVANE_GPU_HOST)
    hostdevice::hold_point();
#endif
}
}  // namespace korvane::gpu
