// DeviceBuffer: per-call device scratch that cannot leak. release() frees it and reports a failure
// through cuda_check; the destructor frees whatever is still held when an exception unwinds the
// call, ignoring (and clearing) errors so that the original error is the one reported.
#pragma once

#include <cstddef>
#include <limits>
#include <utility>

#include "common/cuda_check.hpp"
#include "common/gpu/runtime.hpp"

namespace korvane {

template <class E>
class DeviceBuffer {
public:
    DeviceBuffer() = default;

    // Allocates count elements on the current device; "CUDA error: ..." on failure. A count whose
    // byte size would wrap is refused the way the runtime refuses any allocation it cannot make.
    explicit DeviceBuffer(std::size_t count) {
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(E)) cuda_check(cudaErrorMemoryAllocation);
        cuda_check(cudaMalloc(reinterpret_cast<void**>(&ptr_), count * sizeof(E)));
    }

    // A buffer holding a copy of count host elements.
    static DeviceBuffer copy_of(const E* host, std::size_t count) {
        DeviceBuffer buffer(count);
        cuda_check(cudaMemcpy(buffer.ptr_, host, count * sizeof(E), cudaMemcpyHostToDevice));
        return buffer;
    }

    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    DeviceBuffer(DeviceBuffer&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    DeviceBuffer& operator=(DeviceBuffer&& other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~DeviceBuffer() {
        if (!ptr_) return;
        (void)cudaFree(ptr_);
        (void)cudaGetLastError();
    }

    void release() {
        if (!ptr_) return;
        E* ptr = std::exchange(ptr_, nullptr);
        cuda_check(cudaFree(ptr));
    }

    E* get() const { return ptr_; }

private:
    E* ptr_ = nullptr;
};

}  // namespace korvane
