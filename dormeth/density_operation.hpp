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

// Where a record's values are checked: its position in the call's list and whether the state is
// complex64. Values must be finite once rounded to the state's precision; a refusal names both,
// "<message> (operation <index>, <dtype>)" (RuntimeError).
struct RecordContext {
    std::size_t index = 0;
    bool single = false;
};

bool finite_in(double x, const RecordContext& where);
[[noreturn]] void fail_value(const char* message, const RecordContext& where);

// The checks of a gate's qubit lists on n qubits, first failure wins (RuntimeError).
void validate_gate_targets(const DensityOperation& op, std::int64_t n);

// The checks of a Kraus record on n qubits, first failure wins (RuntimeError); the last is that
// every entry is finite in the state's precision.
void validate_kraus(const DensityOperation& op, std::int64_t n, const RecordContext& where = {});

// The parameter count of a named gate must be `count` and every parameter finite in the state's
// precision (RuntimeError).
void check_parameters(const DensityOperation& op, std::size_t count, const RecordContext& where = {});

struct BuiltinChannel {
    density::ChannelKind kind;
    double probability;
};

// The channel a Kraus record names when it has that channel's shape: a built-in channel name, one
// target, 2 x 2 operators and the channel's operator count. p is read from the second operator K1.
std::optional<BuiltinChannel> named_channel(const DensityOperation& op);

// The operators of a built-in channel for p, one after another, each 2 x 2 row-major.
std::vector<std::complex<double>> channel_operators(density::ChannelKind kind, double p);

// Entries of a record's operators may differ from the channel's by this much and still run as it.
constexpr double kChannelTolerance = 1e-12;

// A Kraus record runs as a built-in channel when it names one with its shape, p lies in [0, 1] and
// every entry of its operators equals the channel's for that p within kChannelTolerance. Anything
// else is a general Kraus channel (nullopt), which is right for any operators.
std::optional<BuiltinChannel> builtin_channel(const DensityOperation& op);

// Whether every entry of op's operators equals the named channel's within kChannelTolerance; p must
// lie in [0, 1].
bool has_channel_operators(const DensityOperation& op, const BuiltinChannel& channel);

}  // namespace korvane::dormeth
