// Observables read on the device without changing the statevector: marginal outcome probabilities
// and expectation values of Pauli sums. Both run without the interpreter lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/pauli.hpp"
#include "velqa/velqa_device_state.hpp"

namespace velqa {

// The probabilities of the 2^k outcomes of the targets, by the measurement's outcome rule, divided
// by the squared norm: one pass over the state, the 2^k sums copied back. More than 30 targets
// raise std::invalid_argument("probability targets size must be at most 30"); then the targets and
// endian are checked as a measurement checks them, except that an empty list is allowed (one
// outcome, probability 1). A squared norm that is zero, infinite or NaN raises std::runtime_error
// ("Quantum state has zero or invalid norm.").
std::vector<double> probabilities(const DeviceState& state, const std::vector<std::int64_t>& targets,
                                  const std::string& endian);

// sum_t c_t <psi|P_t|psi> / <psi|psi>. The terms are checked (plan_pauli_sum) before any device
// work; terms with the same X/Y pattern share one pass over the state, which reads every amplitude
// once. No terms give 0 without device work. A squared norm that is zero, infinite or NaN raises
// std::runtime_error ("Quantum state has zero or invalid norm.").
double expectation_pauli(const DeviceState& state, const std::vector<korvane::PauliTerm>& terms);

// The same for a planned sum on the 2^n amplitudes at data (one member of a batch) on its device.
template <class T>
double expectation_pauli(std::uint64_t n, const CuComplex<T>* data, std::int32_t device_id,
                         const korvane::PauliPlan& plan);

// The qubits a Pauli term may name.
inline std::uint64_t qubit_count(const DeviceState& state) { return state.n(); }

}  // namespace velqa
