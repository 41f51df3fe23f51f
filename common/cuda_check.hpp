// The one error form for CUDA runtime failures. Every helper throws (never exits) and, as it
// reports a failure, clears the runtime's pending error so that it is reported once, not again
// by the next launch check.
#pragma once

#include <string>

#include "common/gpu/runtime.hpp"

namespace korvane {

[[noreturn]] void throw_cuda_error(const std::string& prefix, cudaError_t status);

// Raises "CUDA error: " followed by the runtime's error string for a failing status.
inline void cuda_check(cudaError_t status) {
    if (status != cudaSuccess) throw_cuda_error("CUDA error: ", status);
}

// Raises "<operation>: " followed by the runtime's error string (the fusion executors' form).
void cuda_check(cudaError_t status, const char* operation);

// Reads and clears the pending error after a launch; raises prefix + error string if one is set,
// for example check_launch("cu_x kernel launch failed: ").
void check_launch(const char* prefix);

// Reads and clears the pending error; raises through cuda_check if one is set.
void check_last_error();

}  // namespace korvane
