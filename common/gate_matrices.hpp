// The 2x2 matrices of the named one-target gates, each written once for both modules and for host
// and device code. Templated on the element type T (float or double) and built in it: a complex64
// state's matrices come from float parameters and float trigonometry. Entry (r, c) maps the target
// bit's input value c to its output value r: {m00, m01, m10, m11}.
//
// velqa's fused matrices and kernel updates and dormeth's gate table are derived from these. The
// fixed matrices are constant expressions, so a kernel update can see their zeros, ones and common
// factors at compile time and keep the cheap arithmetic (X a swap, Z a negation, H one scaling of a
// sum and a difference).
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "common/complex.hpp"

namespace korvane::gates {

template <class T>
struct Matrix2 {
    CuComplex<T> m00, m01, m10, m11;
};

// 1/sqrt(2) rounded once to T: 0x3F3504F3 as float, 0x3FE6A09E667F3BCD as double.
template <class T>
inline constexpr T kHalfSqrt2 = std::is_same_v<T, float> ? T(0.70710677f) : T(0.7071067811865476);

// pi/4 as a double, rounded to T where a gate takes it as its angle.
inline constexpr double kQuarterPi = 0.7853981633974483;

// ---------------------------------------------------------------- fixed matrices

template <class T>
__host__ __device__ constexpr Matrix2<T> x() {
    return {{T(0), T(0)}, {T(1), T(0)}, {T(1), T(0)}, {T(0), T(0)}};
}
template <class T>
__host__ __device__ constexpr Matrix2<T> y() {
    return {{T(0), T(0)}, {T(0), T(-1)}, {T(0), T(1)}, {T(0), T(0)}};
}
template <class T>
__host__ __device__ constexpr Matrix2<T> z() {
    return {{T(1), T(0)}, {T(0), T(0)}, {T(0), T(0)}, {T(-1), T(0)}};
}
template <class T>
__host__ __device__ constexpr Matrix2<T> minus_z() {
    return {{T(-1), T(0)}, {T(0), T(0)}, {T(0), T(0)}, {T(1), T(0)}};
}
template <class T>
__host__ __device__ constexpr Matrix2<T> h() {
    constexpr T r = kHalfSqrt2<T>;
    return {{r, T(0)}, {r, T(0)}, {r, T(0)}, {-r, T(0)}};
}
template <class T>
__host__ __device__ constexpr Matrix2<T> s() {
    return {{T(1), T(0)}, {T(0), T(0)}, {T(0), T(0)}, {T(0), T(1)}};
}
template <class T>
__host__ __device__ constexpr Matrix2<T> sdg() {
    return {{T(1), T(0)}, {T(0), T(0)}, {T(0), T(0)}, {T(0), T(-1)}};
}
// p = (1 + i) / 2, q = (1 - i) / 2
template <class T>
__host__ __device__ constexpr Matrix2<T> sqrtx() {
    constexpr T h = T(0.5);
    return {{h, h}, {h, -h}, {h, -h}, {h, h}};
}
template <class T>
__host__ __device__ constexpr Matrix2<T> sqrtxdg() {
    constexpr T h = T(0.5);
    return {{h, -h}, {h, h}, {h, h}, {h, -h}};
}
template <class T>
__host__ __device__ constexpr Matrix2<T> sqrty() {
    constexpr T h = T(0.5);
    return {{h, h}, {-h, -h}, {h, h}, {h, h}};
}
template <class T>
__host__ __device__ constexpr Matrix2<T> sqrtydg() {
    constexpr T h = T(0.5);
    return {{h, -h}, {h, -h}, {-h, h}, {h, -h}};
}
// RX(+-pi/2) and RY(+-pi/2) with the exact 1/sqrt(2).
template <class T>
__host__ __device__ constexpr Matrix2<T> x2p() {
    constexpr T r = kHalfSqrt2<T>;
    return {{r, T(0)}, {T(0), -r}, {T(0), -r}, {r, T(0)}};
}
template <class T>
__host__ __device__ constexpr Matrix2<T> x2m() {
    constexpr T r = kHalfSqrt2<T>;
    return {{r, T(0)}, {T(0), r}, {T(0), r}, {r, T(0)}};
}
template <class T>
__host__ __device__ constexpr Matrix2<T> y2p() {
    constexpr T r = kHalfSqrt2<T>;
    return {{r, T(0)}, {-r, T(0)}, {r, T(0)}, {r, T(0)}};
}
template <class T>
__host__ __device__ constexpr Matrix2<T> y2m() {
    constexpr T r = kHalfSqrt2<T>;
    return {{r, T(0)}, {r, T(0)}, {-r, T(0)}, {r, T(0)}};
}

// ---------------------------------------------------------------- matrices of angles

// RX(theta) = [[c, -i s], [-i s, c]], c = cos(theta/2), s = sin(theta/2).
template <class T>
__host__ __device__ __forceinline__ Matrix2<T> rx(T theta) {
    T s, c;
    sin_cos(theta * T(0.5), &s, &c);
    return {{c, T(0)}, {T(0), -s}, {T(0), -s}, {c, T(0)}};
}

// RY(theta) = [[c, -s], [s, c]].
template <class T>
__host__ __device__ __forceinline__ Matrix2<T> ry(T theta) {
    T s, c;
    sin_cos(theta * T(0.5), &s, &c);
    return {{c, T(0)}, {-s, T(0)}, {s, T(0)}, {c, T(0)}};
}

// RZ(theta) = diag(e^(-i theta/2), e^(i theta/2)).
template <class T>
__host__ __device__ __forceinline__ Matrix2<T> rz(T theta) {
    const T h = theta * T(0.5);
    return {unit_phase(-h), {T(0), T(0)}, {T(0), T(0)}, unit_phase(h)};
}

// PHASE(phi) = diag(1, e^(i phi)).
template <class T>
__host__ __device__ __forceinline__ Matrix2<T> phase(T phi) {
    return {{T(1), T(0)}, {T(0), T(0)}, {T(0), T(0)}, unit_phase(phi)};
}

// T = PHASE(pi/4), its adjoint PHASE(-pi/4).
template <class T>
__host__ __device__ __forceinline__ Matrix2<T> t() {
    return phase(static_cast<T>(kQuarterPi));
}
template <class T>
__host__ __device__ __forceinline__ Matrix2<T> tdg() {
    return phase(static_cast<T>(-kQuarterPi));
}

// GLOBAL_PHASE(phi) = e^(i phi) I.
template <class T>
__host__ __device__ __forceinline__ Matrix2<T> global_phase(T phi) {
    const CuComplex<T> e = unit_phase(phi);
    return {e, {T(0), T(0)}, {T(0), T(0)}, e};
}

// U(theta, phi, lambda) = [[c, -e^(i lambda) s], [e^(i phi) s, e^(i (phi + lambda)) c]], the last
// phase as the product of the other two.
template <class T>
__host__ __device__ __forceinline__ Matrix2<T> u(T theta, T phi, T lambda) {
    T s, c, sin_phi, cos_phi, sin_lambda, cos_lambda;
    sin_cos(theta * T(0.5), &s, &c);
    sin_cos(phi, &sin_phi, &cos_phi);
    sin_cos(lambda, &sin_lambda, &cos_lambda);
    return {{c, T(0)},
            {-s * cos_lambda, -s * sin_lambda},
            {s * cos_phi, s * sin_phi},
            {(cos_lambda * cos_phi - sin_lambda * sin_phi) * c, (cos_lambda * sin_phi + sin_lambda * cos_phi) * c}};
}

// a b
template <class T>
__host__ __device__ __forceinline__ Matrix2<T> product(const Matrix2<T>& a, const Matrix2<T>& b) {
    return {a.m00 * b.m00 + a.m01 * b.m10, a.m00 * b.m01 + a.m01 * b.m11, a.m10 * b.m00 + a.m11 * b.m10,
            a.m10 * b.m01 + a.m11 * b.m11};
}

// RXY(theta, phi) = RZ(theta) RX(phi) RZ(-theta): a rotation by phi about the axis at angle theta
// in the xy-plane.
template <class T>
__host__ __device__ __forceinline__ Matrix2<T> rxy(T theta, T phi) {
    return product(product(rz(theta), rx(phi)), rz(-theta));
}

// ---------------------------------------------------------------- from a record's parameters

// The matrix of a gate given as its function (&rx<T>, &u<T>, &x<T>, ...), called with the first
// parameters of a record, as many as the function takes, each rounded to T.
template <class T, class... Angle, class Parameters>
Matrix2<T> with_parameters(Matrix2<T> (*matrix)(Angle...), const Parameters& parameters) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) { return matrix(static_cast<T>(parameters[I])...); }
    (std::index_sequence_for<Angle...>{});
}

}  // namespace korvane::gates
