#include "velqa/run_circuit.hpp"

#include <cstddef>
#include <stdexcept>

#include "common/cuda_check.hpp"
#include "velqa/fusion/fusion.hpp"
#include "velqa/gate_dispatch.hpp"

namespace velqa {

template <class T>
void run_gates(std::uint64_t n, CuComplex<T>* data, std::uint64_t num_state, const std::vector<GateRecord>& records,
               std::int32_t device_id, KernelMode mode) {
    if (n < 1 || n > 62 || num_state != (std::uint64_t(1) << n))
        throw std::invalid_argument("state size does not match 2**n");
    korvane::cuda_check(cudaSetDevice(device_id));
    if (mode == KernelMode::PairAutoFusion) {
        fusion::run_fused<T>(n, data, records, nullptr);
        return;
    }
    for (std::size_t i = 0; i < records.size(); ++i) apply_gate<T>(n, data, records[i], i, nullptr, mode);
}

void run_gates(const DeviceState& state, const std::vector<GateRecord>& records, KernelMode mode) {
    dispatch_precision(state.dtype(), [&]<class T>() {
        run_gates<T>(state.n(), state.data_as<T>(), state.num_state(), records, state.device_id(), mode);
    });
}

template void run_gates<float>(std::uint64_t, CuComplex<float>*, std::uint64_t, const std::vector<GateRecord>&,
                               std::int32_t, KernelMode);
template void run_gates<double>(std::uint64_t, CuComplex<double>*, std::uint64_t, const std::vector<GateRecord>&,
                                std::int32_t, KernelMode);

}  // namespace velqa
