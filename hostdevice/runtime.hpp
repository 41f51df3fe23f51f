// State shared by the parts of the host device; not seen by the system's code.
#pragma once

#include <cstddef>

#include "hostdevice/cuda_runtime_api.hpp"

namespace hostdevice::internal {

// Records a failing status as the calling thread's pending error and returns it.
cudaError_t record(cudaError_t status);

// The calling thread's current device, after checking that the device exists.
cudaError_t current_device(int* device);

// True when [ptr, ptr + bytes) lies inside one live device allocation.
bool is_device_range(const void* ptr, std::size_t bytes);

// The device of the live allocation holding ptr, or -1 when none does.
int allocation_device(const void* ptr);

// True when [ptr, ptr + bytes) overlaps any live device allocation.
bool touches_device_memory(const void* ptr, std::size_t bytes);

void note_synchronize();
void note_blas_handle(int device, int delta);

}  // namespace hostdevice::internal
