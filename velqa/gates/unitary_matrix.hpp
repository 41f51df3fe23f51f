// The small UNITARY matrices that travel to kernels by value, in the row-major storage order of
// the gate's matrix (entry 0 of the target list is the least significant bit of the row and
// column index).
#pragma once

#include "common/complex.hpp"
#include "velqa/gates/gate_matrix.hpp"

namespace velqa {

// One target: m00, m01, m10, m11, the layout every single-target gate uses.
template <class T>
using Unitary2x2 = GateMatrix2x2<T>;

// Two targets: element (r, c) at m[4 r + c].
template <class T>
struct Unitary4x4 {
    korvane::CuComplex<T> m[16];
};

}  // namespace velqa
