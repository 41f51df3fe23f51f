#include "velqa/gate_record.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "common/precision.hpp"

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

namespace {

// How many parameters the gate's kernel uses: 0 for the gates that take none.
std::size_t parameters_used(std::int32_t id) {
    switch (id) {
        case kGateRX:
        case kGateRY:
        case kGateRZ:
        case kGatePhase:
        case kGateGlobalPhase: return 1;
        case kGateU: return 3;
        default: return 0;
    }
}

template <class T>
bool parameters_finite(const GateRecord& r) {
    const std::size_t used = parameters_used(r.id);
    if (used == 0 || r.parameter.size() != used) return true;
    return std::all_of(r.parameter.begin(), r.parameter.end(), korvane::finite_in<T>);
}

template <class T>
bool matrix_finite(const GateRecord& r) {
    if (r.id != kGateUnitary) return true;
    return std::all_of(r.matrix.begin(), r.matrix.end(), [](const std::complex<double>& z) {
        return korvane::finite_in<T>(z.real()) && korvane::finite_in<T>(z.imag());
    });
}

}  // namespace

template <class T>
bool gate_values_finite(const GateRecord& record) {
    return parameters_finite<T>(record) && matrix_finite<T>(record);
}

template <class T>
void check_gate_values(const GateRecord& record, std::size_t index) {
    const char* problem = !parameters_finite<T>(record) ? "gate parameters must be finite"
                          : !matrix_finite<T>(record)   ? "unitary matrix must contain only finite values"
                                                        : nullptr;
    if (problem)
        throw std::invalid_argument(std::string(problem) + " (gate " + std::to_string(index) + ", " +
                                    korvane::precision_name<T>() + ")");
}

template bool gate_values_finite<float>(const GateRecord&);
template bool gate_values_finite<double>(const GateRecord&);
template void check_gate_values<float>(const GateRecord&, std::size_t);
template void check_gate_values<double>(const GateRecord&, std::size_t);

void check_unitary_record(const GateRecord& record) {
    if (record.id != kGateUnitary) return;
    if (!record.has_matrix) throw std::invalid_argument("UNITARY gate requires a matrix.");
    const std::size_t k = record.target.size();
    if (k >= 63 || record.matrix_dim != (std::int64_t(1) << k))
        throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
}

}  // namespace velqa
