// GateMatrix2x2<T>: a gate's 2x2 matrix (common/gate_matrices.hpp) as the U and one-target UNITARY
// kernels take it, by value; the kernels' symbols name this type.
#pragma once

#include "common/gate_matrices.hpp"

namespace velqa {

template <class T>
struct GateMatrix2x2 : korvane::gates::Matrix2<T> {};

}  // namespace velqa
