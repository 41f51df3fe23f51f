#include "velqa/gate_record.hpp"

#include <stdexcept>
#include <unordered_map>

namespace velqa {

std::int32_t gate_id_from_name(const std::string& name) {
    static const std::unordered_map<std::string, std::int32_t> table = {
        {"x", kGateX},
        {"cx", kGateX},
        {"mcx", kGateX},
        {"y", kGateY},
        {"cy", kGateY},
        {"mcy", kGateY},
        {"z", kGateZ},
        {"cz", kGateZ},
        {"mcz", kGateZ},
        {"h", kGateH},
        {"ch", kGateH},
        {"mch", kGateH},
        {"s", kGateS},
        {"cs", kGateS},
        {"mcs", kGateS},
        {"s_dag", kGateSdg},
        {"sqrtx", kGateSqrtX},
        {"sx", kGateSqrtX},
        {"sqrtx_dag", kGateSqrtXdg},
        {"sxdg", kGateSqrtXdg},
        {"sqrty", kGateSqrtY},
        {"sqrty_dag", kGateSqrtYdg},
        {"swap", kGateSwap},
        {"rx", kGateRX},
        {"crx", kGateRX},
        {"mcrx", kGateRX},
        {"ry", kGateRY},
        {"cry", kGateRY},
        {"mcry", kGateRY},
        {"rz", kGateRZ},
        {"crz", kGateRZ},
        {"mcrz", kGateRZ},
        {"phase", kGatePhase},
        {"p", kGatePhase},
        {"cp", kGatePhase},
        {"mcp", kGatePhase},
        {"gp", kGateGlobalPhase},
        {"global_phase", kGateGlobalPhase},
        {"gphase", kGateGlobalPhase},
        {"u", kGateU},
        {"u1", kGateU},
        {"u2", kGateU},
        {"u3", kGateU},
        {"unitary", kGateUnitary},
    };
    const auto it = table.find(name);
    if (it == table.end()) throw std::invalid_argument("Unsupported CUDA gate id: " + name);
    return it->second;
}

void rewrite_t_gate(std::string& name, std::vector<double>& parameter) {
    constexpr double kQuarterPi = 0.7853981633974483;
    if (name == "t" || name == "ct" || name == "mct") {
        parameter.push_back(kQuarterPi);
        name = "phase";
    } else if (name == "t_dag") {
        parameter.push_back(-kQuarterPi);
        name = "phase";
    }
}

void check_unitary_record(const GateRecord& record) {
    if (record.id != kGateUnitary) return;
    if (!record.has_matrix) throw std::invalid_argument("UNITARY gate requires a matrix.");
    const std::size_t k = record.target.size();
    if (k >= 63 || record.matrix_dim != (std::int64_t(1) << k))
        throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
}

}  // namespace velqa
