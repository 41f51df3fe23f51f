// CuComplex<T>: one complex amplitude, real part then imaginary part, layout-compatible with
// NumPy's complex64 (T = float) and complex128 (T = double) elements.
#pragma once

#include <cmath>

#include "common/gpu/runtime.hpp"

namespace korvane {

template <class T>
struct alignas(2 * sizeof(T)) CuComplex {
    T re;
    T im;
};

static_assert(sizeof(CuComplex<float>) == 8, "complex64 layout");
static_assert(sizeof(CuComplex<double>) == 16, "complex128 layout");

template <class T>
__host__ __device__ __forceinline__ CuComplex<T> make_complex(T re, T im) {
    return CuComplex<T>{re, im};
}

template <class T>
__host__ __device__ __forceinline__ CuComplex<T> operator+(CuComplex<T> a, CuComplex<T> b) {
    return CuComplex<T>{a.re + b.re, a.im + b.im};
}

template <class T>
__host__ __device__ __forceinline__ CuComplex<T> operator-(CuComplex<T> a, CuComplex<T> b) {
    return CuComplex<T>{a.re - b.re, a.im - b.im};
}

template <class T>
__host__ __device__ __forceinline__ CuComplex<T> operator-(CuComplex<T> a) {
    return CuComplex<T>{-a.re, -a.im};
}

template <class T>
__host__ __device__ __forceinline__ CuComplex<T> operator*(CuComplex<T> a, CuComplex<T> b) {
    return CuComplex<T>{a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

template <class T>
__host__ __device__ __forceinline__ CuComplex<T> operator*(T s, CuComplex<T> a) {
    return CuComplex<T>{s * a.re, s * a.im};
}

template <class T>
__host__ __device__ __forceinline__ CuComplex<T>& operator+=(CuComplex<T>& a, CuComplex<T> b) {
    a.re += b.re;
    a.im += b.im;
    return a;
}

template <class T>
__host__ __device__ __forceinline__ CuComplex<T> conj(CuComplex<T> a) {
    return CuComplex<T>{a.re, -a.im};
}

// a * conj(b)
template <class T>
__host__ __device__ __forceinline__ CuComplex<T> mul_conj(CuComplex<T> a, CuComplex<T> b) {
    return CuComplex<T>{a.re * b.re + a.im * b.im, a.im * b.re - a.re * b.im};
}

template <class T>
__host__ __device__ __forceinline__ T norm2(CuComplex<T> a) {
    return a.re * a.re + a.im * a.im;
}

// i * a
template <class T>
__host__ __device__ __forceinline__ CuComplex<T> times_i(CuComplex<T> a) {
    return CuComplex<T>{-a.im, a.re};
}

// sin and cos in the working precision (sinf/cosf for float, sin/cos for double).
__host__ __device__ __forceinline__ void sin_cos(float x, float* s, float* c) {
#if defined(__CUDA_ARCH__)
    sincosf(x, s, c);
#else
    *s = std::sin(x);
    *c = std::cos(x);
#endif
}

__host__ __device__ __forceinline__ void sin_cos(double x, double* s, double* c) {
#if defined(__CUDA_ARCH__)
    sincos(x, s, c);
#else
    *s = std::sin(x);
    *c = std::cos(x);
#endif
}

// e^(i x)
template <class T>
__host__ __device__ __forceinline__ CuComplex<T> unit_phase(T x) {
    CuComplex<T> e;
    sin_cos(x, &e.im, &e.re);
    return e;
}

}  // namespace korvane
