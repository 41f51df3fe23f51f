// Entry points whose bodies arrive with fusion.
#include <stdexcept>

#include "velqa/fusion/fusion.hpp"

namespace velqa::fusion {
template <class T>
void run_fused(std::uint64_t, CuComplex<T>*, const std::vector<GateRecord>&, cudaStream_t) {
    throw std::logic_error("fused execution is not built yet");
}
template void run_fused<float>(std::uint64_t, CuComplex<float>*, const std::vector<GateRecord>&, cudaStream_t);
template void run_fused<double>(std::uint64_t, CuComplex<double>*, const std::vector<GateRecord>&, cudaStream_t);

FusionPlan plan_fusion_chunk(std::int64_t, const std::vector<GateRecord>&, const FusionOptions&) {
    throw std::logic_error("fusion planning is not built yet");
}
void execute_prepared_fusion_chunk(const DeviceState&, const PreparedFusionChunk&) {
    throw std::logic_error("fusion execution is not built yet");
}
}  // namespace velqa::fusion
