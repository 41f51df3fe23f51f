#include "common/density_gate_traits.hpp"

#include <unordered_map>
#include <utility>

#include "common/gate_matrices.hpp"

namespace korvane::density {
namespace {

namespace gates = korvane::gates;

// A one-target gate's matrix (a function of common/gate_matrices.hpp) of the record's parameters,
// in the state's precision: in complex64 the parameters are rounded to float first and all
// trigonometry is done in float.
template <class T, auto Matrix>
NamedGateMatrix<T> one_target(const std::vector<double>& parameters) {
    const gates::Matrix2<T> m = gates::with_parameters<T>(Matrix, parameters);
    const auto entry = [](CuComplex<T> z) { return std::complex<T>(z.re, z.im); };
    return {entry(m.m00), entry(m.m01), entry(m.m10), entry(m.m11)};
}

template <class T, class... Angle>
constexpr std::size_t arity(gates::Matrix2<T> (*)(Angle...)) {
    return sizeof...(Angle);
}

// The row of a one-target gate; its parameters are its matrix's.
template <class T, auto Matrix>
DensityGateTraits<T> row(std::string_view name, std::vector<std::string_view> aliases, DensityGateApply apply,
                         bool global_phase = false) {
    return {name, std::move(aliases), arity(Matrix), 1, apply, global_phase, &one_target<T, Matrix>};
}

// |00>, |01><10|, |10><01|, |11>
template <class T>
NamedGateMatrix<T> swap_matrix(const std::vector<double>&) {
    NamedGateMatrix<T> m{};
    for (const int i : {0, 6, 9, 15}) m[i] = std::complex<T>(1);
    return m;
}

// One row per gate: name, aliases, how the runner applies it, its matrix. Kept one row a line,
// which the formatter would break apart.
// clang-format off
template <class T>
std::vector<DensityGateTraits<T>> make_table() {
    using enum DensityGateApply;
    return {
        row<T, &gates::x<T>>("x", {"cx", "cnot", "mcx"}, Permutation),
        row<T, &gates::y<T>>("y", {"cy", "mcy"}, Matrix),
        row<T, &gates::z<T>>("z", {"cz", "mcz"}, Diagonal),
        row<T, &gates::minus_z<T>>("-z", {}, Diagonal),
        row<T, &gates::h<T>>("h", {"ch", "mch"}, Matrix),
        row<T, &gates::s<T>>("s", {"cs", "mcs"}, Diagonal),
        row<T, &gates::sdg<T>>("s_dag", {}, Diagonal),
        row<T, &gates::t<T>>("t", {}, Diagonal),
        row<T, &gates::tdg<T>>("t_dag", {}, Diagonal),
        row<T, &gates::sqrtx<T>>("sqrtx", {}, Matrix),
        row<T, &gates::sqrtxdg<T>>("sqrtx_dag", {}, Matrix),
        row<T, &gates::sqrty<T>>("sqrty", {}, Matrix),
        row<T, &gates::sqrtydg<T>>("sqrty_dag", {}, Matrix),
        row<T, &gates::x2p<T>>("x2p", {}, Matrix),
        row<T, &gates::x2m<T>>("x2m", {}, Matrix),
        row<T, &gates::y2p<T>>("y2p", {}, Matrix),
        row<T, &gates::y2m<T>>("y2m", {}, Matrix),
        row<T, &gates::rx<T>>("rx", {"crx", "mcrx"}, Matrix),
        row<T, &gates::ry<T>>("ry", {"cry", "mcry"}, Matrix),
        row<T, &gates::rz<T>>("rz", {"crz", "mcrz"}, Diagonal),
        row<T, &gates::phase<T>>("p", {"cp", "mcp"}, Diagonal),
        row<T, &gates::global_phase<T>>("gp", {"gphase", "global_phase"}, Diagonal, true),
        row<T, &gates::rxy<T>>("rxy", {"xyarb"}, Matrix),
        row<T, &gates::u<T>>("u", {}, Matrix),
        {"swap", {}, 0, 2, Permutation, false, &swap_matrix<T>},
    };
}
// clang-format on

// Every named gate, in the precision T of the state.
template <class T>
const std::vector<DensityGateTraits<T>>& density_gate_table() {
    static const std::vector<DensityGateTraits<T>> table = make_table<T>();
    return table;
}

}  // namespace

template <class T>
const DensityGateTraits<T>* find_density_gate(std::string_view name) {
    static const std::unordered_map<std::string_view, const DensityGateTraits<T>*> by_name = [] {
        std::unordered_map<std::string_view, const DensityGateTraits<T>*> out;
        for (const DensityGateTraits<T>& gate : density_gate_table<T>()) {
            out.emplace(gate.name, &gate);
            for (const std::string_view alias : gate.aliases) out.emplace(alias, &gate);
        }
        return out;
    }();
    const auto it = by_name.find(name);
    return it == by_name.end() ? nullptr : it->second;
}

template const DensityGateTraits<float>* find_density_gate<float>(std::string_view);
template const DensityGateTraits<double>* find_density_gate<double>(std::string_view);

}  // namespace korvane::density
