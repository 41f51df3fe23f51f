#include "dormeth/run_density.hpp"

#include <array>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "common/cuda_check.hpp"
#include "common/device_buffer.hpp"
#include "common/precision.hpp"
#include "dormeth/density_fusion.hpp"
#include "dormeth/density_kernels.hpp"

namespace korvane::dormeth {
namespace {

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

// ------------------------------------------------------------------ named matrices
// Built in the state's precision: in complex64 the parameters are rounded to float first and all
// trigonometry is done in float.

template <class T>
using Complex = std::complex<T>;

template <class T>
Complex<T> cis(T x) {
    return Complex<T>(std::cos(x), std::sin(x));
}

template <class T>
constexpr T kQuarterPi = T(0.7853981633974483);

using Matrix2 = std::array<std::complex<double>, 4>;

// Parameter counts of the one-target named gates; a name outside the table is unsupported.
int named_parameter_count(const std::string& name) {
    static const std::unordered_map<std::string_view, int> counts = {
        {"x", 0},         {"y", 0},   {"z", 0},     {"-z", 0},    {"h", 0},         {"s", 0},
        {"s_dag", 0},     {"t", 0},   {"t_dag", 0}, {"sqrtx", 0}, {"sqrtx_dag", 0}, {"sqrty", 0},
        {"sqrty_dag", 0}, {"x2p", 0}, {"x2m", 0},   {"y2p", 0},   {"y2m", 0},       {"rx", 1},
        {"ry", 1},        {"rz", 1},  {"p", 1},     {"gp", 1},    {"rxy", 2},       {"u", 3},
    };
    const auto it = counts.find(name);
    return it == counts.end() ? -1 : it->second;
}

template <class T>
std::array<Complex<T>, 4> multiply(const std::array<Complex<T>, 4>& a, const std::array<Complex<T>, 4>& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2], a[2] * b[1] + a[3] * b[3]};
}

template <class T>
std::array<Complex<T>, 4> rx_matrix(T theta) {
    const T c = std::cos(theta / T(2));
    const T s = std::sin(theta / T(2));
    return {Complex<T>(c, 0), Complex<T>(0, -s), Complex<T>(0, -s), Complex<T>(c, 0)};
}

template <class T>
std::array<Complex<T>, 4> rz_matrix(T theta) {
    return {cis(-(theta / T(2))), Complex<T>(0), Complex<T>(0), cis(theta / T(2))};
}

// The 2 x 2 matrix of a one-target named gate (canonical name, parameters already checked).
template <class T>
std::array<Complex<T>, 4> named_matrix(const std::string& name, const std::vector<double>& parameters) {
    using C = Complex<T>;
    const T r = T(1) / std::sqrt(T(2));
    const T h = T(0.5);
    const auto angle = [&](std::size_t i) { return static_cast<T>(parameters[i]); };
    if (name == "x") return {C(0), C(1), C(1), C(0)};
    if (name == "y") return {C(0), C(0, -1), C(0, 1), C(0)};
    if (name == "z") return {C(1), C(0), C(0), C(-1)};
    if (name == "-z") return {C(-1), C(0), C(0), C(1)};
    if (name == "h") return {C(r), C(r), C(r), C(-r)};
    if (name == "s") return {C(1), C(0), C(0), C(0, 1)};
    if (name == "s_dag") return {C(1), C(0), C(0), C(0, -1)};
    if (name == "t") return {C(1), C(0), C(0), cis(kQuarterPi<T>)};
    if (name == "t_dag") return {C(1), C(0), C(0), cis(-kQuarterPi<T>)};
    if (name == "sqrtx") return {C(h, h), C(h, -h), C(h, -h), C(h, h)};
    if (name == "sqrtx_dag") return {C(h, -h), C(h, h), C(h, h), C(h, -h)};
    if (name == "sqrty") return {C(h, h), C(-h, -h), C(h, h), C(h, h)};
    if (name == "sqrty_dag") return {C(h, -h), C(h, -h), C(-h, h), C(h, -h)};
    if (name == "x2p") return {C(r), C(0, -r), C(0, -r), C(r)};
    if (name == "x2m") return {C(r), C(0, r), C(0, r), C(r)};
    if (name == "y2p") return {C(r), C(-r), C(r), C(r)};
    if (name == "y2m") return {C(r), C(r), C(-r), C(r)};
    if (name == "rx") return rx_matrix(angle(0));
    if (name == "ry") {
        const T c = std::cos(angle(0) / T(2));
        const T s = std::sin(angle(0) / T(2));
        return {C(c), C(-s), C(s), C(c)};
    }
    if (name == "rz") return rz_matrix(angle(0));
    if (name == "p") return {C(1), C(0), C(0), cis(angle(0))};
    if (name == "gp") return {cis(angle(0)), C(0), C(0), cis(angle(0))};
    if (name == "u") {
        const T c = std::cos(angle(0) / T(2));
        const T s = std::sin(angle(0) / T(2));
        const T phi = angle(1);
        const T lambda = angle(2);
        return {C(c), -cis(lambda) * s, cis(phi) * s, cis(phi + lambda) * c};
    }
    // "rxy": RZ(theta) RX(phi) RZ(-theta)
    return multiply(multiply(rz_matrix(angle(0)), rx_matrix(angle(1))), rz_matrix(-angle(0)));
}

