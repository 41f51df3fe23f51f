// Projective measurement of chosen qubits of a density matrix in the computational basis.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dormeth/dormeth_device_state.hpp"

namespace korvane::dormeth {

// Measures the targets once (outcome drawn with MT19937-64 seeded by seed), collapses and
// renormalises the state, and returns the outcome string (bit k-1 of the outcome first). Runs
// without the interpreter lock.
std::string measure(DeviceDensityState& state, const std::vector<std::int64_t>& targets, const std::string& endian,
                    std::uint64_t seed);

// The checks of a measurement's arguments, first failure raising std::invalid_argument: n in
// [1, 15], at least one target, endian "little" or "big", each target in [0, n) and not repeated.
void validate_measure_args(std::int64_t n, const std::vector<std::int64_t>& targets, const std::string& endian);

// The 2^k outcome probabilities of checked targets (the real diagonal summed in double), in outcome
// order; device_targets holds them on the state's device, which is current.
template <class T>
std::vector<double> outcome_probabilities(const DeviceDensityState& state, const std::int64_t* device_targets,
                                          std::int64_t k, bool little);

// The outcome drawn from unnormalised probabilities: the first output x of MT19937-64 seeded with
// seed gives r = (x >> 11) 2^-53 times the double just above their total; the outcome is the first
// whose running sum reaches r. Raises "density matrix has zero or invalid trace." for a total that is
// not positive and finite.
std::uint64_t sample_outcome(const std::vector<double>& probabilities, std::uint64_t seed);

}  // namespace korvane::dormeth
