#include "common/cuda_check.hpp"

#include <stdexcept>

namespace korvane {

void throw_cuda_error(const std::string& prefix, cudaError_t status) {
    (void)cudaGetLastError();
    throw std::runtime_error(prefix + cudaGetErrorString(status));
}

void cuda_check(cudaError_t status, const char* operation) {
    if (status != cudaSuccess) throw_cuda_error(std::string(operation) + ": ", status);
}

void check_launch(const char* prefix) {
    const cudaError_t status = cudaGetLastError();
    if (status != cudaSuccess) throw_cuda_error(prefix, status);
}

void check_last_error() { cuda_check(cudaGetLastError()); }

}  // namespace korvane