// The diagonal entries of a one-target diagonal gate, or nullopt when the gate is not one.
template <class T>
std::optional<std::array<Complex<T>, 2>> diagonal_entries(const DensityOperation& r, const std::string& name,
                                                          const RecordContext& where) {
    using C = Complex<T>;
    if (r.targets.size() != 1) return std::nullopt;
    const auto angle = [&] { return static_cast<T>(r.parameters[0]); };
    if (name == "gp") {
        check_parameters(r, 1, where);
        return std::array<C, 2>{cis(angle()), cis(angle())};
    }
    if (name == "p") {
        check_parameters(r, 1, where);
        return std::array<C, 2>{C(1), cis(angle())};
    }
    if (name == "rz") {
        check_parameters(r, 1, where);
        return std::array<C, 2>{cis(-(angle() / T(2))), cis(angle() / T(2))};
    }
    if (name == "s") return std::array<C, 2>{C(1), C(0, 1)};
    if (name == "s_dag") return std::array<C, 2>{C(1), C(0, -1)};
    if (name == "t") return std::array<C, 2>{C(1), cis(kQuarterPi<T>)};
    if (name == "t_dag") return std::array<C, 2>{C(1), cis(-kQuarterPi<T>)};
    if (name == "z") return std::array<C, 2>{C(1), C(-1)};
    if (name == "-z") return std::array<C, 2>{C(-1), C(1)};
    return std::nullopt;
}

