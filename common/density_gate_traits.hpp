// The named gates of the density runner, one row each: the name and its aliases, the parameter
// count, the target count, how the runner applies the gate and the gate's matrix (a one-target
// gate's from common/gate_matrices.hpp, its parameter count that matrix's). The runner's
// recognition (`gate_form`), its parameter and target checks and the fused records all read this
// table, so a new named gate is one row here.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <string_view>
#include <vector>

namespace korvane::density {

// How the runner applies a named gate given without a stored matrix, on the gate's own number of
// targets.
enum class DensityGateApply {
    Diagonal,     // scales the off-diagonal blocks: diag(m00, m11) of its matrix
    Permutation,  // exchanges elements: X on one target, SWAP on two
    Matrix,       // the general unitary path with its matrix
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
    // From the record's first `parameters` values, which the runner has checked, each rounded to T.
    NamedGateMatrix<T> (*matrix)(const std::vector<double>& parameters);
};

// The row a record's name selects, by canonical name or alias (exact, case-sensitive); null for any
// other name.
template <class T>
const DensityGateTraits<T>* find_density_gate(std::string_view name);

}  // namespace korvane::density
