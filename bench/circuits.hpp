// Standard circuits for the fusion benchmarks, as velqa gate records. Seeded, so every run plans
// the same gates.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "velqa/gate_record.hpp"
#include "velqa/gate_traits.hpp"

namespace bench {

using velqa::GateRecord;

inline GateRecord gate(velqa::GateId id, std::vector<std::int64_t> target, std::vector<std::int64_t> control = {},
                       std::vector<double> parameter = {}) {
    GateRecord g;
    g.id = id;
    g.target = std::move(target);
    g.control_state.assign(control.size(), 1);
    g.control = std::move(control);
    g.parameter = std::move(parameter);
    return g;
}

// Quantum Fourier transform: H and controlled phases per qubit, then the reversing SWAPs.
inline std::vector<GateRecord> qft(int n) {
    std::vector<GateRecord> gates;
    for (int j = n - 1; j >= 0; --j) {
        gates.push_back(gate(velqa::kGateH, {j}));
        for (int c = j - 1; c >= 0; --c)
            gates.push_back(gate(velqa::kGatePhase, {j}, {c}, {std::numbers::pi / std::ldexp(1.0, j - c)}));
    }
    for (int q = 0; q < n / 2; ++q) gates.push_back(gate(velqa::kGateSwap, {q, n - 1 - q}));
    return gates;
}

// Random brick wall: per layer a random U on every qubit, then CX on alternating neighbour pairs.
inline std::vector<GateRecord> brick_wall(int n, int layers, std::uint64_t seed = 7) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> angle(0, 2 * std::numbers::pi);
    std::vector<GateRecord> gates;
    for (int l = 0; l < layers; ++l) {
        for (int q = 0; q < n; ++q) gates.push_back(gate(velqa::kGateU, {q}, {}, {angle(rng), angle(rng), angle(rng)}));
        for (int q = l % 2; q + 1 < n; q += 2) gates.push_back(gate(velqa::kGateX, {q + 1}, {q}));
    }
    return gates;
}

// QAOA on a ring: H on every qubit, then per layer ZZ(gamma) on each ring edge as CX RZ CX and
// RX(beta) on every qubit.
inline std::vector<GateRecord> qaoa(int n, int layers, std::uint64_t seed = 11) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> angle(0, std::numbers::pi);
    std::vector<GateRecord> gates;
    gates.reserve(static_cast<std::size_t>(n) * (1 + 4 * static_cast<std::size_t>(layers)));
    for (int q = 0; q < n; ++q) gates.push_back(gate(velqa::kGateH, {q}));
    for (int l = 0; l < layers; ++l) {
        const double gamma = angle(rng);
        const double beta = angle(rng);
        for (int q = 0; q < n; ++q) {
            const int r = (q + 1) % n;
            gates.push_back(gate(velqa::kGateX, {r}, {q}));
            gates.push_back(gate(velqa::kGateRZ, {r}, {}, {2 * gamma}));
            gates.push_back(gate(velqa::kGateX, {r}, {q}));
        }
        for (int q = 0; q < n; ++q) gates.push_back(gate(velqa::kGateRX, {q}, {}, {2 * beta}));
    }
    return gates;
}

// Random-circuit-sampling style: an H layer, then per cycle a random sqrt(X), sqrt(Y) or T on
// every qubit and a CZ brick layer whose offset alternates. 24 qubits and 20 cycles give 734 gates.
inline std::vector<GateRecord> rcs(int n, int cycles, std::uint64_t seed = 5) {
    std::mt19937_64 rng(seed);
    std::vector<GateRecord> gates;
    gates.reserve(static_cast<std::size_t>(n) * (2 + 2 * static_cast<std::size_t>(cycles)));
    for (int q = 0; q < n; ++q) gates.push_back(gate(velqa::kGateH, {q}));
    for (int c = 0; c < cycles; ++c) {
        for (int q = 0; q < n; ++q) {
            switch (rng() % 3) {
                case 0: gates.push_back(gate(velqa::kGateSqrtX, {q})); break;
                case 1: gates.push_back(gate(velqa::kGateSqrtY, {q})); break;
                default: gates.push_back(gate(velqa::kGatePhase, {q}, {}, {std::numbers::pi / 4})); break;
            }
        }
        for (int q = c % 2; q + 1 < n; q += 2) gates.push_back(gate(velqa::kGateZ, {q + 1}, {q}));
    }
    return gates;
}

}  // namespace bench
