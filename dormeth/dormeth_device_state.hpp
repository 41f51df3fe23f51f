// DeviceDensityState: the density matrix of an n-qubit register (0 <= n <= 15) as a dense
// 2^n x 2^n complex matrix in the memory of one CUDA device. Row-major, element (r, c) at
// r * dimension + c, real part first, so NumPy arrays in C order are copied byte for byte.
#pragma once

#include <cstdint>
#include <memory>

#include "common/complex.hpp"
#include "common/state_buffer.hpp"

namespace korvane::dormeth {

// Shared ownership (shared_from_this) lets an exported view keep the memory alive.
class DeviceDensityState : public std::enable_shared_from_this<DeviceDensityState> {
  public:
    // Checks n (unsigned, so a negative value wrapped to a huge one fails too), selects the device
    // and allocates the uninitialised matrix.
    DeviceDensityState(std::uint64_t n, korvane::Precision dtype, std::int32_t device_id);
    // Over a buffer of 4^n elements, owned or borrowed.
    DeviceDensityState(std::uint64_t n, StateBuffer&& buffer);
    DeviceDensityState(const DeviceDensityState&) = delete;
    DeviceDensityState& operator=(const DeviceDensityState&) = delete;

    // Whole-matrix copies; count is the caller's element count and must equal num_elements().
    void upload(const void* host, std::uint64_t count);
    void download(void* host, std::uint64_t count) const;
    void set_zero_state();  // rho = |0><0|
    std::unique_ptr<DeviceDensityState> copy() const;

    std::int64_t num_qubits() const { return num_qubits_; }
    std::int64_t dimension() const { return std::int64_t(1) << num_qubits_; }
    std::int64_t num_elements() const { return static_cast<std::int64_t>(buffer_.elements()); }
    korvane::Precision dtype() const { return buffer_.dtype(); }
    std::int32_t device_id() const { return buffer_.device_id(); }
    void* data() const { return buffer_.data(); }
    template <class T>
    CuComplex<T>* data_as() const {
        return buffer_.data_as<T>();
    }
    std::uint64_t bytes() const { return buffer_.bytes(); }
    const StateBuffer& buffer() const { return buffer_; }

  private:
    std::int64_t num_qubits_;
    StateBuffer buffer_;
};

}  // namespace korvane::dormeth
