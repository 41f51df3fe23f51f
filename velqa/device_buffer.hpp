// DeviceBuffer: per-call device scratch that cannot leak. release() frees it and reports a failure
// through cuda_check; the destructor frees whatever is still held when an exception unwinds the
// call, ignoring (and clearing) errors so that the original error is the one reported.
#pragma once

#include <cstddef>
#include <limits>

#include "common/cuda_check.hpp"
#include "common/gpu/runtime.hpp"

namespace velqa {

template <class E>
class DeviceBuffer {
public:
    // Allocates count elements on the current device; "CUDA error: ..." on failure.
    // A count whose byte size would wrap is refused the way the runtime refuses any allocation it
    // cannot make.
    explicit DeviceBuffer(std::size_t count) {
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(E)) korvane::cuda_check(cudaErrorMemoryAllocation);
        korvane::cuda_check(cudaMalloc(reinterpret_cast<void**>(&ptr_), count * sizeof(E)));
    }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    ~DeviceBuffer() {
        if (!ptr_) return;
        (void)cudaFree(ptr_);
        (void)cudaGetLastError();
    }

    void release() {
        if (!ptr_) return;
        E* ptr = ptr_;
        ptr_ = nullptr;
        korvane::cuda_check(cudaFree(ptr));
    }

    E* get() const { return ptr_; }

private:
    E* ptr_ = nullptr;
};

}  // namespace velqa
