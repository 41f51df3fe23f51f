// DeviceState: the 2^n amplitudes of an n-qubit register in the memory of one CUDA device.
#pragma once

#include <cstdint>

#include "common/complex.hpp"
#include "common/parse.hpp"
#include "common/precision.hpp"

namespace velqa {

using korvane::CuComplex;

class DeviceState {
  public:
    // Checks n, selects the device and allocates the (uninitialised) buffer.
    DeviceState(std::uint64_t n, std::int32_t dtype, std::int32_t device_id);
    ~DeviceState();  // never raises
    DeviceState(const DeviceState&) = delete;
    DeviceState& operator=(const DeviceState&) = delete;

    void copy_from_host(const void* host, std::uint64_t count, bool use_pinned_host);
    void copy_to_host(void* host, std::uint64_t count, bool use_pinned_host) const;
    void set_zero_state();

    std::uint64_t n() const { return n_; }
    std::uint64_t num_state() const { return num_state_; }
    std::int32_t dtype() const { return dtype_; }
    std::int32_t device_id() const { return device_id_; }
    void* data() const { return data_; }
    template <class T>
    CuComplex<T>* data_as() const {
        return static_cast<CuComplex<T>*>(data_);
    }
    std::uint64_t bytes() const { return num_state_ * korvane::element_bytes(dtype_); }

  private:
    std::uint64_t n_;
    std::uint64_t num_state_ = 0;
    std::int32_t dtype_;
    std::int32_t device_id_;
    void* data_ = nullptr;
};

using korvane::dispatch_precision;

}  // namespace velqa
