// The native record of one statevector gate, the name lookup and the kernel modes. What each gate
// kind is (its names, counts, matrix, launcher) is the table in velqa/gate_traits.hpp.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velqa {

enum class KernelMode : std::int32_t {
    AllState = 0,        // per-gate kernels, one thread per amplitude
    Pair = 1,            // per-gate kernels, one thread per amplitude pair
    PairAuto = 2,        // per-gate kernels, specialised index kernel chosen per gate
    PairAutoFusion = 3,  // plan fused groups first, then execute them
};

struct GateRecord {
    std::int32_t id = 0;  // a GateId
    std::string name;
    std::vector<std::int64_t> control;
    std::vector<std::int64_t> control_state;
    std::vector<std::int64_t> target;
    std::vector<double> parameter;
    std::vector<std::complex<double>> matrix;  // row-major, matrix_dim x matrix_dim
    std::int64_t matrix_dim = 0;
    bool has_matrix = false;
};

// Exact, case-sensitive lookup of a name or alias in the gate table; any other name raises "Unsupported CUDA gate id:
// <name>".
std::int32_t gate_id_from_name(const std::string& name);

// "t", "ct" and "mct" become "phase" with pi/4 appended to the parameters, "t_dag" with -pi/4.
void rewrite_t_gate(std::string& name, std::vector<double>& parameter);

// The checks of a UNITARY record made at conversion time.
void check_unitary_record(const GateRecord& record);

// Whether the values the gate hands its kernel are finite once rounded to T: the parameters of a
// rotation, PHASE, GLOBAL_PHASE or U (when their count is the gate's), the matrix of a UNITARY.
// Parameters that the gate ignores, or that its count check refuses, are not values it uses.
template <class T>
bool gate_values_finite(const GateRecord& record);

// Refuses a gate whose values are not finite in T, before anything of it runs: ValueError "gate
// parameters must be finite (gate <index>, <dtype>)" or "unitary matrix must contain only finite
// values (gate <index>, <dtype>)".
template <class T>
void check_gate_values(const GateRecord& record, std::size_t index);

}  // namespace velqa
