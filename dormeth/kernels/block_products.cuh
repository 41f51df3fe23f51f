// Products of a small row-major matrix with a D x D block held in registers, shared by the
// merged unitary, Kraus and unitary-channel kernels.
#pragma once

#include "common/complex.hpp"
#include "dormeth/kernels/density_index.cuh"

namespace korvane::dormeth::block {

// b <- u b
template <int D, class T>
__device__ __forceinline__ void left_multiply(const CuComplex<T>* u, CuComplex<T> (&b)[D][D]) {
    KORVANE_UNROLL
    for (int j = 0; j < D; ++j) {
        CuComplex<T> column[D];
        KORVANE_UNROLL
        for (int i = 0; i < D; ++i) {
            CuComplex<T> acc{T(0), T(0)};
            KORVANE_UNROLL
            for (int l = 0; l < D; ++l) acc += u[i * D + l] * b[l][j];
            column[i] = acc;
        }
        KORVANE_UNROLL
        for (int i = 0; i < D; ++i) b[i][j] = column[i];
    }
}

// b <- b u^dagger
template <int D, class T>
__device__ __forceinline__ void right_multiply_adjoint(const CuComplex<T>* u, CuComplex<T> (&b)[D][D]) {
    KORVANE_UNROLL
    for (int i = 0; i < D; ++i) {
        CuComplex<T> row[D];
        KORVANE_UNROLL
        for (int j = 0; j < D; ++j) {
            CuComplex<T> acc{T(0), T(0)};
            KORVANE_UNROLL
            for (int l = 0; l < D; ++l) acc += mul_conj(b[i][l], u[j * D + l]);
            row[j] = acc;
        }
        KORVANE_UNROLL
        for (int j = 0; j < D; ++j) b[i][j] = row[j];
    }
}

}  // namespace korvane::dormeth::block
