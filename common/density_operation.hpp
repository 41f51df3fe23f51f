// DensityOperation: the plain record of one Python operation object (a gate, or a Kraus channel),
// and the rules that name, count and check it. Conversion from Python fills the records without
// any semantic check; a runner (dormeth's density runner, velqa's trajectories) checks every record
// of a call with these rules, with the same messages, before any device work.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/channel_kind.hpp"
#include "common/complex.hpp"

namespace korvane::density {

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
    ChannelKind kind;
    double probability;
};

// The channel a Kraus record names when it has that channel's shape: a built-in channel name, one
// target, 2 x 2 operators and the channel's operator count. p is read from the second operator K1.
std::optional<BuiltinChannel> named_channel(const DensityOperation& op);

// The operators of a built-in channel for p, one after another, each 2 x 2 row-major.
std::vector<std::complex<double>> channel_operators(ChannelKind kind, double p);

// Entries of a record's operators may differ from the channel's by this much and still run as it.
constexpr double kChannelTolerance = 1e-12;

// A Kraus record runs as a built-in channel when it names one with its shape, p lies in [0, 1] and
// every entry of its operators equals the channel's for that p within kChannelTolerance. Anything
// else is a general Kraus channel (nullopt), which is right for any operators.
std::optional<BuiltinChannel> builtin_channel(const DensityOperation& op);

// Whether every entry of op's operators equals the named channel's within kChannelTolerance; p must
// lie in [0, 1].
bool has_channel_operators(const DensityOperation& op, const BuiltinChannel& channel);

// The most targets of a gate and of a general Kraus set.
inline constexpr std::int64_t kMaxGateTargets = 6;
inline constexpr std::int64_t kMaxKrausTargets = 3;

// How a gate record runs: dropped (a global phase without controls), a one-target diagonal
// diag(d0, d1), a basis permutation (X on one target, SWAP on two), or a general unitary with its
// matrix (stored, or named; row-major, in the precision T).
struct DroppedGate {};
template <class T>
struct DiagonalGate {
    std::complex<T> d0{1, 0};
    std::complex<T> d1{1, 0};
};
struct PermutationGate {
    bool is_swap = false;
};
template <class T>
struct MatrixGate {
    std::vector<CuComplex<T>> matrix;
};
template <class T>
using GateForm = std::variant<DroppedGate, DiagonalGate<T>, PermutationGate, MatrixGate<T>>;

// Recognises the form of a gate record whose qubits are already validated, with the checks that form
// makes (parameters, matrix entries, named target counts; RuntimeError; value errors name the
// record's index in its call). The size of a general matrix against the targets is left to the caller.
template <class T>
GateForm<T> gate_form(const DensityOperation& record, std::size_t index = 0);

// Record `index` of a call on n qubits, a gate, checked whole in order (its qubits, at most
// kMaxGateTargets targets, its form's checks, a general matrix's size), and its form.
template <class T>
GateForm<T> checked_gate_form(const DensityOperation& record, std::int64_t n, std::size_t index);

// Record `index` of a call on n qubits, a Kraus set, checked whole in order (validate_kraus, a named
// channel's p in [0, 1], at most kMaxKrausTargets targets unless it runs as a built-in channel): the
// built-in channel it runs as, or nothing for a general Kraus sum.
template <class T>
std::optional<BuiltinChannel> checked_kraus_channel(const DensityOperation& record, std::int64_t n, std::size_t index);

}  // namespace korvane::density
