// DeviceState: the 2^n amplitudes of an n-qubit register in the memory of one CUDA device.
#pragma once

#include <cstdint>
#include <memory>

#include "common/complex.hpp"
#include "common/precision.hpp"
#include "common/state_buffer.hpp"
#include "velqa/state_view.hpp"

namespace velqa {

using korvane::CuComplex;

// n in [1, 62], the registers a state may hold; else std::invalid_argument("n must be in [1, 62]").
std::uint64_t checked_qubit_count(std::uint64_t n);

// Shared ownership (shared_from_this) lets an exported view keep the memory alive.
class DeviceState : public std::enable_shared_from_this<DeviceState> {
  public:
    // Checks n, selects the device and allocates the (uninitialised) buffer.
    DeviceState(std::uint64_t n, korvane::Precision dtype, std::int32_t device_id);
    // Over a buffer of 2^n elements, owned or borrowed.
    DeviceState(std::uint64_t n, korvane::StateBuffer&& buffer);
    DeviceState(const DeviceState&) = delete;
    DeviceState& operator=(const DeviceState&) = delete;

    void copy_from_host(const void* host, std::uint64_t count, bool use_pinned_host);
    void copy_to_host(void* host, std::uint64_t count, bool use_pinned_host) const;
    void set_zero_state();

    std::uint64_t n() const { return n_; }
    std::uint64_t num_state() const { return buffer_.elements(); }
    korvane::Precision dtype() const { return buffer_.dtype(); }
    std::int32_t device_id() const { return buffer_.device_id(); }
    void* data() const { return buffer_.data(); }
    template <class T>
    CuComplex<T>* data_as() const {
        return buffer_.data_as<T>();
    }
    std::uint64_t bytes() const { return buffer_.bytes(); }
    // The state as a batch of one.
    StateView view() const { return StateView{data(), n_, 1, dtype(), device_id()}; }
    const korvane::StateBuffer& buffer() const { return buffer_; }

  private:
    std::uint64_t n_;
    korvane::StateBuffer buffer_;
};

using korvane::dispatch_precision;

}  // namespace velqa
