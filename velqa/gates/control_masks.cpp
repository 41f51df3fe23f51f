#include "velqa/gates/control_masks.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace velqa {

ControlMasks build_control_masks(const std::vector<std::int64_t>& controls,
                                 const std::vector<std::int64_t>& control_state) {
    if (controls.size() != control_state.size()) throw std::invalid_argument("controls.size() != control_state.size()");
    ControlMasks masks;
    for (std::size_t j = 0; j < controls.size(); ++j) {
        if (controls[j] < 0 || controls[j] > 62) throw std::invalid_argument("control qubit index must be in [0, 62]");
        if (control_state[j] != 0 && control_state[j] != 1)
            throw std::invalid_argument("control_state must contain only 0/1");
        const std::uint64_t bit = std::uint64_t(1) << controls[j];
        masks.ctrl_mask |= bit;
        if (control_state[j] == 1) masks.ctrl_value |= bit;
    }
    return masks;
}

void check_gate_qubits(std::uint64_t n, const std::vector<std::int64_t>& targets,
                       const std::vector<std::int64_t>& controls) {
    const auto out_of_range = [n](const char* role, std::int64_t q) {
        return std::invalid_argument(std::string(role) + " qubit " + std::to_string(q) + " is out of range for " +
                                     std::to_string(n) + " qubits");
    };
    for (auto it = targets.begin(); it != targets.end(); ++it) {
        const std::int64_t t = *it;
        if (t < 0 || static_cast<std::uint64_t>(t) >= n) throw out_of_range("target", t);
        if (std::find(targets.begin(), it, t) != it)
            throw std::invalid_argument("target qubit " + std::to_string(t) + " is repeated");
    }
    for (auto it = controls.begin(); it != controls.end(); ++it) {
        const std::int64_t c = *it;
        if (c < 0 || static_cast<std::uint64_t>(c) >= n) throw out_of_range("control", c);
        if (std::find(controls.begin(), it, c) != it)
            throw std::invalid_argument("control qubit " + std::to_string(c) + " is repeated");
        if (std::find(targets.begin(), targets.end(), c) != targets.end())
            throw std::invalid_argument("control qubit " + std::to_string(c) + " is also a target");
    }
}

}  // namespace velqa
