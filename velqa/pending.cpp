// Entry points whose bodies arrive with the gate, measurement and fusion work.
#include <stdexcept>

#include "velqa/fusion/fusion.hpp"
#include "velqa/run_circuit.hpp"
#include "velqa/velqa_measure.hpp"

namespace velqa {
void run_gates(const DeviceState&, const std::vector<GateRecord>&, const std::string&, KernelMode) {
    throw std::logic_error("gate execution is not built yet");
}
SampleResult sample_measure(const DeviceState&, const std::vector<std::int64_t>&, const std::string&, std::uint64_t,
                            std::uint64_t, bool) {
    throw std::logic_error("measurement is not built yet");
}
namespace fusion {
FusionPlan plan_fusion_chunk(std::int64_t, const std::vector<GateRecord>&, const FusionOptions&) {
    throw std::logic_error("fusion planning is not built yet");
}
void execute_prepared_fusion_chunk(const DeviceState&, const PreparedFusionChunk&) {
    throw std::logic_error("fusion execution is not built yet");
}
}  // namespace fusion
}  // namespace velqa
