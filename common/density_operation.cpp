#include "common/density_operation.hpp"

#include <cmath>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "common/density_gate_traits.hpp"
#include "common/precision.hpp"
#include "common/text_error.hpp"

namespace korvane::density {

namespace {

void require(bool ok, const char* message) {
    if (!ok) throw std::runtime_error(message);
}

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

// Rounds a complex value to the state's precision.
template <class T, class U>
CuComplex<T> to_device(std::complex<U> z) {
    return CuComplex<T>{static_cast<T>(z.real()), static_cast<T>(z.imag())};
}

// The matrix of the general unitary path: the stored matrix rounded to T (every entry finite), or
// the named matrix after its target and parameter checks. Its size against the targets is left to
// the caller.
template <class T>
std::vector<CuComplex<T>> general_matrix(const DensityOperation& r, const DensityGateTraits<T>* gate,
                                         const RecordContext& where) {
    std::vector<CuComplex<T>> m;
    if (r.has_stored_matrix) {
        m.reserve(r.stored_matrix.size());
        for (const std::complex<double>& z : r.stored_matrix) {
            if (!finite_in(z.real(), where) || !finite_in(z.imag(), where))
                fail_value("unitary matrix must contain only finite values", where);
            m.push_back(to_device<T>(z));
        }
        return m;
    }
    if (gate && gate->targets == 2) {
        check_parameters(r, gate->parameters, where);
        if (r.targets.size() != 2) fail(std::string(gate->name) + " requires exactly two targets");
    } else {
        if (r.targets.size() != 1) fail("named density operation requires one target");
        if (!gate) throw RuntimeErrorText("unsupported named density operation '" + r.name + "'");
        check_parameters(r, gate->parameters, where);
    }
    const NamedGateMatrix<T> named = gate->matrix(r.parameters);
    const std::size_t size = std::size_t(1) << (2 * gate->targets);
    for (std::size_t i = 0; i < size; ++i) m.push_back(to_device<T>(named[i]));
    return m;
}

// Whether entry i of qubits lies in [0, n) and differs from every earlier entry.
bool fresh_qubit(const std::vector<std::int64_t>& qubits, std::size_t i, std::int64_t n) {
    const std::int64_t q = qubits[i];
    if (q < 0 || q >= n) return false;
    for (std::size_t j = 0; j < i; ++j)
        if (qubits[j] == q) return false;
    return true;
}

bool contains(const std::vector<std::int64_t>& qubits, std::int64_t q) {
    for (const std::int64_t x : qubits)
        if (x == q) return true;
    return false;
}

}  // namespace

bool finite_in(double x, const RecordContext& where) {
    return where.single ? korvane::finite_in<float>(x) : korvane::finite_in<double>(x);
}

void fail_value(const char* message, const RecordContext& where) {
    throw std::runtime_error(std::string(message) + " (operation " + std::to_string(where.index) + ", " +
                             (where.single ? korvane::precision_name<float>() : korvane::precision_name<double>()) +
                             ")");
}

void validate_gate_targets(const DensityOperation& op, std::int64_t n) {
    require(!op.targets.empty(), "density operation requires at least one target");
    require(op.controls.size() == op.control_state.size(), "controls and control_state sizes must match");
    for (std::size_t i = 0; i < op.targets.size(); ++i)
        require(fresh_qubit(op.targets, i, n), "invalid or duplicate target qubit");
    for (std::size_t i = 0; i < op.controls.size(); ++i) {
        require(fresh_qubit(op.controls, i, n) && !contains(op.targets, op.controls[i]),
                "invalid, duplicate, or overlapping control qubit");
        require(op.control_state[i] == 0 || op.control_state[i] == 1, "control_state must contain only 0 or 1");
    }
}

void validate_kraus(const DensityOperation& op, std::int64_t n, const RecordContext& where) {
    require(!op.targets.empty(), "Kraus operation requires at least one target");
    for (std::size_t i = 0; i < op.targets.size(); ++i)
        require(fresh_qubit(op.targets, i, n), "invalid or duplicate Kraus target qubit");
    require(op.targets.size() < 63 && (std::int64_t(1) << op.targets.size()) == op.kraus_dimension,
            "Kraus matrix dimension does not match targets");
    require(op.kraus_count >= 1, "Kraus operation requires at least one matrix");
    require(static_cast<std::uint64_t>(op.kraus_matrices.size()) == static_cast<std::uint64_t>(op.kraus_dimension) *
                                                                        static_cast<std::uint64_t>(op.kraus_count) *
                                                                        static_cast<std::uint64_t>(op.kraus_dimension),
            "invalid Kraus matrix buffer size");
    for (const std::complex<double>& z : op.kraus_matrices)
        if (!finite_in(z.real(), where) || !finite_in(z.imag(), where))
            fail_value("Kraus matrices must contain only finite values", where);
}

void check_parameters(const DensityOperation& op, std::size_t count, const RecordContext& where) {
    if (op.parameters.size() != count)
        throw RuntimeErrorText("invalid parameter count for density operation '" + op.name + "'");
    for (const double p : op.parameters)
        if (!finite_in(p, where)) fail_value("density operation parameters must be finite", where);
}

std::optional<BuiltinChannel> named_channel(const DensityOperation& op) {
    struct Entry {
        ChannelKind kind;
        std::int64_t count;
        bool off_diagonal;  // p = (Re K1[0][1])^2, else (Re K1[0][0])^2
        double scale;
    };
    static const std::unordered_map<std::string_view, Entry> channels = {
        {"bit_flip", {ChannelKind::BitFlip, 2, true, 1.0}},
        {"phase_flip", {ChannelKind::PhaseFlip, 2, false, 1.0}},
        {"depolarizing", {ChannelKind::Depolarizing, 4, true, 4.0}},
        {"amplitude_damping", {ChannelKind::AmplitudeDamping, 2, true, 1.0}},
        {"phase_damping", {ChannelKind::PhaseDamping, 3, false, 1.0}},
    };
    if (op.kind != OperationKind::Kraus) return std::nullopt;
    const auto it = channels.find(op.channel_name);
    if (it == channels.end()) return std::nullopt;
    const Entry& e = it->second;
    if (op.targets.size() != 1 || op.kraus_dimension != 2 || op.kraus_count != e.count ||
        op.kraus_matrices.size() != static_cast<std::size_t>(4 * e.count))
        return std::nullopt;
    const double x = op.kraus_matrices[4 + (e.off_diagonal ? 1 : 0)].real();  // K1 starts at element 4
    return BuiltinChannel{e.kind, e.scale * x * x};
}

std::vector<std::complex<double>> channel_operators(ChannelKind kind, double p) {
    using C = std::complex<double>;
    const double keep = std::sqrt(1.0 - p);
    const double flip = std::sqrt(p);
    switch (kind) {
        case ChannelKind::BitFlip: return {keep, 0, 0, keep, 0, flip, flip, 0};
        case ChannelKind::PhaseFlip: return {keep, 0, 0, keep, flip, 0, 0, -flip};
        case ChannelKind::Depolarizing: {
            const double k = std::sqrt(1.0 - 3.0 * p / 4.0);
            const double q = std::sqrt(p / 4.0);
            return {k, 0, 0, k, 0, q, q, 0, 0, C(0, -q), C(0, q), 0, q, 0, 0, -q};
        }
        case ChannelKind::AmplitudeDamping: return {1, 0, 0, keep, 0, flip, 0, 0};
        case ChannelKind::PhaseDamping: return {keep, 0, 0, keep, flip, 0, 0, 0, 0, 0, 0, flip};
    }
    return {};
}

bool has_channel_operators(const DensityOperation& op, const BuiltinChannel& channel) {
    const std::vector<std::complex<double>> expected = channel_operators(channel.kind, channel.probability);
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (!(std::abs(op.kraus_matrices[i] - expected[i]) <= kChannelTolerance)) return false;
    return true;
}

std::optional<BuiltinChannel> builtin_channel(const DensityOperation& op) {
    const auto channel = named_channel(op);
    if (!channel || !(channel->probability >= 0.0 && channel->probability <= 1.0)) return std::nullopt;
    if (!has_channel_operators(op, *channel)) return std::nullopt;
    return channel;
}

template <class T>
GateForm<T> gate_form(const DensityOperation& r, std::size_t index) {
    const RecordContext where{index, std::is_same_v<T, float>};
    const DensityGateTraits<T>* gate = find_density_gate<T>(r.name);
    if (!r.has_stored_matrix && gate) {
        if (gate->global_phase && r.controls.empty()) return DroppedGate{};
        if (gate->apply == DensityGateApply::Diagonal && r.targets.size() == 1) {
            if (gate->parameters > 0) check_parameters(r, gate->parameters, where);
            const NamedGateMatrix<T> m = gate->matrix(r.parameters);
            return DiagonalGate<T>{m[0], m[3]};
        }
        if (gate->apply == DensityGateApply::Permutation && r.targets.size() == gate->targets) {
            if (!r.parameters.empty())
                throw RuntimeErrorText("density operation '" + r.name + "' requires no parameters");
            return PermutationGate{gate->targets == 2};
        }
    }
    return MatrixGate<T>{general_matrix<T>(r, gate, where)};
}

template <class T>
GateForm<T> checked_gate_form(const DensityOperation& r, std::int64_t n, std::size_t index) {
    validate_gate_targets(r, n);
    if (r.targets.size() > static_cast<std::size_t>(kMaxGateTargets))
        fail("GPU density unitary supports at most 6 targets");
    GateForm<T> form = gate_form<T>(r, index);
    if (const auto* general = std::get_if<MatrixGate<T>>(&form)) {
        const std::uint64_t d = std::uint64_t(1) << r.targets.size();
        if (static_cast<std::uint64_t>(general->matrix.size()) != d * d)
            fail("unitary matrix size does not match targets");
    }
    return form;
}

template <class T>
std::optional<BuiltinChannel> checked_kraus_channel(const DensityOperation& r, std::int64_t n, std::size_t index) {
    const RecordContext where{index, std::is_same_v<T, float>};
    validate_kraus(r, n, where);
    // A probability outside [0, 1] makes no channel of that name; the closed-form rules would
    // compute square roots of negative numbers.
    if (const auto named = named_channel(r)) {
        if (!(named->probability >= 0.0 && named->probability <= 1.0))
            fail_value("built-in channel probability must be in [0, 1]", where);
        if (has_channel_operators(r, *named)) return named;
    }
    if (r.targets.size() > static_cast<std::size_t>(kMaxKrausTargets))
        fail("GPU density Kraus supports at most 3 targets");
    return std::nullopt;
}

template GateForm<float> gate_form<float>(const DensityOperation&, std::size_t);
template GateForm<double> gate_form<double>(const DensityOperation&, std::size_t);
template GateForm<float> checked_gate_form<float>(const DensityOperation&, std::int64_t, std::size_t);
template GateForm<double> checked_gate_form<double>(const DensityOperation&, std::int64_t, std::size_t);
template std::optional<BuiltinChannel> checked_kraus_channel<float>(const DensityOperation&, std::int64_t, std::size_t);
template std::optional<BuiltinChannel> checked_kraus_channel<double>(const DensityOperation&, std::int64_t,
                                                                     std::size_t);

}  // namespace korvane::density
