#include "common/pauli.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

namespace korvane {

namespace {

struct Encoded {
    std::uint64_t x_mask = 0;
    PauliWeight weight{};
};

Encoded encode_term(const PauliTerm& term, std::size_t index, std::uint64_t num_qubits, int exponent) {
    const std::string prefix = "Pauli term " + std::to_string(index) + ": ";
    for (char letter : term.paulis)
        if (letter != 'I' && letter != 'X' && letter != 'Y' && letter != 'Z')
            throw std::invalid_argument(prefix + "paulis must contain only the letters I, X, Y and Z");
    if (term.paulis.size() != term.qubits.size())
        throw std::invalid_argument(prefix + "paulis and qubits must have the same length");
    Encoded out;
    std::uint64_t seen = 0;
    unsigned y_count = 0;
    for (std::size_t j = 0; j < term.qubits.size(); ++j) {
        const std::int64_t q = term.qubits[j];
        if (q < 0 || static_cast<std::uint64_t>(q) >= num_qubits)
            throw std::invalid_argument(prefix + "qubit " + std::to_string(q) + " is out of range for " +
                                        std::to_string(num_qubits) + " qubits");
        const std::uint64_t bit = std::uint64_t(1) << q;
        if (seen & bit) throw std::invalid_argument(prefix + "qubit " + std::to_string(q) + " is repeated");
        seen |= bit;
        switch (term.paulis[j]) {
            case 'X': out.x_mask |= bit; break;
            case 'Y':
                out.x_mask |= bit;
                out.weight.z_mask |= bit;
                ++y_count;
                break;
            case 'Z': out.weight.z_mask |= bit; break;
            default: break;
        }
    }
    if (!std::isfinite(term.coefficient)) throw std::invalid_argument(prefix + "coefficient must be finite");
    const double c = std::ldexp(term.coefficient, -exponent);
    // c * i^y
    switch (y_count % 4) {
        case 0: out.weight.re = c, out.weight.im = 0.0; break;
        case 1: out.weight.re = 0.0, out.weight.im = c; break;
        case 2: out.weight.re = -c, out.weight.im = 0.0; break;
        default: out.weight.re = 0.0, out.weight.im = -c; break;
    }
    return out;
}

// The smallest exponent e >= 0 with sum_t |c_t| 2^-e <= 1, from a bound that cannot overflow: the
// sum is below count 2^(ilogb(max |c|) + 1). Non-finite coefficients are the term checks' to refuse.
int scale_exponent(const std::vector<PauliTerm>& terms) {
    double largest = 0.0;
    for (const PauliTerm& t : terms)
        if (std::isfinite(t.coefficient)) largest = std::max(largest, std::fabs(t.coefficient));
    if (largest == 0.0) return 0;
    const auto count_bits = static_cast<int>(std::bit_width(terms.size() - 1));  // 2^count_bits >= the number of terms
    return std::max(0, std::ilogb(largest) + 1 + count_bits);
}

}  // namespace

PauliPlan plan_pauli_sum(const std::vector<PauliTerm>& terms, std::uint64_t num_qubits) {
    PauliPlan plan;
    plan.exponent = scale_exponent(terms);
    std::vector<Encoded> encoded;
    encoded.reserve(terms.size());
    for (std::size_t i = 0; i < terms.size(); ++i)
        encoded.push_back(encode_term(terms[i], i, num_qubits, plan.exponent));

    std::unordered_map<std::uint64_t, std::size_t> pass_of;
    std::vector<std::vector<PauliWeight>> grouped;
    for (const Encoded& e : encoded) {
        const auto [it, added] = pass_of.emplace(e.x_mask, grouped.size());
        if (added) {
            grouped.emplace_back();
            plan.passes.push_back(PauliPass{e.x_mask, 0, 0});
        }
        grouped[it->second].push_back(e.weight);
    }
    plan.weights.reserve(terms.size());
    for (std::size_t p = 0; p < grouped.size(); ++p) {
        plan.passes[p].first = plan.weights.size();
        plan.passes[p].count = grouped[p].size();
        plan.weights.insert(plan.weights.end(), grouped[p].begin(), grouped[p].end());
    }
    return plan;
}

double pauli_expectation(double value, double total, int exponent) {
    const double result = std::ldexp(value / total, exponent);
    if (!std::isfinite(result)) throw std::overflow_error("Pauli sum expectation value is out of the float range");
    return result;
}

}  // namespace korvane
