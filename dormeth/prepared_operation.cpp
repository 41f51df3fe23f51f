#include "dormeth/prepared_operation.hpp"

#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>

#include "dormeth/kernels/density_kernels.hpp"

namespace korvane::dormeth {

using density::DensityOperation;
using density::OperationKind;

namespace {

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

// The prepared record of a recognised gate form.
template <class T>
struct PrepareGate {
    const DensityOperation& r;
    std::int64_t n;
    std::vector<CuComplex<T>>& matrices;
    ControlMasks controls;

    PreparedDensityOp operator()(const density::DroppedGate&) const { return SkippedOp{}; }
    PreparedDensityOp operator()(const density::DiagonalGate<T>& d) const {
        return DiagonalOp{std::uint64_t(1) << r.targets[0], controls, std::complex<double>(d.d0),
                          std::complex<double>(d.d1)};
    }
    PreparedDensityOp operator()(const density::PermutationGate& p) const {
        PermutationOp op{0, controls, p.is_swap};
        for (const std::int64_t t : r.targets) op.mask |= std::uint64_t(1) << t;
        return op;
    }
    PreparedDensityOp operator()(const density::MatrixGate<T>& g) const {
        UnitaryOp op{make_device_targets(n, r.targets), controls, static_cast<std::int64_t>(matrices.size())};
        matrices.insert(matrices.end(), g.matrix.begin(), g.matrix.end());
        return op;
    }
};

template <class T>
PreparedDensityOp prepare_gate(const DensityOperation& r, std::int64_t n, std::size_t index,
                               std::vector<CuComplex<T>>& matrices) {
    const density::GateForm<T> form = density::checked_gate_form<T>(r, n, index);
    return std::visit(PrepareGate<T>{r, n, matrices, control_masks(r)}, form);
}

template <class T>
PreparedDensityOp prepare_kraus(const DensityOperation& r, std::int64_t n, std::size_t index,
                                std::vector<CuComplex<T>>& matrices) {
    if (const auto channel = density::checked_kraus_channel<T>(r, n, index))
        return ChannelOp{std::uint64_t(1) << r.targets[0], channel->kind, channel->probability};
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

template PreparedDensityOp prepare_density_op<float>(const DensityOperation&, std::int64_t, std::size_t,
                                                     std::vector<CuComplex<float>>&);
template PreparedDensityOp prepare_density_op<double>(const DensityOperation&, std::int64_t, std::size_t,
                                                      std::vector<CuComplex<double>>&);
template void execute_prepared_op<float>(const DeviceDensityState&, const PreparedDensityOp&, const CuComplex<float>*);
template void execute_prepared_op<double>(const DeviceDensityState&, const PreparedDensityOp&,
                                          const CuComplex<double>*);

}  // namespace korvane::dormeth
