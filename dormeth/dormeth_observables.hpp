// Observables read on the device without changing the density matrix: marginal outcome
// probabilities and expectation values of Pauli sums. Both run without the interpreter lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/pauli.hpp"
#include "dormeth/dormeth_device_state.hpp"

namespace korvane::dormeth {

// The probabilities of the 2^k outcomes of the targets, by the measurement's outcome rule, divided
// by the trace: one pass over the diagonal, the 2^k sums copied back. More than 30 targets raise
// std::invalid_argument("probability targets size must be at most 30"); then the targets and endian
// are checked as a measurement checks them, except that an empty list is allowed (one outcome,
// probability 1, also for n = 0). A trace that is zero, infinite or NaN raises std::runtime_error
// ("density matrix has zero or invalid trace.").
std::vector<double> probabilities(const DeviceDensityState& state, const std::vector<std::int64_t>& targets,
                                  const std::string& endian);

// sum_t c_t Re Tr(rho P_t) / Tr(rho). The terms are checked (plan_pauli_sum) before any device work;
// terms with the same X/Y pattern share one pass, which reads the 2^n elements rho[r][r ^ x_mask]
// (the first pass also the diagonal, for the trace). No terms give 0 without device work. A trace
// that is zero, infinite or NaN raises std::runtime_error ("density matrix has zero or invalid
// trace.").
double expectation_pauli(const DeviceDensityState& state, const std::vector<PauliTerm>& terms);

// The qubits a Pauli term may name.
inline std::uint64_t qubit_count(const DeviceDensityState& state) {
    return static_cast<std::uint64_t>(state.num_qubits());
}

}  // namespace korvane::dormeth
