#include "velqa/run_circuit.hpp"

#include <cstddef>
#include <stdexcept>

#include "common/cuda_check.hpp"
#include "common/device_buffer.hpp"
#include "common/precision.hpp"
#include "velqa/fusion/fusion.hpp"
#include "velqa/gate_dispatch.hpp"

namespace velqa {
namespace {

template <class T>
void run_typed(const StateView& view, const std::vector<GateRecord>& records, KernelMode mode) {
    if (view.batch)
        for (std::size_t i = 0; i < records.size(); ++i)
            check_gate<T>(static_cast<std::int64_t>(view.n), records[i], i);
    StateSpan<T> state = typed_span<T>(view);
    korvane::UploadSlot uploads;
    state.uploads = &uploads;
    if (mode == KernelMode::PairAutoFusion)
        fusion::run_fused<T>(state, records, nullptr);
    else
        for (std::size_t i = 0; i < records.size(); ++i) apply_gate<T>(state, records[i], i, nullptr, mode);
    uploads.release();
}

}  // namespace

void run_gates(const StateView& state, const std::vector<GateRecord>& records, KernelMode mode) {
    if (state.n < 1 || state.n > 62 || state.members < 1) throw std::invalid_argument("state size does not match 2**n");
    korvane::cuda_check(cudaSetDevice(state.device_id));
    korvane::dispatch_precision(state.dtype, [&]<class T>() { run_typed<T>(state, records, mode); });
}

}  // namespace velqa
