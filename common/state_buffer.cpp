#include "common/state_buffer.hpp"

#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/cuda_check.hpp"

namespace korvane {
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
    PinnedRange(const PinnedRange&) = delete;
    PinnedRange& operator=(const PinnedRange&) = delete;

  private:
    void* host_ = nullptr;
};

void copy(void* dst, const void* src, std::uint64_t bytes, cudaMemcpyKind kind, const void* host, bool pin) {
    PinnedRange pinned(host, bytes, pin);
    const cudaError_t status = cudaMemcpy(dst, src, bytes, kind);
    if (status != cudaSuccess) {
        pinned.release_quietly();
        cuda_check(status);
    }
    pinned.release();
}

}  // namespace

DeviceRangeRegistration::DeviceRangeRegistration(const void* ptr, std::uint64_t bytes, std::int32_t device)
    : ptr_(ptr), bytes_(bytes) {
    const cudaError_t status = gpu::register_device_range(ptr, bytes, device);
    if (status != cudaSuccess) {
        ptr_ = nullptr;
        cuda_check(status);
    }
}

DeviceRangeRegistration::~DeviceRangeRegistration() {
    if (ptr_ && gpu::unregister_device_range(ptr_, bytes_) != cudaSuccess) (void)cudaGetLastError();
}

StateBuffer::StateBuffer(std::uint64_t elements, Precision precision, std::int32_t device_id)
    : elements_(elements), dtype_(precision), device_id_(device_id) {
    cuda_check(cudaSetDevice(device_id_));
    if (elements_ > std::numeric_limits<std::uint64_t>::max() / element_bytes(dtype_))
        cuda_check(cudaErrorMemoryAllocation);
    cuda_check(cudaMalloc(&data_, bytes()));
}

StateBuffer::StateBuffer(BorrowedMemory memory)
    : elements_(memory.elements),
      dtype_(memory.precision),
      device_id_(memory.device_id),
      data_(memory.data),
      keeper_(std::move(memory.keeper)),
      registration_(data_, bytes(), device_id_) {}

StateBuffer::StateBuffer(StateBuffer&& other) noexcept
    : elements_(other.elements_),
      dtype_(other.dtype_),
      device_id_(other.device_id_),
      data_(std::exchange(other.data_, nullptr)),
      keeper_(std::move(other.keeper_)),
      registration_(std::move(other.registration_)) {}

StateBuffer::~StateBuffer() {
    // Borrowed memory is its owner's to free: the keeper lets the owner go after the registration ends.
    if (!data_ || keeper_) return;
    (void)cudaSetDevice(device_id_);
    (void)cudaFree(data_);
    data_ = nullptr;
    (void)cudaGetLastError();
}

void StateBuffer::copy_from_host(const void* host, bool pin_host) {
    cuda_check(cudaSetDevice(device_id_));
    copy(data_, host, bytes(), cudaMemcpyHostToDevice, host, pin_host);
}

void StateBuffer::copy_to_host(void* host, bool pin_host) const {
    cuda_check(cudaSetDevice(device_id_));
    copy(host, data_, bytes(), cudaMemcpyDeviceToHost, host, pin_host);
}

void StateBuffer::copy_from(const StateBuffer& other) {
    cuda_check(cudaSetDevice(device_id_));
    cuda_check(cudaMemcpy(data_, other.data_, bytes(), cudaMemcpyDeviceToDevice));
}

void StateBuffer::copy_from_device(const void* device) {
    cuda_check(cudaSetDevice(device_id_));
    cuda_check(cudaMemcpy(data_, device, bytes(), cudaMemcpyDeviceToDevice));
}

void StateBuffer::order_before(cudaStream_t consumer) const {
    cuda_check(cudaSetDevice(device_id_));
    cudaEvent_t event = nullptr;
    cuda_check(cudaEventCreateWithFlags(&event, cudaEventDisableTiming));
    cudaError_t status = cudaEventRecord(event, cudaStreamLegacy);
    if (status == cudaSuccess) status = cudaStreamWaitEvent(consumer, event, 0);
    // A destroyed event that a stream still waits for is released once it completes.
    const cudaError_t destroyed = cudaEventDestroy(event);
    cuda_check(status != cudaSuccess ? status : destroyed);
}

void StateBuffer::set_zero_state(std::uint64_t members) {
    cuda_check(cudaSetDevice(device_id_));
    cuda_check(cudaMemset(data_, 0, bytes()));
    const auto write_ones = [&](const auto& one) {
        if (members <= 1) {
            cuda_check(cudaMemcpy(data_, &one, sizeof(one), cudaMemcpyHostToDevice));
            return;
        }
        // One copy puts a one at the start of every member.
        const std::vector<std::remove_cvref_t<decltype(one)>> ones(members, one);
        cuda_check(cudaMemcpy2D(data_, bytes() / members, ones.data(), sizeof(one), sizeof(one), members,
                                cudaMemcpyHostToDevice));
    };
    if (dtype_ == Precision::Complex128)
        write_ones(CuComplex<double>{1.0, 0.0});
    else
        write_ones(CuComplex<float>{1.0f, 0.0f});
}

}  // namespace korvane
