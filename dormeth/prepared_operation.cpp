#include "dormeth/prepared_operation.hpp"

#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>

#include "common/text_error.hpp"
#include "dormeth/density_gate_traits.hpp"
#include "dormeth/kernels/density_kernels.hpp"

namespace korvane::dormeth {
namespace {

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

ControlMasks control_masks(const DensityOperation& r) {
    ControlMasks c;
    for (std::size_t i = 0; i < r.controls.size(); ++i) {
        const std::uint64_t bit = std::uint64_t(1) << r.controls[i];
        c.mask |= bit;
        if (r.control_state[i] == 1) c.values |= bit;
    }
    return c;
}

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

// The prepared record of a recognised gate form.
template <class T>
struct PrepareGate {
    const DensityOperation& r;
    std::int64_t n;
    std::vector<CuComplex<T>>& matrices;
    ControlMasks controls;

    PreparedDensityOp operator()(const DroppedGate&) const { return SkippedOp{}; }
    PreparedDensityOp operator()(const DiagonalGate<T>& d) const {
        return DiagonalOp{std::uint64_t(1) << r.targets[0], controls, std::complex<double>(d.d0),
                          std::complex<double>(d.d1)};
    }
    PreparedDensityOp operator()(const PermutationGate& p) const {
        PermutationOp op{0, controls, p.is_swap};
        for (const std::int64_t t : r.targets) op.mask |= std::uint64_t(1) << t;
        return op;
    }
    PreparedDensityOp operator()(const MatrixGate<T>& g) const {
        const std::uint64_t d = std::uint64_t(1) << r.targets.size();
        if (static_cast<std::uint64_t>(g.matrix.size()) != d * d) fail("unitary matrix size does not match targets");
        UnitaryOp op{make_device_targets(n, r.targets), controls, static_cast<std::int64_t>(matrices.size())};
        matrices.insert(matrices.end(), g.matrix.begin(), g.matrix.end());
        return op;
    }
};

template <class T>
PreparedDensityOp prepare_gate(const DensityOperation& r, std::int64_t n, std::size_t index,
                               std::vector<CuComplex<T>>& matrices) {
    validate_gate_targets(r, n);
    if (r.targets.size() > static_cast<std::size_t>(kMaxUnitaryTargets))
        fail("GPU density unitary supports at most 6 targets");
    return std::visit(PrepareGate<T>{r, n, matrices, control_masks(r)}, gate_form<T>(r, index));
}

template <class T>
PreparedDensityOp prepare_kraus(const DensityOperation& r, std::int64_t n, std::size_t index,
                                std::vector<CuComplex<T>>& matrices) {
    const RecordContext where{index, std::is_same_v<T, float>};
    validate_kraus(r, n, where);
    // A probability outside [0, 1] makes no channel of that name; the closed-form rules would
    // compute square roots of negative numbers.
    if (const auto named = named_channel(r)) {
        if (!(named->probability >= 0.0 && named->probability <= 1.0))
            fail_value("built-in channel probability must be in [0, 1]", where);
        if (has_channel_operators(r, *named))
            return ChannelOp{std::uint64_t(1) << r.targets[0], named->kind, named->probability};
    }
    if (r.targets.size() > static_cast<std::size_t>(kMaxKrausTargets))
        fail("GPU density Kraus supports at most 3 targets");
    KrausOp op{make_device_targets(n, r.targets), r.kraus_count, static_cast<std::int64_t>(matrices.size())};
    matrices.reserve(matrices.size() + r.kraus_matrices.size());
    for (const std::complex<double>& z : r.kraus_matrices) matrices.push_back(to_device<T>(z));
    return op;
}

// Launches the kernel of each kind of prepared record.
template <class T>
struct LaunchPrepared {
    CuComplex<T>* data;
    std::int64_t dim;
    const CuComplex<T>* matrices;

    void operator()(const SkippedOp&) const {}
    void operator()(const DiagonalOp& op) const {
        const CuComplex<T> d0 = to_device<T>(op.d0);
        const CuComplex<T> d1 = to_device<T>(op.d1);
        if (op.controls.mask == 0)
            launch_diagonal_free<T>(data, dim, op.target_mask, mul_conj(d1, d0), mul_conj(d0, d1));
        else
            launch_diagonal_controlled<T>(data, dim, op.target_mask, op.controls.mask, op.controls.values, d0, d1);
    }
    void operator()(const PermutationOp& op) const {
        launch_permutation<T>(data, dim, op.mask, op.controls.mask, op.controls.values, op.is_swap);
    }
    void operator()(const UnitaryOp& op) const {
        launch_unitary<T>(data, dim, op.targets, op.controls.mask, op.controls.values, matrices + op.matrix_offset);
    }
    void operator()(const ChannelOp& op) const {
        launch_channel<T>(data, dim, op.target_mask, op.kind, static_cast<T>(op.probability));
    }
    void operator()(const KrausOp& op) const {
        launch_kraus<T>(data, dim, op.targets, op.count, matrices + op.matrix_offset);
    }
};

}  // namespace

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
PreparedDensityOp prepare_density_op(const DensityOperation& record, std::int64_t n, std::size_t index,
                                     std::vector<CuComplex<T>>& matrices) {
    if (record.kind == OperationKind::Kraus) return prepare_kraus<T>(record, n, index, matrices);
    return prepare_gate<T>(record, n, index, matrices);
}

template <class T>
void execute_prepared_op(const DeviceDensityState& state, const PreparedDensityOp& op,
                         const CuComplex<T>* device_matrices) {
    std::visit(LaunchPrepared<T>{state.data_as<T>(), state.dimension(), device_matrices}, op);
}

template GateForm<float> gate_form<float>(const DensityOperation&, std::size_t);
template GateForm<double> gate_form<double>(const DensityOperation&, std::size_t);
template PreparedDensityOp prepare_density_op<float>(const DensityOperation&, std::int64_t, std::size_t,
                                                     std::vector<CuComplex<float>>&);
template PreparedDensityOp prepare_density_op<double>(const DensityOperation&, std::int64_t, std::size_t,
                                                      std::vector<CuComplex<double>>&);
template void execute_prepared_op<float>(const DeviceDensityState&, const PreparedDensityOp&, const CuComplex<float>*);
template void execute_prepared_op<double>(const DeviceDensityState&, const PreparedDensityOp&,
                                          const CuComplex<double>*);

}  // namespace korvane::dormeth
