#include "dormeth/dormeth_device_state.hpp"

#include <stdexcept>
#include <utility>

#include "dormeth/device_targets.hpp"

namespace korvane::dormeth {
namespace {

std::int64_t checked_qubits(std::uint64_t n) {
    if (n > static_cast<std::uint64_t>(kMaxDensityQubits))
        throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
    return static_cast<std::int64_t>(n);
}

void check_count(std::uint64_t count, std::int64_t num_elements) {
    if (count != static_cast<std::uint64_t>(num_elements))
        throw std::invalid_argument("state size does not match DeviceDensityState size");
}

}  // namespace

DeviceDensityState::DeviceDensityState(std::uint64_t n, Precision dtype, std::int32_t device_id)
    : num_qubits_(checked_qubits(n)), buffer_(std::uint64_t(1) << (2 * num_qubits_), dtype, device_id) {}

DeviceDensityState::DeviceDensityState(std::uint64_t n, StateBuffer&& buffer)
    : num_qubits_(checked_qubits(n)), buffer_(std::move(buffer)) {
    check_count(buffer_.elements(), std::int64_t(1) << (2 * num_qubits_));
}

void DeviceDensityState::upload(const void* host, std::uint64_t count) {
    check_count(count, num_elements());
    buffer_.copy_from_host(host);
}

void DeviceDensityState::download(void* host, std::uint64_t count) const {
    check_count(count, num_elements());
    buffer_.copy_to_host(host);
}

void DeviceDensityState::set_zero_state() { buffer_.set_zero_state(); }

std::unique_ptr<DeviceDensityState> DeviceDensityState::copy() const {
    // A failure below releases the new state through its owner.
    auto result = std::make_unique<DeviceDensityState>(static_cast<std::uint64_t>(num_qubits_), dtype(), device_id());
    result->buffer_.copy_from(buffer_);
    return result;
}

}  // namespace korvane::dormeth
