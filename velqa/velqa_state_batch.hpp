// DeviceStateBatch: `batch` statevectors of n qubits each (its members) in one buffer on one CUDA
// device, member b's 2^n amplitudes from element b 2^n, so the batch is one contiguous (batch, 2^n)
// array. Every kernel, run mode and readout takes it as it takes a DeviceState, which is a batch
// of one (StateView).
#pragma once

#include <cstdint>
#include <memory>

#include "common/precision.hpp"
#include "common/state_buffer.hpp"
#include "velqa/state_view.hpp"

namespace velqa {

// Shared ownership (shared_from_this) lets an exported view keep the memory alive.
class DeviceStateBatch : public std::enable_shared_from_this<DeviceStateBatch> {
  public:
    // Checks n ("n must be in [1, 62]") and batch ("batch must be at least 1"), selects the device
    // and allocates the (uninitialised) members. A batch whose elements or bytes do not fit in 64
    // bits is refused as the runtime refuses an allocation it cannot make ("CUDA error: out of
    // memory"), as is one larger than the device's free memory.
    DeviceStateBatch(std::uint64_t n, std::uint64_t batch, korvane::Precision dtype, std::int32_t device_id);
    // Over a buffer of batch x 2^n elements, owned or borrowed (an imported tensor's).
    DeviceStateBatch(std::uint64_t n, std::uint64_t batch, korvane::StateBuffer&& buffer);
    DeviceStateBatch(const DeviceStateBatch&) = delete;
    DeviceStateBatch& operator=(const DeviceStateBatch&) = delete;

    // Whole-batch copies of batch x 2^n elements (count), member after member.
    void copy_from_host(const void* host, std::uint64_t count, bool use_pinned_host);
    void copy_to_host(void* host, std::uint64_t count, bool use_pinned_host) const;
    // Every member |0...0>.
    void set_zero_state();

    std::uint64_t n() const { return n_; }
    std::uint64_t batch() const { return batch_; }
    std::uint64_t num_state() const { return std::uint64_t(1) << n_; }  // per member
    std::uint64_t elements() const { return buffer_.elements(); }
    korvane::Precision dtype() const { return buffer_.dtype(); }
    std::int32_t device_id() const { return buffer_.device_id(); }
    void* data() const { return buffer_.data(); }
    std::uint64_t bytes() const { return buffer_.bytes(); }
    const korvane::StateBuffer& buffer() const { return buffer_; }
    StateView view() const { return StateView{data(), n_, batch_, dtype(), device_id(), true}; }

  private:
    std::uint64_t n_;
    std::uint64_t batch_;
    korvane::StateBuffer buffer_;
};

}  // namespace velqa
