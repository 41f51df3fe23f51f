// DeviceBuffer: per-call device scratch that cannot leak. release() frees it and reports a failure
// through cuda_check; the destructor frees whatever is still held when an exception unwinds the
// call, ignoring (and clearing) errors so that the original error is the one reported.
#pragma once

#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "common/cuda_check.hpp"
#include "common/gpu/runtime.hpp"

namespace korvane {

// The most device memory a call may add beside a state of state_bytes for its scratch (per-call
// buffers and the per-thread fusion cache): a quarter of the state, at most 1 GiB, and never less
// than 64 KiB, below which slicing would only add launches. Work that needs more runs in slices.
constexpr std::size_t kMinScratchBytes = std::size_t(64) << 10;
constexpr std::size_t kMaxScratchBytes = std::size_t(1) << 30;
inline std::size_t scratch_limit_bytes(std::size_t state_bytes) {
    const std::size_t quarter = state_bytes / 4;
    return quarter < kMinScratchBytes ? kMinScratchBytes : quarter > kMaxScratchBytes ? kMaxScratchBytes : quarter;
}

template <class E>
class DeviceBuffer {
  public:
    DeviceBuffer() = default;

    // Allocates count elements on the current device. A failure reads "CUDA error: ...", or
    // "<allocation>: ..." when the caller names the operation. A count whose byte size would wrap is
    // refused the way the runtime refuses any allocation it cannot make.
    explicit DeviceBuffer(std::size_t count, const char* allocation = nullptr) {
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(E)) report(cudaErrorMemoryAllocation, allocation);
        report(cudaMalloc(reinterpret_cast<void**>(&ptr_), count * sizeof(E)), allocation);
    }

    // A buffer holding a copy of count host elements; the operations may be named as above.
    static DeviceBuffer copy_of(const E* host, std::size_t count, const char* allocation = nullptr,
                                const char* copy = nullptr) {
        DeviceBuffer buffer(count, allocation);
        report(cudaMemcpy(buffer.ptr_, host, count * sizeof(E), cudaMemcpyHostToDevice), copy);
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
    static void report(cudaError_t status, const char* operation) {
        if (operation)
            cuda_check(status, operation);
        else
            cuda_check(status);
    }

    E* ptr_ = nullptr;
};

// Device memory that the consecutive steps of one call reuse for what each uploads before its
// launch (a batched gate's per-member values): grown as a step needs, never shrunk, freed with the
// call. Each upload is queued on the stream after the work queued before it, which may still read
// the previous contents; growing frees the old memory, which the runtime orders after that work.
class UploadSlot {
  public:
    // A device copy of the host elements, valid until the next upload; the operation names the
    // failures ("<operation>: ...").
    template <class E>
    const E* upload(const std::vector<E>& host, cudaStream_t stream, const char* operation) {
        const std::size_t bytes = host.size() * sizeof(E);
        if (bytes > capacity_) {
            buffer_.release();
            capacity_ = 0;
            buffer_ = DeviceBuffer<std::max_align_t>((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t),
                                                     operation);
            capacity_ = bytes;
        }
        cuda_check(cudaMemcpyAsync(buffer_.get(), host.data(), bytes, cudaMemcpyHostToDevice, stream), operation);
        return reinterpret_cast<const E*>(buffer_.get());
    }

    // Frees the memory, reporting a failure; the destructor frees it quietly.
    void release() {
        buffer_.release();
        capacity_ = 0;
    }

  private:
    DeviceBuffer<std::max_align_t> buffer_;
    std::size_t capacity_ = 0;
};

}  // namespace korvane
