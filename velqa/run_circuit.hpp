// The circuit runner, the mode switch: applies gate records to the members of a state in place,
// gate by gate in a kernel mode (gate_dispatch.hpp), or through fusion in PairAutoFusion mode.
#pragma once

#include <vector>

#include "velqa/gate_record.hpp"
#include "velqa/state_view.hpp"

namespace velqa {

// Checks the size, selects the device and applies the records in order to every member; returns
// with the kernels queued on the default stream. A single state stops at the first refused gate,
// the gates before it applied. A batch (more than one member) is checked whole before any device
// work, every record as the dispatcher checks it, so a refused list leaves every member unchanged;
// gates whose values differ between members upload them to a slot the call holds. Gates act on the
// same amplitudes for either bit order, so the runner takes no endian.
void run_gates(const StateView& state, const std::vector<GateRecord>& records, KernelMode mode);

}  // namespace velqa
