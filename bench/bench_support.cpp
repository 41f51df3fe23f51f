// Benchmark support: the reference figure every benchmark compares with (a device-to-device copy
// of the same number of bytes), a device-wide wait for timing queued work, and the plans of both
// fusion planners, from which the bandwidth model counts the bytes a fused run must move.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "common/cuda_check.hpp"
#include "common/operation_conversion.hpp"
#include "dormeth/fusion/density_planner.hpp"
#include "velqa/fusion/planner.hpp"
#include "velqa/gate_conversion.hpp"

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

// One (kind, active qubit count, record indices) tuple per group of a plan.
using GroupRow = std::tuple<std::string, std::size_t, std::vector<std::int64_t>>;

std::vector<GroupRow> fusion_plan(std::int64_t n, const py::list& gate_ir) {
    static const char* const kKinds[] = {"autopair", "sparsesharemem", "densemm"};
    const auto plan = velqa::fusion::plan_fusion_chunk(n, velqa::convert_gate_ir(gate_ir), {});
    std::vector<GroupRow> rows;
    for (const auto& g : plan.groups)
        rows.emplace_back(kKinds[static_cast<int>(g.kind)], g.active.size(), g.gate_indices);
    return rows;
}

std::vector<GroupRow> density_fusion_plan(std::int64_t n, const py::iterable& operations) {
    using namespace korvane::dormeth;
    static const char* const kKinds[] = {"single", "one_qubit", "sparsesharemem", "unfused"};
    const auto plan =
        plan_density_fusion(n, korvane::density::convert_operations(operations), density_fusion_options(n));
    std::vector<GroupRow> rows;
    rows.reserve(plan.size());
    for (const auto& g : plan)
        rows.emplace_back(kKinds[static_cast<int>(g.kind)], g.active.size(), g.operation_indices);
    return rows;
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
    m.def("fusion_plan", &fusion_plan, py::arg("n"), py::arg("gate_ir"),
          "The groups velqa's planner forms with the default options: (kind, qubits, gate indices).");
    m.def("density_fusion_plan", &density_fusion_plan, py::arg("n"), py::arg("operations"),
          "The groups dormeth's fusion planner forms for n qubits: (kind, qubits, operation indices).");
}
