#include "velqa/velqa_state_batch.hpp"

#include <limits>
#include <stdexcept>
#include <utility>

#include "velqa/velqa_device_state.hpp"

namespace velqa {
namespace {

std::uint64_t checked_batch(std::uint64_t batch) {
    if (batch < 1) throw std::invalid_argument("batch must be at least 1");
    return batch;
}

// batch x 2^n, or the largest count when it does not fit, which the buffer then refuses as an
// allocation it cannot make (after selecting the device, as every refusal of a size does).
std::uint64_t element_count(std::uint64_t n, std::uint64_t batch) {
    const std::uint64_t member = std::uint64_t(1) << n;
    return batch > std::numeric_limits<std::uint64_t>::max() / member ? std::numeric_limits<std::uint64_t>::max()
                                                                      : batch * member;
}

void check_count(std::uint64_t count, std::uint64_t elements) {
    if (count != elements) throw std::invalid_argument("states size does not match DeviceStateBatch size");
}

}  // namespace

DeviceStateBatch::DeviceStateBatch(std::uint64_t n, std::uint64_t batch, korvane::Precision dtype,
                                   std::int32_t device_id)
    : n_(checked_qubit_count(n)), batch_(checked_batch(batch)), buffer_(element_count(n_, batch_), dtype, device_id) {}

DeviceStateBatch::DeviceStateBatch(std::uint64_t n, std::uint64_t batch, korvane::StateBuffer&& buffer)
    : n_(checked_qubit_count(n)), batch_(checked_batch(batch)), buffer_(std::move(buffer)) {
    check_count(buffer_.elements(), element_count(n_, batch_));
}

void DeviceStateBatch::copy_from_host(const void* host, std::uint64_t count, bool use_pinned_host) {
    check_count(count, elements());
    buffer_.copy_from_host(host, use_pinned_host);
}

void DeviceStateBatch::copy_to_host(void* host, std::uint64_t count, bool use_pinned_host) const {
    check_count(count, elements());
    buffer_.copy_to_host(host, use_pinned_host);
}

void DeviceStateBatch::set_zero_state() { buffer_.set_zero_state(batch_); }

}  // namespace velqa
