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

void rewrite_t_gate(GateRecord& record) {
    double angle = 0.0;
    if (record.name == "t" || record.name == "ct" || record.name == "mct")
        angle = korvane::gates::kQuarterPi;
    else if (record.name == "t_dag")
        angle = -korvane::gates::kQuarterPi;
    else
        return;
    record.name = "phase";
    if (!record.member_parameter.empty()) {
        const std::size_t width = record.parameter.size();
        std::vector<double> rows;
        rows.reserve(record.member_parameter.size() / width * (width + 1));
        for (std::size_t first = 0; first < record.member_parameter.size(); first += width) {
            rows.insert(rows.end(), record.member_parameter.begin() + static_cast<std::ptrdiff_t>(first),
                        record.member_parameter.begin() + static_cast<std::ptrdiff_t>(first + width));
            rows.push_back(angle);
        }
        record.member_parameter = std::move(rows);
    }
    record.parameter.push_back(angle);
}

namespace {

template <class T>
bool finite_complex(const std::complex<double>& z) {
    return korvane::finite_in<T>(z.real()) && korvane::finite_in<T>(z.imag());
}

// Whether the member's parameters are values the gate uses (their count is the gate's) and finite in T.
template <class T>
bool parameters_finite(const GateRecord& r, std::uint64_t member) {
    const GateTraits* gate = find_gate_traits(r.id);
    const auto used = static_cast<std::size_t>(gate ? gate->parameters : 0);
    if (used == 0 || r.parameter.size() != used) return true;
    const std::span<const double> values = r.parameters_of(member);
    return std::all_of(values.begin(), values.end(), korvane::finite_in<T>);
}

template <class T>
bool matrix_finite(const GateRecord& r, std::uint64_t member) {
    const GateTraits* gate = find_gate_traits(r.id);
    if (!gate || !gate->matrix_from_record) return true;
    const std::span<const std::complex<double>> values = r.matrix_of(member);
    return std::all_of(values.begin(), values.end(), finite_complex<T>);
}

// The members whose values the record holds: one when they are shared.
std::uint64_t value_rows(const GateRecord& r) {
    if (!r.member_parameter.empty()) return r.member_parameter.size() / std::max<std::size_t>(r.parameter.size(), 1);
    if (!r.member_matrix.empty()) return r.member_matrix.size() / std::max<std::size_t>(r.matrix.size(), 1);
    return 1;
}

}  // namespace

template <class T>
bool gate_values_finite(const GateRecord& record) {
    for (std::uint64_t b = 0; b < value_rows(record); ++b)
        if (!parameters_finite<T>(record, b) || !matrix_finite<T>(record, b)) return false;
    return true;
}

template <class T>
void check_gate_values(const GateRecord& record, std::size_t index) {
    for (std::uint64_t b = 0; b < value_rows(record); ++b) {
        const char* problem = !parameters_finite<T>(record, b) ? "gate parameters must be finite"
                              : !matrix_finite<T>(record, b)   ? "unitary matrix must contain only finite values"
                                                               : nullptr;
        if (!problem) continue;
        const std::string member = record.varies_by_member() ? ", member " + std::to_string(b) : "";
        throw std::invalid_argument(std::string(problem) + " (gate " + std::to_string(index) + member + ", " +
                                    korvane::precision_name<T>() + ")");
    }
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
