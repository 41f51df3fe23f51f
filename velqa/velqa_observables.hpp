// Observables read on the device without changing the statevector: marginal outcome probabilities
// and expectation values of Pauli sums, of a state or of every member of a batch. All run without
// the interpreter lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/pauli.hpp"
#include "velqa/state_view.hpp"
#include "velqa/velqa_device_state.hpp"

namespace velqa {

// The probabilities of the 2^k outcomes of the targets, by the measurement's outcome rule, divided
// by the squared norm, of every member (member b's from entry b 2^k): one pass over each member,
// the sums copied back. More than 30 targets raise std::invalid_argument("probability targets size
// must be at most 30"); then the targets and endian are checked as a measurement checks them, except
// that an empty list is allowed (one outcome, probability 1). A squared norm that is zero, infinite
// or NaN raises std::runtime_error ("Quantum state has zero or invalid norm.", naming the member in
// a batch) before any result is returned.
std::vector<double> probabilities(const StateView& state, const std::vector<std::int64_t>& targets,
                                  const std::string& endian);
inline std::vector<double> probabilities(const DeviceState& state, const std::vector<std::int64_t>& targets,
                                         const std::string& endian) {
    return probabilities(state.view(), targets, endian);
}

// sum_t c_t <psi|P_t|psi> / <psi|psi> of every member. The terms are checked (plan_pauli_sum)
// before any device work; terms with the same X/Y pattern share one pass over the state, which reads
// every amplitude once. No terms give 0 without device work. A squared norm that is zero, infinite
// or NaN raises std::runtime_error ("Quantum state has zero or invalid norm.", naming the member in
// a batch).
std::vector<double> expectation_pauli(const StateView& state, const std::vector<korvane::PauliTerm>& terms);
inline double expectation_pauli(const DeviceState& state, const std::vector<korvane::PauliTerm>& terms) {
    return expectation_pauli(state.view(), terms).front();
}

// The qubits a Pauli term may name.
inline std::uint64_t qubit_count(const DeviceState& state) { return state.n(); }

}  // namespace velqa
