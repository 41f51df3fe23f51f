#include "velqa/fusion/densemm.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>
#include <string>

#include "common/cuda_check.hpp"
#include "common/device_buffer.hpp"
#include "common/gpu/bits.hpp"
#include "common/gpu/device.hpp"
#include "common/gpu/launch.hpp"
#include "common/gpu/launch_geometry.hpp"

namespace velqa::fusion {
namespace {

constexpr unsigned kThreads = 256;
constexpr std::uint64_t kMaxBlocks = 65535;
constexpr std::uint64_t kMaxSliceColumns = std::uint64_t(1) << 30;  // the largest power of two cuBLAS counts in an int

// Position of global index g in a slice of gathered columns: column (inactive bits, modulo the
// slice's column count) times 2^k plus row (active bits, lowest first).
__device__ __forceinline__ std::uint64_t gathered_index(std::uint64_t g, std::uint64_t active_mask, std::int32_t k,
                                                        std::uint64_t column_mask) {
    // remove_bits steps once per active qubit, where extracting the inactive bits would step once per
    // inactive one.
    return ((korvane::gpu::remove_bits(g, active_mask) & column_mask) << k) |
           korvane::gpu::extract_bits(g, active_mask);
}

template <class T>
struct Gemm;
template <>
struct Gemm<float> {
    using Scalar = cuComplex;
    static constexpr const char* kFailure = "cublasCgemm DenseMM failed";
    static constexpr const char* kBatchedFailure = "cublasCgemmStridedBatched DenseMM failed";
    static cublasStatus_t run(cublasHandle_t h, int m, int n, int k, const Scalar* alpha, const Scalar* a, int lda,
                              const Scalar* b, int ldb, const Scalar* beta, Scalar* c, int ldc) {
        return cublasCgemm(h, CUBLAS_OP_T, CUBLAS_OP_N, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
    }
    static cublasStatus_t run_batched(cublasHandle_t h, int m, int n, int k, const Scalar* alpha, const Scalar* a,
                                      int lda, long long stride_a, const Scalar* b, int ldb, long long stride_b,
                                      const Scalar* beta, Scalar* c, int ldc, long long stride_c, int count) {
        return cublasCgemmStridedBatched(h, CUBLAS_OP_T, CUBLAS_OP_N, m, n, k, alpha, a, lda, stride_a, b, ldb,
                                         stride_b, beta, c, ldc, stride_c, count);
    }
};
template <>
struct Gemm<double> {
    using Scalar = cuDoubleComplex;
    static constexpr const char* kFailure = "cublasZgemm DenseMM failed";
    static constexpr const char* kBatchedFailure = "cublasZgemmStridedBatched DenseMM failed";
    static cublasStatus_t run(cublasHandle_t h, int m, int n, int k, const Scalar* alpha, const Scalar* a, int lda,
                              const Scalar* b, int ldb, const Scalar* beta, Scalar* c, int ldc) {
        return cublasZgemm(h, CUBLAS_OP_T, CUBLAS_OP_N, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
    }
    static cublasStatus_t run_batched(cublasHandle_t h, int m, int n, int k, const Scalar* alpha, const Scalar* a,
                                      int lda, long long stride_a, const Scalar* b, int ldb, long long stride_b,
                                      const Scalar* beta, Scalar* c, int ldc, long long stride_c, int count) {
        return cublasZgemmStridedBatched(h, CUBLAS_OP_T, CUBLAS_OP_N, m, n, k, alpha, a, lda, stride_a, b, ldb,
                                         stride_b, beta, c, ldc, stride_c, count);
    }
};

}  // namespace

// A slice: the columns whose inactive bits at fixed_mask (the inactive qubits above those the slice
// spans) equal fixed_value, of each member of the launch. Its count = 2^k x columns indices per
// member are taken in increasing order, index m being the m-th index of the state with those bits;
// member y's state starts member_elements further per member, its gathered columns count further.

// Launch: 256-thread blocks, at most 65535 of them per member; each thread strides over the
// slice's indices.
template <class T>
__global__ void __launch_bounds__(kThreads, 2)
    transpose_to_low_bits(std::uint64_t count, const CuComplex<T>* source, CuComplex<T>* destination,
                          std::uint64_t active_mask, std::uint64_t fixed_mask, std::uint64_t fixed_value,
                          std::int32_t k, std::uint64_t column_mask, std::uint64_t member_elements) {
    const std::uint64_t stride = std::uint64_t(gridDim.x) * blockDim.x;
    source = korvane::gpu::member_data(source, member_elements);
    destination = korvane::gpu::member_data(destination, count);
    for (std::uint64_t m = korvane::gpu::global_thread_index(); m < count; m += stride) {
        const std::uint64_t g = korvane::gpu::insert_zero_bits(m, fixed_mask) | fixed_value;
        destination[gathered_index(g, active_mask, k, column_mask)] = source[g];
    }
}

// Launch: as transpose_to_low_bits.
template <class T>
__global__ void __launch_bounds__(kThreads, 2)
    transpose_from_low_bits(std::uint64_t count, const CuComplex<T>* source, CuComplex<T>* destination,
                            std::uint64_t active_mask, std::uint64_t fixed_mask, std::uint64_t fixed_value,
                            std::int32_t k, std::uint64_t column_mask, std::uint64_t member_elements) {
    const std::uint64_t stride = std::uint64_t(gridDim.x) * blockDim.x;
    source = korvane::gpu::member_data(source, count);
    destination = korvane::gpu::member_data(destination, member_elements);
    for (std::uint64_t m = korvane::gpu::global_thread_index(); m < count; m += stride) {
        const std::uint64_t g = korvane::gpu::insert_zero_bits(m, fixed_mask) | fixed_value;
        destination[g] = source[gathered_index(g, active_mask, k, column_mask)];
    }
}

template <class T>
std::uint64_t densemm_buffer_elements(std::int64_t n, std::uint64_t members) {
    const std::uint64_t elements = members << n;
    const std::uint64_t per_buffer =
        korvane::scratch_limit_bytes(elements * sizeof(CuComplex<T>)) / 4 / sizeof(CuComplex<T>);
    return std::min(std::bit_floor(per_buffer), elements);
}

template <class T>
void apply_densemm(cublasHandle_t handle, const StateSpan<T>& state, CuComplex<T>* transpose_buffer,
                   CuComplex<T>* gemm_buffer, std::uint64_t buffer_elements, std::uint64_t active_mask, std::int32_t k,
                   const CuComplex<T>* matrix, std::uint64_t matrix_stride, cudaStream_t stream) {
    const std::int64_t n = state.n;
    if (k < 1 || k >= n) throw std::invalid_argument("DenseMM active qubits must be in [1, n-1]");
    if (k > 30) throw std::invalid_argument("DenseMM matrix dimension exceeds cuBLAS int range");
    const std::uint64_t N = std::uint64_t(1) << n;
    // The gather addresses the state through active_mask: it must name k qubits of the register.
    if (std::popcount(active_mask) != k || (active_mask & ~(N - 1)) != 0)
        throw std::invalid_argument("DenseMM active mask must name k qubits of the register");
    // Checked before anything is queued, so a refused group costs no pass over the state.
    if ((buffer_elements >> k) == 0) throw std::invalid_argument("DenseMM scratch buffers hold less than one column");
    const std::uint64_t cols = N >> k;
    // Columns per slice of a member: a power of two, so that a slice is the columns with fixed upper
    // inactive bits; never more than cuBLAS counts in an int.
    const std::uint64_t slice_columns = std::min({cols, std::bit_floor(buffer_elements >> k), kMaxSliceColumns});
    const std::uint64_t slice_count = slice_columns << k;
    // Whole members per slice when the buffers hold more than one, within a launch's members, the
    // columns one GEMM counts in an int and the members a batched GEMM counts.
    std::uint64_t members_per_slice = 1;
    if (slice_columns == cols)
        members_per_slice = std::max<std::uint64_t>(
            1, std::min({buffer_elements >> n, state.per_launch, kMaxSliceColumns / slice_columns,
                         std::uint64_t(std::numeric_limits<int>::max())}));
    // Inactive qubits above the lowest log2(slice_columns) ones: fixed within a slice.
    const std::uint64_t inactive_mask = active_mask ^ (N - 1);
    const std::uint64_t fixed_mask = korvane::gpu::insert_zero_bits(~(slice_columns - 1), active_mask) & inactive_mask;
    const korvane::LaunchGeometry geometry = korvane::capped_geometry(slice_count, kThreads, kMaxBlocks);

    if (cublasSetStream(handle, stream) != CUBLAS_STATUS_SUCCESS)
        throw std::runtime_error("cublasSetStream DenseMM failed");
    using G = Gemm<T>;
    using S = typename G::Scalar;
    const S one{1, 0};
    const S zero{0, 0};
    const int dim = 1 << k;
    const auto b = reinterpret_cast<const S*>(transpose_buffer);
    auto* c = reinterpret_cast<S*>(gemm_buffer);
    korvane::for_each_member_chunk(
        state.members, members_per_slice, [&](std::uint64_t first_member, std::uint64_t members) {
            CuComplex<T>* data = state.member(first_member);
            const auto a = reinterpret_cast<const S*>(matrix + first_member * matrix_stride);
            const auto slice_geometry = korvane::with_members(geometry, members);
            for (std::uint64_t first = 0; first < cols; first += slice_columns) {
                const std::uint64_t fixed_value = korvane::gpu::deposit_bits(first / slice_columns, fixed_mask);
                korvane::gpu::launch<&transpose_to_low_bits<T>>(slice_geometry, stream, slice_count, data,
                                                                transpose_buffer, active_mask, fixed_mask, fixed_value,
                                                                k, slice_columns - 1, N);
                korvane::check_last_error();
                if (matrix_stride == 0) {
                    if (G::run(handle, dim, static_cast<int>(slice_columns * members), dim, &one, a, dim, b, dim, &zero,
                               c, dim) != CUBLAS_STATUS_SUCCESS)
                        throw std::runtime_error(G::kFailure);
                } else if (G::run_batched(handle, dim, static_cast<int>(slice_columns), dim, &one, a, dim,
                                          static_cast<long long>(matrix_stride), b, dim,
                                          static_cast<long long>(slice_count), &zero, c, dim,
                                          static_cast<long long>(slice_count),
                                          static_cast<int>(members)) != CUBLAS_STATUS_SUCCESS) {
                    throw std::runtime_error(G::kBatchedFailure);
                }
                korvane::gpu::launch<&transpose_from_low_bits<T>>(slice_geometry, stream, slice_count, gemm_buffer,
                                                                  data, active_mask, fixed_mask, fixed_value, k,
                                                                  slice_columns - 1, N);
                korvane::check_last_error();
            }
        });
}

template <class T>
void DenseMMCache<T>::ensure(std::uint64_t elements) {
    int current = 0;
    korvane::cuda_check(cudaGetDevice(&current), "cudaGetDevice DenseMM cache");
    if (device != current) {
        release();
        korvane::cuda_check(cudaSetDevice(current), "cudaSetDevice DenseMM cache");
        device = current;
    }
    if (!handle && cublasCreate(&handle) != CUBLAS_STATUS_SUCCESS) {
        handle = nullptr;
        throw std::runtime_error("cublasCreate DenseMM cache failed");
    }
    if (capacity >= elements) return;
    // The old buffers go first; a failed free is reported, with the cache left holding none.
    const cudaError_t transpose_freed = cudaFree(transpose_buffer);
    const cudaError_t gemm_freed = cudaFree(gemm_buffer);
    transpose_buffer = nullptr;
    gemm_buffer = nullptr;
    capacity = 0;
    korvane::cuda_check(transpose_freed, "cudaFree cached DenseMM transpose buffer");
    korvane::cuda_check(gemm_freed, "cudaFree cached DenseMM GEMM buffer");
    const std::uint64_t bytes = elements * sizeof(CuComplex<T>);
    korvane::cuda_check(cudaMalloc(&transpose_buffer, bytes), "cudaMalloc cached DenseMM transpose buffer");
    const cudaError_t status = cudaMalloc(&gemm_buffer, bytes);
    if (status != cudaSuccess) {
        // Without both buffers the cache holds none, so the next ensure allocates again.
        (void)cudaFree(transpose_buffer);
        transpose_buffer = nullptr;
        gemm_buffer = nullptr;
        korvane::cuda_check(status, "cudaMalloc cached DenseMM GEMM buffer");
    }
    capacity = elements;
}

template <class T>
void DenseMMCache<T>::release() noexcept {
    bool failed = device >= 0 && cudaSetDevice(device) != cudaSuccess;
    if (handle) (void)cublasDestroy(handle);
    failed |= cudaFree(transpose_buffer) != cudaSuccess;
    failed |= cudaFree(gemm_buffer) != cudaSuccess;
    if (failed) (void)cudaGetLastError();  // must not surface at someone else's launch check
    device = -1;
    capacity = 0;
    transpose_buffer = nullptr;
    gemm_buffer = nullptr;
    handle = nullptr;
}

template <class T>
DenseMMCache<T>& DenseMMCache<T>::this_thread() {
    thread_local DenseMMCache<T> cache;
    return cache;
}

template void apply_densemm<float>(cublasHandle_t, const StateSpan<float>&, CuComplex<float>*, CuComplex<float>*,
                                   std::uint64_t, std::uint64_t, std::int32_t, const CuComplex<float>*, std::uint64_t,
                                   cudaStream_t);
template void apply_densemm<double>(cublasHandle_t, const StateSpan<double>&, CuComplex<double>*, CuComplex<double>*,
                                    std::uint64_t, std::uint64_t, std::int32_t, const CuComplex<double>*, std::uint64_t,
                                    cudaStream_t);
template std::uint64_t densemm_buffer_elements<float>(std::int64_t, std::uint64_t);
template std::uint64_t densemm_buffer_elements<double>(std::int64_t, std::uint64_t);
template struct DenseMMCache<float>;
template struct DenseMMCache<double>;

}  // namespace velqa::fusion
