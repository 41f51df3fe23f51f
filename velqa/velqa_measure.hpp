// Measurement and sampling of chosen qubits of a statevector.
#pragma once

#include <cstdint>
#include <functional>
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

// Shot counts above 2^48 are refused before any work ("shots must be at most 2**48"): at tens of
// nanoseconds a draw on one core, 2^48 draws take months.
constexpr std::uint64_t kMaxShots = std::uint64_t(1) << 48;

// Refuses shots of 0 ("shots must be positive") and above kMaxShots.
void check_shots(std::uint64_t shots);

// Called between draws, at most every kInterruptPollSeconds of drawing: it may raise to end the
// sampling, which then leaves the state as it was.
using InterruptPoll = std::function<void()>;
constexpr double kInterruptPollSeconds = 0.05;

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
                            std::uint64_t shots, std::uint64_t seed, bool collapse, const InterruptPoll& poll = {});

// sample_measure in the state's precision.
SampleResult sample_measure(const DeviceState& state, const std::vector<std::int64_t>& targets,
                            const std::string& endian, std::uint64_t shots, std::uint64_t seed, bool collapse,
                            const InterruptPoll& poll = {});

}  // namespace velqa
