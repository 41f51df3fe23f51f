// The pair updates of the single-target gates: functors u(a0, a1) that replace the amplitudes of
// one pair (target bit 0 and 1) by the gate's 2x2 matrix (common/gate_matrices.hpp) applied to
// them. Each keeps the arithmetic its matrix's form allows: a fixed matrix is read at compile time,
// so X stays a swap, Z a negation and S a multiplication by i; a gate with angles holds the entries
// of its form (a diagonal its diagonal), computed once from its matrix.
#pragma once

#include "common/complex.hpp"
#include "common/gate_matrices.hpp"
#include "velqa/gates/gate_matrix.hpp"

namespace velqa {

using korvane::CuComplex;
using korvane::gates::Matrix2;

namespace fixed {

template <class T>
constexpr bool equals(CuComplex<T> a, T re, T im) {
    return a.re == re && a.im == im;
}
template <class T>
constexpr bool is_zero(CuComplex<T> a) {
    return equals(a, T(0), T(0));
}
// 1, -1, i or -i: a product by it needs no multiplication.
template <class T>
constexpr bool is_unit(CuComplex<T> a) {
    return equals(a, T(1), T(0)) || equals(a, T(-1), T(0)) || equals(a, T(0), T(1)) || equals(a, T(0), T(-1));
}
template <class T>
constexpr bool is_negative_of(CuComplex<T> a, CuComplex<T> b) {
    return a.re == -b.re && a.im == -b.im;
}
// Every entry is c or -c for one non-zero c = m00 that is not a unit: the matrix is c times a
// matrix of signs (H, SqrtY, SqrtYdg), applied as c times a sum or difference.
template <class T>
constexpr bool has_common_factor(const Matrix2<T>& m) {
    const CuComplex<T> c = m.m00;
    const auto signed_c = [c](CuComplex<T> e) { return (e.re == c.re && e.im == c.im) || is_negative_of(e, c); };
    return !is_zero(c) && !is_unit(c) && signed_c(m.m01) && signed_c(m.m10) && signed_c(m.m11);
}

// e x, for an entry e known at compile time.
template <class T, CuComplex<T> E>
__host__ __device__ __forceinline__ CuComplex<T> times(CuComplex<T> x) {
    if constexpr (equals(E, T(1), T(0)))
        return x;
    else if constexpr (equals(E, T(-1), T(0)))
        return -x;
    else if constexpr (equals(E, T(0), T(1)))
        return korvane::times_i(x);
    else if constexpr (equals(E, T(0), T(-1)))
        return -korvane::times_i(x);
    else if constexpr (E.im == T(0))
        return E.re * x;
    else
        return E * x;
}

// e0 x0 + e1 x1, leaving out a zero entry's term.
template <class T, CuComplex<T> E0, CuComplex<T> E1>
__host__ __device__ __forceinline__ CuComplex<T> row(CuComplex<T> x0, CuComplex<T> x1) {
    if constexpr (is_zero(E0) && is_zero(E1))
        return CuComplex<T>{T(0), T(0)};
    else if constexpr (is_zero(E0))
        return times<T, E1>(x1);
    else if constexpr (is_zero(E1))
        return times<T, E0>(x0);
    else
        return times<T, E0>(x0) + times<T, E1>(x1);
}

// c (s0 x0 + s1 x1) for signs s0, s1 of the common factor c.
template <class T, CuComplex<T> C, bool Negate0, bool Negate1>
__host__ __device__ __forceinline__ CuComplex<T> scaled_row(CuComplex<T> x0, CuComplex<T> x1) {
    CuComplex<T> sum;
    if constexpr (!Negate0 && !Negate1)
        sum = x0 + x1;
    else if constexpr (!Negate0)
        sum = x0 - x1;
    else if constexpr (!Negate1)
        sum = x1 - x0;
    else
        sum = -(x0 + x1);
    if constexpr (C.im == T(0))
        return C.re * sum;
    else
        return C * sum;
}

}  // namespace fixed

// The update of a fixed matrix M. A row that is the identity's is left unwritten.
template <class T, Matrix2<T> M>
struct FixedMatrixUpdate {
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        using namespace fixed;
        constexpr bool keep0 = equals(M.m00, T(1), T(0)) && is_zero(M.m01);
        constexpr bool keep1 = is_zero(M.m10) && equals(M.m11, T(1), T(0));
        const CuComplex<T> x0 = a0;
        const CuComplex<T> x1 = a1;
        if constexpr (has_common_factor(M)) {
            a0 = scaled_row<T, M.m00, false, is_negative_of(M.m01, M.m00)>(x0, x1);
            a1 = scaled_row<T, M.m00, is_negative_of(M.m10, M.m00), is_negative_of(M.m11, M.m00)>(x0, x1);
        } else {
            if constexpr (!keep0) a0 = row<T, M.m00, M.m01>(x0, x1);
            if constexpr (!keep1) a1 = row<T, M.m10, M.m11>(x0, x1);
        }
    }
};

// The general update: M applied to (a0, a1) (U, RX, a one-target UNITARY).
template <class T>
struct MatrixUpdate {
    GateMatrix2x2<T> m;
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        const CuComplex<T> x0 = a0;
        const CuComplex<T> x1 = a1;
        a0 = m.m00 * x0 + m.m01 * x1;
        a1 = m.m10 * x0 + m.m11 * x1;
    }
};

// [[a, -b], [b, a]] (RY): a - b rather than a + (-b), as the general product would, keeps the fused
// multiply-adds a GPU forms.
template <class T>
struct RotationUpdate {
    CuComplex<T> a;
    CuComplex<T> b;
    __host__ __device__ __forceinline__ static RotationUpdate of(const Matrix2<T>& m) { return {m.m00, m.m10}; }
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        const CuComplex<T> x0 = a0;
        const CuComplex<T> x1 = a1;
        a0 = a * x0 - b * x1;
        a1 = b * x0 + a * x1;
    }
};

// diag(a, b) (RZ).
template <class T>
struct DiagonalUpdate {
    CuComplex<T> a;
    CuComplex<T> b;
    __host__ __device__ __forceinline__ static DiagonalUpdate of(const Matrix2<T>& m) { return {m.m00, m.m11}; }
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        a0 = a * a0;
        a1 = b * a1;
    }
};

// diag(1, e) (PHASE): the amplitude with the target bit clear is left unwritten.
template <class T>
struct PhaseUpdate {
    CuComplex<T> e;
    __host__ __device__ __forceinline__ static PhaseUpdate of(const Matrix2<T>& m) { return {m.m11}; }
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& /*a0, unchanged*/, CuComplex<T>& a1) const {
        a1 = e * a1;
    }
};

}  // namespace velqa
