// The named gates of the density runner, one row each: the name and its aliases, the parameter
// count, the target count, how the runner applies the gate and the gate's matrix. The runner's
// recognition (`gate_form`), its parameter and target checks and the fused records all read this
// table, so a new named gate is one row here.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <string_view>
#include <vector>

namespace korvane::dormeth {

// How the runner applies a named gate given without a stored matrix, on the gate's own number of
// targets.
enum class DensityGateApply {
    Diagonal,     // scales the off-diagonal blocks: diag(m00, m11) of its matrix
    Permutation,  // exchanges elements: X on one target, SWAP on two
    Matrix,       // the general unitary path with its matrix
};

// The parameters of a record as the matrix builders read them: rounded to T on reading, so that a
// complex64 state's matrices use float parameters and float trigonometry.
template <class T>
struct GateAngles {
    const std::vector<double>& values;
    T operator[](std::size_t i) const { return static_cast<T>(values[i]); }
};

// Row-major; the first 4^targets entries are the matrix.
template <class T>
using NamedGateMatrix = std::array<std::complex<T>, 16>;

template <class T>
struct DensityGateTraits {
    std::string_view name;  // canonical
    std::vector<std::string_view> aliases;
    std::size_t parameters;
    std::size_t targets;
    DensityGateApply apply;
    bool global_phase;  // dropped without controls: a global phase cancels in rho
    // Reads only the first `parameters` angles, which the runner has checked.
    NamedGateMatrix<T> (*matrix)(GateAngles<T> angles);
};

// The row a record's name selects, by canonical name or alias (exact, case-sensitive); null for any
// other name.
template <class T>
const DensityGateTraits<T>* find_density_gate(std::string_view name);

}  // namespace korvane::dormeth
