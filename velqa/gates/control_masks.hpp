// Control masks and the qubit checks every gate passes before any launch.
#pragma once

#include <cstdint>
#include <vector>

namespace velqa {

struct ControlMasks {
    std::uint64_t ctrl_mask = 0;   // bit c set for every control c
    std::uint64_t ctrl_value = 0;  // bit c set for every control whose required state is 1
};

// Validates the control lists (matching lengths, indices in [0, 62], states 0 or 1) and builds the
// masks; an index i matches the controls when (i & ctrl_mask) == ctrl_value.
ControlMasks build_control_masks(const std::vector<std::int64_t>& controls,
                                 const std::vector<std::int64_t>& control_state);

// Refuses, with a ValueError naming the index, a target outside [0, n) or repeated, and a control
// outside [0, n), repeated or equal to a target. These checks make the kernels' index arithmetic
// safe; they run after a gate's own checks and before any device work.
void check_gate_qubits(std::uint64_t n, const std::vector<std::int64_t>& targets,
                       const std::vector<std::int64_t>& controls);

}  // namespace velqa
