// Statevectors as the runner, fusion, the launchers and the readouts take them: `members` registers
// of n qubits one after another in one device buffer, member b's 2^n amplitudes from element b 2^n.
// A DeviceState is a batch of one, a DeviceStateBatch one of many; the same code serves both.
#pragma once

#include <cstdint>

#include "common/complex.hpp"
#include "common/device_buffer.hpp"
#include "common/gpu/launch_geometry.hpp"
#include "common/parse.hpp"

namespace velqa {

using korvane::CuComplex;

struct StateView {
    void* data = nullptr;
    std::uint64_t n = 0;
    std::uint64_t members = 1;
    korvane::Precision dtype = korvane::Precision::Complex128;
    std::int32_t device_id = 0;
    // A DeviceStateBatch's view, of any size: its calls check everything before any device work, so
    // that a refused call leaves every member unchanged.
    bool batch = false;

    std::uint64_t member_elements() const { return std::uint64_t(1) << n; }
};

// The typed form of a view on its device, which device code takes.
template <class T>
struct StateSpan {
    std::int64_t n = 0;
    CuComplex<T>* data = nullptr;
    std::uint64_t members = 1;
    // Members one launch may cover (its grid.y): the device's bound, read once per call for a batch.
    std::uint64_t per_launch = 1;
    // Where a gate whose values differ between members uploads them before its launch; a batch's run
    // provides one, a single state never needs it.
    korvane::UploadSlot* uploads = nullptr;

    std::uint64_t member_elements() const { return std::uint64_t(1) << n; }
    CuComplex<T>* member(std::uint64_t b) const { return data + b * member_elements(); }
    // f(first, count) for the members of each launch, in order: one call for a single state.
    template <class F>
    void for_each_launch(F&& f) const {
        korvane::for_each_member_chunk(members, per_launch, f);
    }
};

// The most members one launch may cover on the device (cudaDevAttrMaxGridDimY, 65535 on GPUs).
std::uint64_t members_per_launch(std::int32_t device_id);

// The typed span of a view whose device the caller has made current; a batch reads the device's
// bound on the members of a launch, a single state makes no runtime call.
template <class T>
StateSpan<T> typed_span(const StateView& view) {
    StateSpan<T> span;
    span.n = static_cast<std::int64_t>(view.n);
    span.data = static_cast<CuComplex<T>*>(view.data);
    span.members = view.members;
    span.per_launch = view.members > 1 ? members_per_launch(view.device_id) : 1;
    return span;
}

}  // namespace velqa
