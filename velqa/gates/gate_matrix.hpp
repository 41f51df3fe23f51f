// GateMatrix2x2<T>: a 2x2 gate matrix in row-major order, passed to kernels by value.
#pragma once

#include "common/complex.hpp"

namespace velqa {

template <class T>
struct GateMatrix2x2 {
    korvane::CuComplex<T> m00, m01, m10, m11;
};

}  // namespace velqa
