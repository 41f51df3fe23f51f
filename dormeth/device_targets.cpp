#include "dormeth/device_targets.hpp"

namespace korvane::dormeth {

DeviceTargets make_device_targets(std::int64_t n, const std::vector<std::int64_t>& targets) {
    DeviceTargets t;
    t.num_targets = static_cast<std::int64_t>(targets.size());
    t.num_rest = n - t.num_targets;
    std::uint64_t mask = 0;
    for (std::size_t j = 0; j < targets.size() && j < static_cast<std::size_t>(kMaxUnitaryTargets); ++j) {
        t.targets[j] = targets[j];
        mask |= std::uint64_t(1) << targets[j];
    }
    std::int64_t r = 0;
    for (std::int64_t q = 0; q < n && r < kMaxDensityQubits; ++q)
        if (!(mask >> q & 1)) t.rest[r++] = q;
    return t;
}

}  // namespace korvane::dormeth
