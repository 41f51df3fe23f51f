#include "dormeth/run_density.hpp"

#include <stdexcept>

#include "common/cuda_check.hpp"
#include "common/device_buffer.hpp"
#include "common/precision.hpp"
#include "dormeth/fusion/density_fusion.hpp"
#include "dormeth/prepared_operation.hpp"

namespace korvane::dormeth {
namespace {

template <class T>
void run_typed(DeviceDensityState& state, std::int64_t n, const std::vector<density::DensityOperation>& records,
               bool fusion_enabled) {
    std::vector<CuComplex<T>> matrices;
    std::vector<PreparedDensityOp> prepared;
    prepared.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i)
        prepared.push_back(prepare_density_op<T>(records[i], n, i, matrices));

    DeviceBuffer<CuComplex<T>> device_matrices;
    if (!matrices.empty()) device_matrices = DeviceBuffer<CuComplex<T>>::copy_of(matrices.data(), matrices.size());
    const CuComplex<T>* matrix_data = device_matrices.get();
    try {
        if (fusion_enabled && n - 4 >= 1) {
            run_fused_schedule<T>(state, records, prepared, matrix_data);
        } else {
            for (const PreparedDensityOp& op : prepared) execute_prepared_op<T>(state, op, matrix_data);
        }
        cuda_check(cudaDeviceSynchronize());
        device_matrices.release();
    } catch (...) {
        // Queued kernels may still read the matrix buffer: wait for them before it is freed.
        (void)cudaDeviceSynchronize();
        (void)cudaGetLastError();
        throw;
    }
}

}  // namespace

void run_density_operations(DeviceDensityState& state, std::int64_t num_qubits,
                            const std::vector<density::DensityOperation>& records, bool fusion_enabled) {
    if (num_qubits != state.num_qubits()) throw std::invalid_argument("num_qubits does not match DeviceDensityState");
    cuda_check(cudaSetDevice(state.device_id()));
    dispatch_precision(state.dtype(), [&]<class T>() { run_typed<T>(state, num_qubits, records, fusion_enabled); });
}

void run_density_operations(DeviceDensityState& state, std::int64_t num_qubits,
                            const std::vector<density::DensityOperation>& records) {
    run_density_operations(state, num_qubits, records, fusion_enabled());
}

}  // namespace korvane::dormeth
