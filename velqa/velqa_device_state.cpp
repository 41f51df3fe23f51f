#include "velqa/velqa_device_state.hpp"

#include <stdexcept>

#include "common/cuda_check.hpp"

namespace velqa {

using korvane::cuda_check;

DeviceState::DeviceState(std::uint64_t n, std::int32_t dtype, std::int32_t device_id)
    : n_(n), dtype_(dtype), device_id_(device_id) {
    if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
    num_state_ = std::uint64_t(1) << n;
    cuda_check(cudaSetDevice(device_id_));
    // 2^n elements of 8 (16) bytes need n + 3 (n + 4) bits: a larger state is refused the way
    // the runtime refuses any allocation it cannot make, before the byte count could wrap.
    const unsigned size_bits = dtype_ == korvane::kComplex128 ? 4 : 3;
    if (n + size_bits > 63) cuda_check(cudaErrorMemoryAllocation);
    cuda_check(cudaMalloc(&data_, bytes()));
}

DeviceState::~DeviceState() {
    if (!data_) return;
    (void)cudaSetDevice(device_id_);
    (void)cudaFree(data_);
    data_ = nullptr;
    (void)cudaGetLastError();  // an ignored failure must not surface at someone else's launch check
}

namespace {

// Page-locks a caller's buffer for the duration of one copy when asked; a registration the
// platform refuses is cleared and the copy goes ahead unpinned.
class PinnedRange {
  public:
    PinnedRange(const void* host, std::uint64_t bytes, bool pin) {
        if (!pin) return;
        if (cudaHostRegister(const_cast<void*>(host), bytes, cudaHostRegisterDefault) == cudaSuccess)
            host_ = const_cast<void*>(host);
        else
            (void)cudaGetLastError();
    }
    // Unregisters after a failed copy, keeping the copy's error as the one reported.
    void release_quietly() {
        if (host_) (void)cudaHostUnregister(host_);
        host_ = nullptr;
    }
    void release() {
        if (!host_) return;
        void* host = host_;
        host_ = nullptr;
        cuda_check(cudaHostUnregister(host));
    }
    ~PinnedRange() { release_quietly(); }

  private:
    void* host_ = nullptr;
};

void pinned_copy(void* dst, const void* src, std::uint64_t bytes, cudaMemcpyKind kind, const void* host, bool pin) {
    PinnedRange pinned(host, bytes, pin);
    const cudaError_t status = cudaMemcpy(dst, src, bytes, kind);
    if (status != cudaSuccess) {
        pinned.release_quietly();
        cuda_check(status);
    }
    pinned.release();
}

}  // namespace

void DeviceState::copy_from_host(const void* host, std::uint64_t count, bool use_pinned_host) {
    if (count != num_state_) throw std::invalid_argument("state size does not match DeviceState size");
    cuda_check(cudaSetDevice(device_id_));
    pinned_copy(data_, host, bytes(), cudaMemcpyHostToDevice, host, use_pinned_host);
}

void DeviceState::copy_to_host(void* host, std::uint64_t count, bool use_pinned_host) const {
    if (count != num_state_) throw std::invalid_argument("state size does not match DeviceState size");
    cuda_check(cudaSetDevice(device_id_));
    pinned_copy(host, data_, bytes(), cudaMemcpyDeviceToHost, host, use_pinned_host);
}

void DeviceState::set_zero_state() {
    cuda_check(cudaSetDevice(device_id_));
    cuda_check(cudaMemset(data_, 0, bytes()));
    if (dtype_ == korvane::kComplex128) {
        const CuComplex<double> one{1.0, 0.0};
        cuda_check(cudaMemcpy(data_, &one, sizeof(one), cudaMemcpyHostToDevice));
    } else {
        const CuComplex<float> one{1.0f, 0.0f};
        cuda_check(cudaMemcpy(data_, &one, sizeof(one), cudaMemcpyHostToDevice));
    }
}

}  // namespace velqa
