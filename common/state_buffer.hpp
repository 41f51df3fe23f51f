// StateBuffer: the device memory of one state, a statevector or a density matrix: its elements in
// one precision on one device, owned or borrowed. Every call selects the state's device first; the
// release never raises and clears the error it ignores, so that it cannot surface at someone else's
// launch check.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "common/complex.hpp"
#include "common/parse.hpp"

namespace korvane {

// One registration of another library's memory as device memory (gpu::register_device_range),
// undone when it ends; empty when default-constructed or moved from.
class DeviceRangeRegistration {
  public:
    DeviceRangeRegistration() = default;
    // Raises through cuda_check when the runtime refuses the range.
    DeviceRangeRegistration(const void* ptr, std::uint64_t bytes, std::int32_t device);
    DeviceRangeRegistration(DeviceRangeRegistration&& other) noexcept
        : ptr_(std::exchange(other.ptr_, nullptr)), bytes_(other.bytes_) {}
    DeviceRangeRegistration(const DeviceRangeRegistration&) = delete;
    DeviceRangeRegistration& operator=(const DeviceRangeRegistration&) = delete;
    DeviceRangeRegistration& operator=(DeviceRangeRegistration&&) = delete;
    ~DeviceRangeRegistration();

  private:
    const void* ptr_ = nullptr;
    std::uint64_t bytes_ = 0;
};

// Device memory another library owns (an array taken over without a copy), lent to a state: the
// state works on it in place and never frees it; `keeper` keeps its owner alive and lets it go when
// the state is released. The elements must be aligned to their size.
struct BorrowedMemory {
    void* data = nullptr;
    std::uint64_t elements = 0;
    Precision precision = Precision::Complex128;
    std::int32_t device_id = 0;
    std::shared_ptr<void> keeper;
};

class StateBuffer {
  public:
    // Selects the device and allocates `elements` uninitialised elements. A byte count that does
    // not fit in 64 bits is refused as the runtime refuses any allocation it cannot make.
    StateBuffer(std::uint64_t elements, Precision precision, std::int32_t device_id);
    // Borrows the memory for the buffer's lifetime; the runtime knows it as device memory meanwhile.
    explicit StateBuffer(BorrowedMemory memory);
    ~StateBuffer();
    StateBuffer(StateBuffer&& other) noexcept;
    StateBuffer(const StateBuffer&) = delete;
    StateBuffer& operator=(const StateBuffer&) = delete;
    StateBuffer& operator=(StateBuffer&&) = delete;

    // Whole-buffer copies. With pin_host, the host memory is page-locked for the copy when the
    // platform allows it (the copy goes ahead unpinned when it refuses).
    void copy_from_host(const void* host, bool pin_host = false);
    void copy_to_host(void* host, bool pin_host = false) const;
    // From a buffer of the same size and precision.
    void copy_from(const StateBuffer& other);
    // From device memory of the buffer's size on its device, in stream order on the default stream.
    void copy_from_device(const void* device);
    // Makes `consumer` wait for the work queued so far on the default stream of the buffer's device,
    // where every state's work runs: an event recorded there, waited for on `consumer`, destroyed.
    void order_before(cudaStream_t consumer) const;
    // Every element zero but the first, which is one: |0...0> of either kind of state. With
    // members, the buffer holds that many states one after another, each set so.
    void set_zero_state(std::uint64_t members = 1);

    std::uint64_t elements() const { return elements_; }
    Precision dtype() const { return dtype_; }
    std::int32_t device_id() const { return device_id_; }
    std::uint64_t bytes() const { return elements_ * element_bytes(dtype_); }
    void* data() const { return data_; }
    bool borrowed() const { return keeper_ != nullptr; }
    template <class T>
    CuComplex<T>* data_as() const {
        return static_cast<CuComplex<T>*>(data_);
    }

  private:
    std::uint64_t elements_;
    Precision dtype_;
    std::int32_t device_id_;
    void* data_ = nullptr;
    std::shared_ptr<void> keeper_;  // set while borrowed
    DeviceRangeRegistration registration_;
};

}  // namespace korvane
