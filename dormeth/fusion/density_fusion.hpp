// Density fusion: the switch and the fused schedule the runner hands the prepared operations to.
#pragma once

#include <memory>
#include <vector>

#include "common/complex.hpp"
#include "common/density_operation.hpp"
#include "dormeth/dormeth_device_state.hpp"
#include "dormeth/prepared_operation.hpp"

namespace korvane::dormeth {

// KORVANE_DENSITY_FUSION, read on every call: on exactly when set, not empty and not starting with
// the digit 0 ("1", "yes" and even "false" mean on; unset, "", "0", "00" and "0.5" mean off).
bool fusion_enabled();

// Executes the prepared operations of one runner call as fused groups; the runner calls it with
// fusion on and n >= 5, after the matrix upload, and synchronises afterwards. records and
// prepared are parallel lists. Plans the records, uploads the records of all shared-memory groups
// in one copy, then runs the groups in order on the default stream; the upload is freed on every
// path (after waiting for the device when an error unwinds).
template <class T>
void run_fused_schedule(const DeviceDensityState& state, const std::vector<density::DensityOperation>& records,
                        const std::vector<PreparedDensityOp>& prepared, const CuComplex<T>* device_matrices);

}  // namespace korvane::dormeth