void set_control_masks(const DensityOperation& r, PreparedDensityOp& op) {
    for (std::size_t i = 0; i < r.controls.size(); ++i) {
        const std::uint64_t bit = std::uint64_t(1) << r.controls[i];
        op.control_mask |= bit;
        if (r.control_state[i] == 1) op.control_values |= bit;
    }
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
std::vector<CuComplex<T>> general_matrix(const DensityOperation& r, const std::string& name,
                                         const RecordContext& where) {
    std::vector<CuComplex<T>> m;
    if (r.has_stored_matrix) {
        m.reserve(r.stored_matrix.size());
        for (const std::complex<double>& z : r.stored_matrix) {
            if (!finite_in(z.real(), where) || !finite_in(z.imag(), where))
                fail_value("unitary matrix must contain only finite values", where);
            m.push_back(to_device<T>(z));
        }
    } else if (name == "swap") {
        check_parameters(r, 0, where);
        if (r.targets.size() != 2) fail("swap requires exactly two targets");
        m.assign(16, CuComplex<T>{T(0), T(0)});
        for (const int i : {0, 6, 9, 15}) m[i] = CuComplex<T>{T(1), T(0)};  // |00>, |01><10|, |10><01|, |11>
    } else {
        if (r.targets.size() != 1) fail("named density operation requires one target");
        const int count = named_parameter_count(name);
        if (count < 0) fail("unsupported named density operation '" + r.name + "'");
        check_parameters(r, static_cast<std::size_t>(count), where);
        for (const Complex<T>& z : named_matrix<T>(name, r.parameters)) m.push_back(to_device<T>(z));
    }
    return m;
}

template <class T>
PreparedDensityOp prepare_gate(const DensityOperation& r, std::int64_t n, std::size_t index,
                               std::vector<CuComplex<T>>& matrices) {
    PreparedDensityOp op;
    op.kind = static_cast<std::int32_t>(r.kind);
    validate_gate_targets(r, n);
    if (r.targets.size() > static_cast<std::size_t>(kMaxUnitaryTargets))
        fail("GPU density unitary supports at most 6 targets");
    set_control_masks(r, op);
    const GateForm<T> form = gate_form<T>(r, index);
    switch (form.path) {
        case GatePath::Noop: op.is_noop = true; return op;
        case GatePath::Diagonal:
            op.is_diagonal = true;
            op.target_mask = std::uint64_t(1) << r.targets[0];
            op.diag0 = std::complex<double>(form.d0);
            op.diag1 = std::complex<double>(form.d1);
            return op;
        case GatePath::Permutation:
            op.is_permutation = true;
            op.is_swap = form.is_swap;
            for (const std::int64_t t : r.targets) op.permutation_mask |= std::uint64_t(1) << t;
            return op;
        case GatePath::General: break;
    }
    const std::uint64_t d = std::uint64_t(1) << r.targets.size();
    if (static_cast<std::uint64_t>(form.matrix.size()) != d * d) fail("unitary matrix size does not match targets");
    op.device_targets = make_device_targets(n, r.targets);
    op.matrix_offset = static_cast<std::int64_t>(matrices.size());
    matrices.insert(matrices.end(), form.matrix.begin(), form.matrix.end());
    return op;
}

template <class T>
PreparedDensityOp prepare_kraus(const DensityOperation& r, std::int64_t n, std::size_t index,
                                std::vector<CuComplex<T>>& matrices) {
    PreparedDensityOp op;
    op.kind = static_cast<std::int32_t>(r.kind);
    const RecordContext where{index, std::is_same_v<T, float>};
    validate_kraus(r, n, where);
    // A probability outside [0, 1] makes no channel of that name; the closed-form rules would
    // compute square roots of negative numbers.
    if (const auto named = named_channel(r); named && !(named->probability >= 0.0 && named->probability <= 1.0))
        fail_value("built-in channel probability must be in [0, 1]", where);
    if (const auto channel = builtin_channel(r)) {
        op.is_channel = true;
        op.channel_kind = static_cast<std::int32_t>(channel->kind);
        op.channel_probability = channel->probability;
        op.target_mask = std::uint64_t(1) << r.targets[0];
        return op;
    }
    if (r.targets.size() > static_cast<std::size_t>(kMaxKrausTargets))
        fail("GPU density Kraus supports at most 3 targets");
    op.device_targets = make_device_targets(n, r.targets);
    op.kraus_count = r.kraus_count;
    op.matrix_offset = static_cast<std::int64_t>(matrices.size());
    matrices.reserve(matrices.size() + r.kraus_matrices.size());
    for (const std::complex<double>& z : r.kraus_matrices) matrices.push_back(to_device<T>(z));
    return op;
}

template <class T>
void run_typed(DeviceDensityState& state, std::int64_t n, const std::vector<DensityOperation>& records,
               bool fusion_enabled) {
    std::vector<CuComplex<T>> matrices;
    std::vector<PreparedDensityOp> prepared;
    prepared.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i)
        prepared.push_back(prepare_density_op<T>(records[i], n, i, matrices));

    DeviceBuffer<CuComplex<T>> device_matrices;
    if (!matrices.empty()) device_matrices = DeviceBuffer<CuComplex<T>>::copy_of(matrices.data(), matrices.size());
    const CuComplex<T>* matrix_data = device_matrices.get();
    try {
        if (fusion_enabled && n - 4 >= 1) {
            run_fused_schedule<T>(state, records, prepared, matrix_data);
        } else {
            for (const PreparedDensityOp& op : prepared) execute_prepared_op<T>(state, op, matrix_data);
        }
        cuda_check(cudaDeviceSynchronize());
        device_matrices.release();
    } catch (...) {
        // Queued kernels may still read the matrix buffer: wait for them before it is freed.
        (void)cudaDeviceSynchronize();
        (void)cudaGetLastError();
        throw;
    }
}

}  // namespace

