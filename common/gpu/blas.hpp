// cuBLAS, or the host device's stand-in for it.
#pragma once

#include "common/gpu/runtime.hpp"

#if defined(KORVANE_GPU_CUDA)
#include <cublas_v2.h>
#else
#include "hostdevice/cublas_api.hpp"
#endif
