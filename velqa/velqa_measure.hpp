// Measurement and sampling of chosen qubits of a statevector.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/complex.hpp"
#include "velqa/state_view.hpp"

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
// of every member of the state (member b's from element b 2^k), for checked targets;
// device_targets holds them on the state's device, which is current. Each member's sums come from
// the pass a single state equal to it gets (the same windows and grid per member).
template <class T>
std::vector<double> outcome_probabilities(const StateSpan<T>& state, const std::vector<std::int64_t>& targets,
                                          const std::int64_t* device_targets, bool little_endian);

// The refusal of a state (or, in a batch, of its member) whose squared norm is zero, infinite or NaN:
// std::runtime_error "Quantum state has zero or invalid norm." ("... norm (member 3)." in a batch).
void check_norm(double total, const StateView& state, std::uint64_t member);

// Samples every member: member b draws what a single state equal to it draws with seed
// (seed + b) mod 2^64, and with collapse is collapsed to its last outcome. Every member's
// probabilities, norm and draws come before the first collapse, so a refusal (a member's norm,
// the poll) leaves every member as it was.
std::vector<SampleResult> sample_measure(const StateView& state, const std::vector<std::int64_t>& targets,
                                         const std::string& endian, std::uint64_t shots, std::uint64_t seed,
                                         bool collapse, const InterruptPoll& poll = {});

}  // namespace velqa
