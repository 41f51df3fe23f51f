#include "velqa/velqa_device_state.hpp"

#include <stdexcept>
#include <utility>

namespace velqa {
namespace {

void check_count(std::uint64_t count, std::uint64_t num_state) {
    if (count != num_state) throw std::invalid_argument("state size does not match DeviceState size");
}

}  // namespace

std::uint64_t checked_qubit_count(std::uint64_t n) {
    if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
    return n;
}

DeviceState::DeviceState(std::uint64_t n, korvane::Precision dtype, std::int32_t device_id)
    : n_(checked_qubit_count(n)), buffer_(std::uint64_t(1) << n_, dtype, device_id) {}

DeviceState::DeviceState(std::uint64_t n, korvane::StateBuffer&& buffer)
    : n_(checked_qubit_count(n)), buffer_(std::move(buffer)) {
    check_count(buffer_.elements(), std::uint64_t(1) << n_);
}

void DeviceState::copy_from_host(const void* host, std::uint64_t count, bool use_pinned_host) {
    check_count(count, num_state());
    buffer_.copy_from_host(host, use_pinned_host);
}

void DeviceState::copy_to_host(void* host, std::uint64_t count, bool use_pinned_host) const {
    check_count(count, num_state());
    buffer_.copy_to_host(host, use_pinned_host);
}

void DeviceState::set_zero_state() { buffer_.set_zero_state(); }

}  // namespace velqa
