// What each statevector gate kind is, in one table: its names, what the dispatcher checks before it
// runs, the form and cost it has in a fused group, its 2x2 matrix and its launcher. The name lookup,
// the per-gate dispatcher (gate_dispatch.cpp) and the fusion planner read these facts from here. A
// gate is added by its id, launcher declaration and row below, and its own unit
// velqa/gates/velqa_<name>.cu with its kernels and launcher.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "common/complex.hpp"
#include "common/gate_matrices.hpp"
#include "common/gpu/runtime.hpp"
#include "velqa/gate_record.hpp"
#include "velqa/state_view.hpp"

namespace velqa {

// The ids of the rows of kGateTraits, in order.
enum GateId : std::int32_t {
    kGateX = 0,
    kGateY = 1,
    kGateZ = 2,
    kGateH = 3,
    kGateS = 4,
    kGateSdg = 5,
    kGateSqrtX = 6,
    kGateSqrtXdg = 7,
    kGateSqrtY = 8,
    kGateSqrtYdg = 9,
    kGateSwap = 10,
    kGateRX = 11,
    kGateRY = 12,
    kGateRZ = 13,
    kGatePhase = 14,
    kGateGlobalPhase = 15,
    kGateU = 16,
    kGateUnitary = 17,
};

namespace fusion {

using Complex = std::complex<double>;
using Matrix2 = std::array<Complex, 4>;  // m00, m01, m10, m11; row = output value of the target bit

// The record kinds of a fused group. X, Y, H and Diagonal records get cheaper arithmetic than the
// general 2x2 product (Dense, RX, RY); Swap exchanges two local qubits.
enum class FusedGateKind : std::int32_t { Dense = 0, X = 1, Y = 2, H = 3, Diagonal = 4, RX = 5, RY = 6, Swap = 7 };

}  // namespace fusion

// A gate's launcher: the dispatcher has checked the record's values, counts and qubits (with the
// row's own check where it has one); it picks the kernel for the mode, queues it on the stream for
// every member of the state (one launch per chunk of members the device allows, each checked before
// the next) and checks the launches. A record whose values differ between members has them uploaded
// to the state's upload slot first.
template <class T>
using GateLauncher = void (*)(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);

// The launchers, each defined in its gate's unit for float and double.
// UNITARY's own checks of its record against an n-qubit register (the launcher makes them too), so
// that a batch can be checked whole before any device work.
void check_unitary_gate(std::int64_t n, const GateRecord& gate);
template <class T>
void launch_x(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_y(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_z(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_h(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_s(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_sdag(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_sqrtx(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_sqrtxdag(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_sqrty(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_sqrtydag(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_swap(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_rx(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_ry(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_rz(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_phase(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_global_phase(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_u(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);
template <class T>
void launch_unitary(const StateSpan<T>& state, const GateRecord& gate, cudaStream_t stream, KernelMode mode);

// Which count the dispatcher refuses first, with the row's count_message.
enum class Counted : std::uint8_t { Nothing, Parameters, Targets };

// The columns of a DenseMM cost row (planner.cpp): what every gate adds to a SparseShareMem group,
// what a gate adds by its kind (a row's cost_column), and one DenseMM execution.
enum CostColumn : std::uint8_t {
    kCostPerGate = 0,
    kCostX = 1,
    kCostY = 2,
    kCostH = 3,
    kCostDiagonal = 4,
    kCostRotation = 5,  // RX and RY
    kCostGeneral = 6,   // any other 2x2
    kCostSwap = 7,
    kCostDenseMM = 8,
    kCostColumns = 9,
};

struct GateLaunchers {
    GateLauncher<float> complex64;
    GateLauncher<double> complex128;
};

struct GateTraits {
    GateId id;
    std::array<const char*, 4> names;  // the name, then its aliases; null entries are unused
    // The dispatcher checks the controls and the first `targets` entries of the target list (a
    // missing one is refused as index -1); further entries are ignored. A gate whose qubit checks
    // are its launcher's own (UNITARY: their number follows from the matrix) names them instead.
    std::int32_t targets = 1;
    void (*own_checks)(std::int64_t n, const GateRecord& gate) = nullptr;
    std::int32_t parameters = 0;  // what the kernels use, each rounded to the state's precision
    Counted counted = Counted::Nothing;
    const char* count_message = nullptr;
    // The 2x2 matrix in a fused group, of a member's values: built from its parameters (exactly
    // `parameters` of them), or with matrix_from_record the record's own matrix when it is 2x2.
    // None: the gate never joins a group as a matrix (a Swap record has its own form).
    fusion::Matrix2 (*matrix)(const GateRecord& gate, std::uint64_t member) = nullptr;
    bool matrix_from_record = false;
    fusion::FusedGateKind fused_kind = fusion::FusedGateKind::Dense;
    CostColumn cost_column = kCostGeneral;  // charged per gate in the DenseMM cost (planner.cpp)
    GateLaunchers launch;
};

// The matrix of a gate in a fused group, in double: Matrix (a function of common/gate_matrices.hpp)
// of the member's parameters, as many as it takes.
template <auto Matrix>
fusion::Matrix2 fused_matrix(const GateRecord& gate, std::uint64_t member) {
    const korvane::gates::Matrix2<double> m =
        korvane::gates::with_parameters<double>(Matrix, gate.parameters_of(member));
    const auto entry = [](korvane::CuComplex<double> z) { return fusion::Complex{z.re, z.im}; };
    return fusion::Matrix2{entry(m.m00), entry(m.m01), entry(m.m10), entry(m.m11)};
}

// A one-target UNITARY's own matrix, the member's.
inline fusion::Matrix2 record_matrix(const GateRecord& gate, std::uint64_t member) {
    const std::span<const std::complex<double>> m = gate.matrix_of(member);
    return fusion::Matrix2{m[0], m[1], m[2], m[3]};
}

// Rows in id order.
inline constexpr GateTraits kGateTraits[] = {
    {.id = kGateX,
     .names = {"x", "cx", "mcx"},
     .matrix = fused_matrix<&korvane::gates::x<double>>,
     .fused_kind = fusion::FusedGateKind::X,
     .cost_column = kCostX,
     .launch = {&launch_x<float>, &launch_x<double>}},
    {.id = kGateY,
     .names = {"y", "cy", "mcy"},
     .matrix = fused_matrix<&korvane::gates::y<double>>,
     .fused_kind = fusion::FusedGateKind::Y,
     .cost_column = kCostY,
     .launch = {&launch_y<float>, &launch_y<double>}},
    {.id = kGateZ,
     .names = {"z", "cz", "mcz"},
     .matrix = fused_matrix<&korvane::gates::z<double>>,
     .fused_kind = fusion::FusedGateKind::Diagonal,
     .cost_column = kCostDiagonal,
     .launch = {&launch_z<float>, &launch_z<double>}},
    {.id = kGateH,
     .names = {"h", "ch", "mch"},
     .matrix = fused_matrix<&korvane::gates::h<double>>,
     .fused_kind = fusion::FusedGateKind::H,
     .cost_column = kCostH,
     .launch = {&launch_h<float>, &launch_h<double>}},
    {.id = kGateS,
     .names = {"s", "cs", "mcs"},
     .matrix = fused_matrix<&korvane::gates::s<double>>,
     .fused_kind = fusion::FusedGateKind::Diagonal,
     .cost_column = kCostDiagonal,
     .launch = {&launch_s<float>, &launch_s<double>}},
    {.id = kGateSdg,
     .names = {"s_dag"},
     .matrix = fused_matrix<&korvane::gates::sdg<double>>,
     .fused_kind = fusion::FusedGateKind::Diagonal,
     .cost_column = kCostDiagonal,
     .launch = {&launch_sdag<float>, &launch_sdag<double>}},
    {.id = kGateSqrtX,
     .names = {"sqrtx", "sx"},
     .matrix = fused_matrix<&korvane::gates::sqrtx<double>>,
     .launch = {&launch_sqrtx<float>, &launch_sqrtx<double>}},
    {.id = kGateSqrtXdg,
     .names = {"sqrtx_dag", "sxdg"},
     .matrix = fused_matrix<&korvane::gates::sqrtxdg<double>>,
     .launch = {&launch_sqrtxdag<float>, &launch_sqrtxdag<double>}},
    {.id = kGateSqrtY,
     .names = {"sqrty"},
     .matrix = fused_matrix<&korvane::gates::sqrty<double>>,
     .launch = {&launch_sqrty<float>, &launch_sqrty<double>}},
    {.id = kGateSqrtYdg,
     .names = {"sqrty_dag"},
     .matrix = fused_matrix<&korvane::gates::sqrtydg<double>>,
     .launch = {&launch_sqrtydag<float>, &launch_sqrtydag<double>}},
    {.id = kGateSwap,
     .names = {"swap"},
     .targets = 2,
     .counted = Counted::Targets,
     .count_message = "SWAP gate requires exactly two parameters.",
     .fused_kind = fusion::FusedGateKind::Swap,
     .cost_column = kCostSwap,
     .launch = {&launch_swap<float>, &launch_swap<double>}},
    {.id = kGateRX,
     .names = {"rx", "crx", "mcrx"},
     .parameters = 1,
     .counted = Counted::Parameters,
     .count_message = "RX gate requires exactly one parameter.",
     .matrix = fused_matrix<&korvane::gates::rx<double>>,
     .fused_kind = fusion::FusedGateKind::RX,
     .cost_column = kCostRotation,
     .launch = {&launch_rx<float>, &launch_rx<double>}},
    {.id = kGateRY,
     .names = {"ry", "cry", "mcry"},
     .parameters = 1,
     .counted = Counted::Parameters,
     .count_message = "RY gate requires exactly one parameter.",
     .matrix = fused_matrix<&korvane::gates::ry<double>>,
     .fused_kind = fusion::FusedGateKind::RY,
     .cost_column = kCostRotation,
     .launch = {&launch_ry<float>, &launch_ry<double>}},
    {.id = kGateRZ,
     .names = {"rz", "crz", "mcrz"},
     .parameters = 1,
     .counted = Counted::Parameters,
     .count_message = "RZ gate requires exactly one parameter.",
     .matrix = fused_matrix<&korvane::gates::rz<double>>,
     .fused_kind = fusion::FusedGateKind::Diagonal,
     .cost_column = kCostDiagonal,
     .launch = {&launch_rz<float>, &launch_rz<double>}},
    {.id = kGatePhase,
     .names = {"phase", "p", "cp", "mcp"},
     .parameters = 1,
     .counted = Counted::Parameters,
     .count_message = "PHASE gate requires exactly one parameter.",
     .matrix = fused_matrix<&korvane::gates::phase<double>>,
     .fused_kind = fusion::FusedGateKind::Diagonal,
     .cost_column = kCostDiagonal,
     .launch = {&launch_phase<float>, &launch_phase<double>}},
    {.id = kGateGlobalPhase,
     .names = {"gp", "global_phase", "gphase"},
     .targets = 0,
     .parameters = 1,
     .counted = Counted::Parameters,
     .count_message = "GLOBAL_PHASE gate requires exactly one parameter.",
     .launch = {&launch_global_phase<float>, &launch_global_phase<double>}},
    {.id = kGateU,
     .names = {"u", "u1", "u2", "u3"},
     .parameters = 3,
     .counted = Counted::Parameters,
     .count_message = "U gate requires exactly three parameters.",
     .matrix = fused_matrix<&korvane::gates::u<double>>,
     .launch = {&launch_u<float>, &launch_u<double>}},
    {.id = kGateUnitary,
     .names = {"unitary"},
     .own_checks = check_unitary_gate,
     .matrix = record_matrix,
     .matrix_from_record = true,
     .launch = {&launch_unitary<float>, &launch_unitary<double>}},
};

// The row of an id; nullptr for an id no gate has.
constexpr const GateTraits* find_gate_traits(GateId id) {
    if (id < 0 || static_cast<std::size_t>(id) >= std::size(kGateTraits)) return nullptr;
    return &kGateTraits[id];
}

template <class T>
constexpr GateLauncher<T> launcher_of(const GateTraits& gate) {
    if constexpr (std::is_same_v<T, float>)
        return gate.launch.complex64;
    else
        return gate.launch.complex128;
}

// Exact, case-sensitive lookup of a name or alias in the gate table; any other name raises "Unsupported CUDA gate id:
// <name>".
GateId gate_id_from_name(const std::string& name);

// "t", "ct" and "mct" become "phase" with pi/4 appended to the parameters (to every member's row),
// "t_dag" with -pi/4.
void rewrite_t_gate(GateRecord& record);

// The checks of a UNITARY record made at conversion time.
void check_unitary_record(const GateRecord& record);

// Whether the values the gate hands its kernel are finite once rounded to T, every member's: the
// parameters of a rotation, PHASE, GLOBAL_PHASE or U (when their count is the gate's), the matrix of
// a UNITARY. Parameters that the gate ignores, or that its count check refuses, are not values it
// uses.
template <class T>
bool gate_values_finite(const GateRecord& record);

// Refuses a gate whose values are not finite in T, before anything of it runs: ValueError "gate
// parameters must be finite (gate <index>, <dtype>)" or "unitary matrix must contain only finite
// values (gate <index>, <dtype>)"; for values that differ between members, the first member with
// such a value is named ("(gate 3, member 7, complex64)").
template <class T>
void check_gate_values(const GateRecord& record, std::size_t index);

}  // namespace velqa
