// Benchmark support: the reference figure every benchmark compares with (a device-to-device copy
// of the same number of bytes) and a device-wide wait for timing queued work.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>

#include "common/cuda_check.hpp"

namespace py = pybind11;

namespace {

double copy_seconds(std::uint64_t bytes, int repeats, int device) {
    using korvane::cuda_check;
    py::gil_scoped_release release;
    cuda_check(cudaSetDevice(device));
    void* a = nullptr;
    void* b = nullptr;
    cuda_check(cudaMalloc(&a, bytes));
    const cudaError_t status = cudaMalloc(&b, bytes);
    if (status != cudaSuccess) {
        cudaFree(a);
        cuda_check(status);
    }
    cudaMemset(a, 0, bytes);
    cudaMemset(b, 0, bytes);
    double best = std::numeric_limits<double>::infinity();
    for (int r = 0; r < std::max(repeats, 1); ++r) {
        cuda_check(cudaDeviceSynchronize());
        const auto start = std::chrono::steady_clock::now();
        cudaMemcpy(b, a, bytes, cudaMemcpyDeviceToDevice);
        cuda_check(cudaDeviceSynchronize());
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    cudaFree(a);
    cudaFree(b);
    return best;
}

}  // namespace

PYBIND11_MODULE(korvane_bench, m) {
    m.doc() = "Benchmark support for velqa and dormeth";
#if defined(KORVANE_GPU_CUDA)
    m.attr("backend") = "cuda";
#else
    m.attr("backend") = "host";
#endif
    m.def("copy_seconds", &copy_seconds, py::arg("bytes"), py::arg("repeats") = 5, py::arg("device") = 0,
          "Best time of a device-to-device copy of this many bytes.");
    m.def(
        "synchronize",
        [](int device) {
            py::gil_scoped_release release;
            korvane::cuda_check(cudaSetDevice(device));
            korvane::cuda_check(cudaDeviceSynchronize());
        },
        py::arg("device") = 0, "Wait for all queued work on the device.");
}
