// The DenseMM executor: applies a group's dense 2^k x 2^k matrix to the whole state by gathering
// the sub-blocks into the columns of a matrix, a complex GEMM, and scattering the product back, in
// slices of columns as large as the scratch buffers hold. The scratch buffers and the cuBLAS handle
// come from a per-thread, per-precision cache.
#pragma once

#include <cstdint>

#include "common/complex.hpp"
#include "common/gpu/blas.hpp"
#include "common/gpu/runtime.hpp"
#include "velqa/state_view.hpp"

namespace velqa::fusion {

using korvane::CuComplex;

// Queues gather, GEMM and scatter on the stream for each slice of columns that buffers of
// buffer_elements elements hold (at least one column of 2^k), for every member of the state; k must
// be in [1, n-1]. matrix holds the group's 4^k elements in row-major order; with matrix_stride 4^k,
// member b's matrix starts at matrix + b 4^k (0: every member's is the one matrix). A slice is
// either columns of one member or whole members, as many as the buffers hold: their columns go
// through one GEMM when the members share the matrix, one strided batched GEMM otherwise. Every step
// is checked before the next, so a refused step leaves the state as the slices before it made it:
// their columns updated, the others unchanged, and no scratch data written to the state.
template <class T>
void apply_densemm(cublasHandle_t handle, const StateSpan<T>& state, CuComplex<T>* transpose_buffer,
                   CuComplex<T>* gemm_buffer, std::uint64_t buffer_elements, std::uint64_t active_mask, std::int32_t k,
                   const CuComplex<T>* matrix, std::uint64_t matrix_stride, cudaStream_t stream);

// Elements per DenseMM scratch buffer for `members` n-qubit states: the largest power of two with
// both buffers within half the per-call scratch limit of all of them (the other half is for the
// plan's uploads), and no more than they hold.
template <class T>
std::uint64_t densemm_buffer_elements(std::int64_t n, std::uint64_t members = 1);

// The calling thread's DenseMM resources for one precision: two scratch buffers and a cuBLAS handle
// on one device. Rebuilt when the thread's current device changes, grown (never shrunk) with the
// slices it must hold, released when the thread ends.
template <class T>
struct DenseMMCache {
    std::int32_t device = -1;    // -1 while empty
    std::uint64_t capacity = 0;  // elements per buffer
    CuComplex<T>* transpose_buffer = nullptr;
    CuComplex<T>* gemm_buffer = nullptr;
    cublasHandle_t handle = nullptr;

    DenseMMCache() = default;
    DenseMMCache(const DenseMMCache&) = delete;
    DenseMMCache& operator=(const DenseMMCache&) = delete;
    ~DenseMMCache() { release(); }

    // Makes the cache valid for the current device with buffers of at least `elements` elements.
    void ensure(std::uint64_t elements);
    // Frees everything with the cache's device current and leaves the cache empty; never raises.
    void release() noexcept;

    static DenseMMCache& this_thread();
};

}  // namespace velqa::fusion