template <class T>
GateForm<T> gate_form(const DensityOperation& r, std::size_t index) {
    const RecordContext where{index, std::is_same_v<T, float>};
    GateForm<T> form;
    const std::string name = canonical_operation_name(r.name);
    if (!r.has_stored_matrix) {
        if (name == "gp" && r.controls.empty()) {  // a global phase cancels in rho
            form.path = GatePath::Noop;
            return form;
        }
        if (const auto d = diagonal_entries<T>(r, name, where)) {
            form.path = GatePath::Diagonal;
            form.d0 = (*d)[0];
            form.d1 = (*d)[1];
            return form;
        }
        const bool is_x = name == "x" && r.targets.size() == 1;
        const bool is_swap = name == "swap" && r.targets.size() == 2;
        if (is_x || is_swap) {
            if (!r.parameters.empty()) fail("density operation '" + r.name + "' requires no parameters");
            form.path = GatePath::Permutation;
            form.is_swap = is_swap;
            return form;
        }
    }
    form.path = GatePath::General;
    form.matrix = general_matrix<T>(r, name, where);
    return form;
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
    CuComplex<T>* data = state.data_as<T>();
    const std::int64_t dim = state.dimension();
    if (op.is_noop) return;
    if (op.is_permutation) {
        launch_permutation<T>(data, dim, op.permutation_mask, op.control_mask, op.control_values, op.is_swap);
    } else if (op.is_diagonal) {
        const CuComplex<T> d0 = to_device<T>(op.diag0);
        const CuComplex<T> d1 = to_device<T>(op.diag1);
        if (op.control_mask == 0)
            launch_diagonal_free<T>(data, dim, op.target_mask, mul_conj(d1, d0), mul_conj(d0, d1));
        else
            launch_diagonal_controlled<T>(data, dim, op.target_mask, op.control_mask, op.control_values, d0, d1);
    } else if (op.is_channel) {
        launch_channel<T>(data, dim, op.target_mask, static_cast<density::ChannelKind>(op.channel_kind),
                          static_cast<T>(op.channel_probability));
    } else if (op.kind == static_cast<std::int32_t>(OperationKind::Kraus)) {
        launch_kraus<T>(data, dim, op.device_targets, op.kraus_count, device_matrices + op.matrix_offset);
    } else {
        launch_unitary<T>(data, dim, op.device_targets, op.control_mask, op.control_values,
                          device_matrices + op.matrix_offset);
    }
}

void run_density_operations(DeviceDensityState& state, std::int64_t num_qubits,
                            const std::vector<DensityOperation>& records, bool fusion_enabled) {
    if (num_qubits != state.num_qubits()) throw std::invalid_argument("num_qubits does not match DeviceDensityState");
    cuda_check(cudaSetDevice(state.device_id()));
    dispatch_precision(state.dtype(), [&]<class T>() { run_typed<T>(state, num_qubits, records, fusion_enabled); });
}

void run_density_operations(DeviceDensityState& state, std::int64_t num_qubits,
                            const std::vector<DensityOperation>& records) {
    run_density_operations(state, num_qubits, records, fusion_enabled());
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
