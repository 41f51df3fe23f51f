#include "common/pauli.hpp"

#include <cmath>
#include <stdexcept>
#include <unordered_map>

namespace korvane {

namespace {

struct Encoded {
    std::uint64_t x_mask = 0;
    PauliWeight weight{};
};

Encoded encode_term(const PauliTerm& term, std::size_t index, std::uint64_t num_qubits) {
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
    const double c = term.coefficient;
    if (!std::isfinite(c)) throw std::invalid_argument(prefix + "coefficient must be finite");
    // c * i^y
    switch (y_count % 4) {
        case 0: out.weight.re = c, out.weight.im = 0.0; break;
        case 1: out.weight.re = 0.0, out.weight.im = c; break;
        case 2: out.weight.re = -c, out.weight.im = 0.0; break;
        default: out.weight.re = 0.0, out.weight.im = -c; break;
    }
    return out;
}

}  // namespace

PauliPlan plan_pauli_sum(const std::vector<PauliTerm>& terms, std::uint64_t num_qubits) {
    std::vector<Encoded> encoded;
    encoded.reserve(terms.size());
    for (std::size_t i = 0; i < terms.size(); ++i) encoded.push_back(encode_term(terms[i], i, num_qubits));

    PauliPlan plan;
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

}  // namespace korvane
