// Measurement and sampling of chosen qubits of a statevector.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/complex.hpp"
#include "velqa/velqa_device_state.hpp"

namespace velqa {

struct SampleResult {
    std::unordered_map<std::string, std::uint64_t> counts;  // outcomes drawn at least once
    std::string last;                                       // outcome of the last shot
};

// The checks of a measurement's arguments, first failure raising std::invalid_argument: n in
// [1, 62], num_state = 2^n, 1 to 62 targets, endian "little" or "big", each target in [0, n) and
// not repeated.
void validate_measure_args(std::uint64_t n, std::uint64_t num_state, const std::vector<std::int64_t>& targets,
                           const std::string& endian);

// The 2^k outcome probabilities of the targets (|amplitude|^2 summed in double), in outcome order,
// for checked targets; device_targets holds them on the state's device, which is current.
template <class T>
std::vector<double> outcome_probabilities(std::uint64_t n, const CuComplex<T>* data,
                                          const std::vector<std::int64_t>& targets, const std::int64_t* device_targets,
                                          bool little_endian);

template <class T>
SampleResult sample_measure(std::uint64_t n, CuComplex<T>* data, std::uint64_t num_state,
                            const std::vector<std::int64_t>& targets, const std::string& endian, std::int32_t device_id,
                            std::uint64_t shots, std::uint64_t seed, bool collapse);

// sample_measure in the state's precision.
SampleResult sample_measure(const DeviceState& state, const std::vector<std::int64_t>& targets,
                            const std::string& endian, std::uint64_t shots, std::uint64_t seed, bool collapse);

}  // namespace velqa
