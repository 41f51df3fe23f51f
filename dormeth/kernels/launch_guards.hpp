// The launchers' guards: whatever a caller passes, no kernel may form an index outside the
// dimension x dimension matrix. The runner's validation refuses bad records earlier with its own
// messages; these guards protect the launchers when called by anything else.
#pragma once

#include <cstdint>

#include "dormeth/device_targets.hpp"

namespace korvane::dormeth {

// Whether t describes distinct targets inside a matrix of `dimension` = 2^n rows with exactly
// n - k rest qubits: the launchers' guard before any kernel computes an index from it.
bool device_targets_fit(const DeviceTargets& t, std::int64_t dimension, std::int64_t max_targets);

// dimension = 2^n with 0 <= n <= 15.
bool is_density_dimension(std::int64_t dimension);

// mask has exactly `bits` set bits, all below dimension.
bool is_qubit_mask(std::uint64_t mask, std::int64_t dimension, int bits);

// Every set bit of mask lies below dimension.
bool is_inside(std::uint64_t mask, std::int64_t dimension);

// OR of 1 << q over the targets of t (t must fit a matrix).
std::uint64_t target_bits(const DeviceTargets& t);

// Raises std::runtime_error("density kernel arguments do not fit the matrix") unless ok.
void require_fit(bool ok);

}  // namespace korvane::dormeth
