// What the host device records of its launches: the launch log (control.hpp reads it), the
// failures a test injects, and with HOSTDEVICE_LAUNCHED_KERNELS the file of kernels a process
// launched.
#pragma once

#include <cstdint>

#include "hostdevice/control.hpp"
#include "hostdevice/cuda_runtime_api.hpp"

namespace hostdevice::internal {

// Takes one injected failure, if any is pending; cudaSuccess otherwise.
cudaError_t injected_failure();

// Records the launch; returns its number (counted from 1 since the process started).
std::uint64_t log_launch(const char* name, dim3 grid, dim3 block, std::size_t shared_bytes, int device, bool accepted);

// Notes a kernel that ran, and whether its threads met at barriers, for HOSTDEVICE_LAUNCHED_KERNELS.
void note_launched(const char* name, bool barriers);

// Empties the log, restarts the count and drops pending injected failures.
void reset_launches();

}  // namespace hostdevice::internal
