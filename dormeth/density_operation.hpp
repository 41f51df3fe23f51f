// DensityOperation: the plain record of one Python operation object (a gate, or a Kraus channel),
// and the rules that name, count and check it. Conversion from Python fills the records without
// any semantic check; the runner validates and prepares every record before any device work.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dormeth/channel_kind.hpp"

namespace korvane::dormeth {

enum class OperationKind : std::int32_t { Gate = 0, Kraus = 1 };

struct DensityOperation {
    OperationKind kind = OperationKind::Gate;
    std::string name;                                 // gates: the name as given (not canonicalised)
    std::vector<std::int64_t> targets;                // in the caller's order
    std::vector<std::int64_t> controls;               // gates only
    std::vector<std::int64_t> control_state;          // gates only, one entry per control
    std::vector<double> parameters;                   // gates only, radians
    std::vector<std::complex<double>> stored_matrix;  // gates only, row-major
    bool has_stored_matrix = false;
    std::string channel_name;          // Kraus only; empty when absent
    std::int64_t kraus_dimension = 0;  // d = 2^(number of targets)
    std::int64_t kraus_count = 0;
    std::vector<std::complex<double>> kraus_matrices;  // kraus_count row-major d x d matrices

    DensityOperation() = default;
    // Records are moved into their list, never copied: a Kraus set may be large.
    DensityOperation(DensityOperation&&) = default;
    DensityOperation& operator=(DensityOperation&&) = default;
    DensityOperation(const DensityOperation&) = delete;
    DensityOperation& operator=(const DensityOperation&) = delete;
};

// Maps the aliases ("cx", "mcrz", "gphase", "xyarb", ...) to their canonical names; exact and
// case-sensitive, any other name is returned unchanged.
std::string canonical_operation_name(const std::string& name);

// The checks of a gate's qubit lists on n qubits, first failure wins (RuntimeError).
void validate_gate_targets(const DensityOperation& op, std::int64_t n);

// The checks of a Kraus record on n qubits, first failure wins (RuntimeError).
void validate_kraus(const DensityOperation& op, std::int64_t n);

// The parameter count of a named gate must be `count` and every parameter finite (RuntimeError).
void check_parameters(const DensityOperation& op, std::size_t count);

struct BuiltinChannel {
    density::ChannelKind kind;
    double probability;
};

// A Kraus record that names a built-in channel, has one target, 2 x 2 operators and the channel's
// operator count runs as that channel; p is read from the second operator K1 (all other entries
// are ignored). Anything else is a general Kraus channel (nullopt).
std::optional<BuiltinChannel> builtin_channel(const DensityOperation& op);

}  // namespace korvane::dormeth
