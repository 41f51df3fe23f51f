// The targets of a general unitary or Kraus operation as the kernels receive them (by value).
//
// Groups: for a fixed assignment of the n - k rest qubits, the 2^k indices running over all target
// bit values form a group; bit i of a group number is qubit rest[i]. Local index l of a group
// takes bit j of l as the value of qubit targets[j]: entry 0 of the target list is the least
// significant bit of a local matrix index, in this module as in the statevector module.
#pragma once

#include <cstdint>
#include <vector>

namespace korvane::dormeth {

constexpr std::int64_t kMaxUnitaryTargets = 6;
constexpr std::int64_t kMaxKrausTargets = 3;
constexpr std::int64_t kMaxDensityQubits = 15;

struct DeviceTargets {
    std::int64_t num_targets = 0;                   // k, 1 <= k <= 6
    std::int64_t num_rest = 0;                      // n - k
    std::int64_t targets[kMaxUnitaryTargets] = {};  // record order; unused slots 0
    std::int64_t rest[kMaxDensityQubits] = {};      // ascending; unused slots 0
};

// Fills the record for targets on n qubits. The targets must already be validated: distinct, in
// [0, n), at most 6 of them.
DeviceTargets make_device_targets(std::int64_t n, const std::vector<std::int64_t>& targets);

}  // namespace korvane::dormeth
