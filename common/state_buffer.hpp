// StateBuffer: the device memory of one state, a statevector or a density matrix: its elements in
// one precision on one device, owned. Every call selects the state's device first; the release
// never raises and clears the error it ignores, so that it cannot surface at someone else's launch
// check.
#pragma once

#include <cstdint>

#include "common/complex.hpp"
#include "common/parse.hpp"

namespace korvane {

class StateBuffer {
  public:
    // Selects the device and allocates `elements` uninitialised elements. A byte count that does
    // not fit in 64 bits is refused as the runtime refuses any allocation it cannot make.
    StateBuffer(std::uint64_t elements, Precision precision, std::int32_t device_id);
    ~StateBuffer();
    StateBuffer(const StateBuffer&) = delete;
    StateBuffer& operator=(const StateBuffer&) = delete;

    // Whole-buffer copies. With pin_host, the host memory is page-locked for the copy when the
    // platform allows it (the copy goes ahead unpinned when it refuses).
    void copy_from_host(const void* host, bool pin_host = false);
    void copy_to_host(void* host, bool pin_host = false) const;
    // From a buffer of the same size and precision.
    void copy_from(const StateBuffer& other);
    // Every element zero but the first, which is one: |0...0> of either kind of state. With
    // members, the buffer holds that many states one after another, each set so.
    void set_zero_state(std::uint64_t members = 1);

    std::uint64_t elements() const { return elements_; }
    Precision dtype() const { return dtype_; }
    std::int32_t device_id() const { return device_id_; }
    std::uint64_t bytes() const { return elements_ * element_bytes(dtype_); }
    void* data() const { return data_; }
    template <class T>
    CuComplex<T>* data_as() const {
        return static_cast<CuComplex<T>*>(data_);
    }

  private:
    std::uint64_t elements_;
    Precision dtype_;
    std::int32_t device_id_;
    void* data_ = nullptr;
};

}  // namespace korvane
