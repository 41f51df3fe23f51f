#include "velqa/gate_traits.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/precision.hpp"
#include "common/text_error.hpp"

namespace velqa {

namespace {

// Every name and alias names one gate, and every id is its row's position, so a new row cannot
// shadow another gate or be looked up as the wrong one.
consteval bool table_is_consistent() {
    for (std::size_t i = 0; i < std::size(kGateTraits); ++i) {
        if (static_cast<std::size_t>(kGateTraits[i].id) != i) return false;
        for (const char* name : kGateTraits[i].names) {
            if (!name) continue;
            int seen = 0;
            for (const GateTraits& other : kGateTraits)
                for (const char* alias : other.names) seen += alias && std::string_view(alias) == name;
            if (seen != 1) return false;
        }
    }
    return true;
}
static_assert(table_is_consistent());

}  // namespace

GateId gate_id_from_name(const std::string& name) {
    static const std::unordered_map<std::string_view, GateId> table = [] {
        std::unordered_map<std::string_view, GateId> ids;
        for (const GateTraits& gate : kGateTraits)
            for (const char* alias : gate.names)
                if (alias) ids.emplace(alias, gate.id);
        return ids;
    }();
    const auto it = table.find(name);
    if (it == table.end()) throw korvane::InvalidArgumentText("Unsupported CUDA gate id: " + name);
    return it->second;
}

void rewrite_t_gate(std::string& name, std::vector<double>& parameter) {
    if (name == "t" || name == "ct" || name == "mct") {
        parameter.push_back(korvane::gates::kQuarterPi);
        name = "phase";
    } else if (name == "t_dag") {
        parameter.push_back(-korvane::gates::kQuarterPi);
        name = "phase";
    }
}

namespace {

template <class T>
bool parameters_finite(const GateRecord& r) {
    const GateTraits* gate = find_gate_traits(r.id);
    const auto used = static_cast<std::size_t>(gate ? gate->parameters : 0);
    if (used == 0 || r.parameter.size() != used) return true;
    return std::all_of(r.parameter.begin(), r.parameter.end(), korvane::finite_in<T>);
}

template <class T>
bool matrix_finite(const GateRecord& r) {
    const GateTraits* gate = find_gate_traits(r.id);
    if (!gate || !gate->matrix_from_record) return true;
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
