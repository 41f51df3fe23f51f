// cuBLAS handles and GEMM on the host device. Operands must lie in device memory, as on a GPU
// where a host pointer would fault; the product itself comes from OpenBLAS.
#include <cblas.h>

#include <algorithm>
#include <cstdio>

#include "hostdevice/cublas_api.hpp"
#include "hostdevice/runtime.hpp"

struct cublasContext {
    int device;
    cudaStream_t stream;
};

namespace {

CBLAS_TRANSPOSE to_cblas(cublasOperation_t op) {
    switch (op) {
        case CUBLAS_OP_T: return CblasTrans;
        case CUBLAS_OP_C: return CblasConjTrans;
        default: return CblasNoTrans;
    }
}

bool valid_op(cublasOperation_t op) { return op == CUBLAS_OP_N || op == CUBLAS_OP_T || op == CUBLAS_OP_C; }

// Column-major extents of an operand: rows stored per column and columns present; with a batch,
// count operands stride elements apart, all inside one live allocation.
template <class Element>
bool operand_in_device(const Element* p, int ld, int columns, long long stride = 0, int count = 1) {
    if (columns == 0 || count == 0) return true;
    if (stride < 0) return false;
    const std::size_t one = std::size_t(ld) * std::size_t(columns - 1) + std::size_t(ld);
    const std::size_t span = std::size_t(stride) * std::size_t(count - 1) + one;
    return hostdevice::internal::is_device_range(p, span * sizeof(Element));
}

// count products C_i = op(A_i) op(B_i) (alpha, beta applied), the operands stride elements apart:
// one GEMM when count is 1 and the strides are unused. The checks are cuBLAS's, then every
// operand (the whole batch of it) must lie inside one live device allocation.
template <class Element, class Gemm>
cublasStatus_t gemm_batch(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                          int k, const Element* alpha, const Element* A, int lda, long long strideA, const Element* B,
                          int ldb, long long strideB, const Element* beta, Element* C, int ldc, long long strideC,
                          int count, Gemm blas) {
    if (!handle) return CUBLAS_STATUS_NOT_INITIALIZED;
    if (!valid_op(transa) || !valid_op(transb) || m < 0 || n < 0 || k < 0 || count < 0 || !alpha || !beta)
        return CUBLAS_STATUS_INVALID_VALUE;
    const int a_rows = transa == CUBLAS_OP_N ? m : k;
    const int b_rows = transb == CUBLAS_OP_N ? k : n;
    if (lda < std::max(1, a_rows) || ldb < std::max(1, b_rows) || ldc < std::max(1, m))
        return CUBLAS_STATUS_INVALID_VALUE;
    if (m == 0 || n == 0 || count == 0) return CUBLAS_STATUS_SUCCESS;
    const int a_cols = transa == CUBLAS_OP_N ? k : m;
    const int b_cols = transb == CUBLAS_OP_N ? n : k;
    if (!operand_in_device(A, lda, a_cols, strideA, count) || !operand_in_device(B, ldb, b_cols, strideB, count) ||
        !operand_in_device(C, ldc, n, strideC, count)) {
        std::fprintf(stderr, "hostdevice: GEMM operand outside device memory\n");
        return CUBLAS_STATUS_EXECUTION_FAILED;
    }
    for (int i = 0; i < count; ++i)
        blas(CblasColMajor, to_cblas(transa), to_cblas(transb), m, n, k, alpha, A + i * strideA, lda, B + i * strideB,
             ldb, beta, C + i * strideC, ldc);
    return CUBLAS_STATUS_SUCCESS;
}

template <class Element, class Gemm>
cublasStatus_t gemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n, int k,
                    const Element* alpha, const Element* A, int lda, const Element* B, int ldb, const Element* beta,
                    Element* C, int ldc, Gemm blas) {
    return gemm_batch(handle, transa, transb, m, n, k, alpha, A, lda, 0, B, ldb, 0, beta, C, ldc, 0, 1, blas);
}

void cgemm(CBLAS_ORDER o, CBLAS_TRANSPOSE ta, CBLAS_TRANSPOSE tb, int m, int n, int k, const cuComplex* alpha,
           const cuComplex* a, int lda, const cuComplex* b, int ldb, const cuComplex* beta, cuComplex* c, int ldc) {
    cblas_cgemm(o, ta, tb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}

void zgemm(CBLAS_ORDER o, CBLAS_TRANSPOSE ta, CBLAS_TRANSPOSE tb, int m, int n, int k, const cuDoubleComplex* alpha,
           const cuDoubleComplex* a, int lda, const cuDoubleComplex* b, int ldb, const cuDoubleComplex* beta,
           cuDoubleComplex* c, int ldc) {
    cblas_zgemm(o, ta, tb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}

}  // namespace

cublasStatus_t cublasCreate(cublasHandle_t* handle) {
    if (!handle) return CUBLAS_STATUS_INVALID_VALUE;
    int device = 0;
    if (hostdevice::internal::current_device(&device) != cudaSuccess) return CUBLAS_STATUS_NOT_INITIALIZED;
    *handle = new cublasContext{device, nullptr};
    hostdevice::internal::note_blas_handle(device, +1);
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasDestroy(cublasHandle_t handle) {
    if (!handle) return CUBLAS_STATUS_NOT_INITIALIZED;
    hostdevice::internal::note_blas_handle(handle->device, -1);
    delete handle;
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasSetStream(cublasHandle_t handle, cudaStream_t stream) {
    if (!handle) return CUBLAS_STATUS_NOT_INITIALIZED;
    handle->stream = stream;
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasCgemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                           int k, const cuComplex* alpha, const cuComplex* A, int lda, const cuComplex* B, int ldb,
                           const cuComplex* beta, cuComplex* C, int ldc) {
    return gemm(handle, transa, transb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc, cgemm);
}

cublasStatus_t cublasZgemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                           int k, const cuDoubleComplex* alpha, const cuDoubleComplex* A, int lda,
                           const cuDoubleComplex* B, int ldb, const cuDoubleComplex* beta, cuDoubleComplex* C,
                           int ldc) {
    return gemm(handle, transa, transb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc, zgemm);
}

cublasStatus_t cublasCgemmStridedBatched(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb,
                                         int m, int n, int k, const cuComplex* alpha, const cuComplex* A, int lda,
                                         long long int strideA, const cuComplex* B, int ldb, long long int strideB,
                                         const cuComplex* beta, cuComplex* C, int ldc, long long int strideC,
                                         int batchCount) {
    return gemm_batch(handle, transa, transb, m, n, k, alpha, A, lda, strideA, B, ldb, strideB, beta, C, ldc, strideC,
                      batchCount, cgemm);
}

cublasStatus_t cublasZgemmStridedBatched(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb,
                                         int m, int n, int k, const cuDoubleComplex* alpha, const cuDoubleComplex* A,
                                         int lda, long long int strideA, const cuDoubleComplex* B, int ldb,
                                         long long int strideB, const cuDoubleComplex* beta, cuDoubleComplex* C,
                                         int ldc, long long int strideC, int batchCount) {
    return gemm_batch(handle, transa, transb, m, n, k, alpha, A, lda, strideA, B, ldb, strideB, beta, C, ldc, strideC,
                      batchCount, zgemm);
}
