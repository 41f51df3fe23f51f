#include "dormeth/density_fusion.hpp"

#include <cstdlib>

namespace korvane::dormeth {

bool fusion_enabled() {
    const char* value = std::getenv("KORVANE_DENSITY_FUSION");
    return value != nullptr && value[0] != '\0' && value[0] != '0';
}

// The planned schedule (groups of small operations in one shared-memory pass, a one-qubit gate and
// the channel after it in one unitary-channel pass) is not built yet. Until it is, the fused
// schedule runs the prepared operations one by one, which gives the same result.
template <class T>
void run_fused_schedule(const DeviceDensityState& state, const std::vector<DensityOperation>& records,
                        const std::vector<PreparedDensityOp>& prepared, const CuComplex<T>* device_matrices) {
    (void)records;
    for (const PreparedDensityOp& op : prepared) execute_prepared_op<T>(state, op, device_matrices);
}

template void run_fused_schedule<float>(const DeviceDensityState&, const std::vector<DensityOperation>&,
                                        const std::vector<PreparedDensityOp>&, const CuComplex<float>*);
template void run_fused_schedule<double>(const DeviceDensityState&, const std::vector<DensityOperation>&,
                                         const std::vector<PreparedDensityOp>&, const CuComplex<double>*);

}  // namespace korvane::dormeth
