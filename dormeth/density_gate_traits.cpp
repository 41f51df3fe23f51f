#include "dormeth/density_gate_traits.hpp"

#include <cmath>
#include <unordered_map>

namespace korvane::dormeth {
namespace {

// Built in the state's precision: in complex64 the parameters are rounded to float first and all
// trigonometry is done in float.

template <class T>
std::complex<T> cis(T x) {
    return std::complex<T>(std::cos(x), std::sin(x));
}

template <class T>
constexpr T kQuarterPi = T(0.7853981633974483);

template <class T>
NamedGateMatrix<T> multiply(const NamedGateMatrix<T>& a, const NamedGateMatrix<T>& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2], a[2] * b[1] + a[3] * b[3]};
}

template <class T>
NamedGateMatrix<T> rx_matrix(T theta) {
    using C = std::complex<T>;
    const T c = std::cos(theta / T(2));
    const T s = std::sin(theta / T(2));
    return {C(c, 0), C(0, -s), C(0, -s), C(c, 0)};
}

template <class T>
NamedGateMatrix<T> ry_matrix(T theta) {
    using C = std::complex<T>;
    const T c = std::cos(theta / T(2));
    const T s = std::sin(theta / T(2));
    return {C(c), C(-s), C(s), C(c)};
}

template <class T>
NamedGateMatrix<T> u_matrix(T theta, T phi, T lambda) {
    using C = std::complex<T>;
    const T c = std::cos(theta / T(2));
    const T s = std::sin(theta / T(2));
    return {C(c), -cis(lambda) * s, cis(phi) * s, cis(phi + lambda) * c};
}

template <class T>
NamedGateMatrix<T> rz_matrix(T theta) {
    using C = std::complex<T>;
    return {cis(-(theta / T(2))), C(0), C(0), cis(theta / T(2))};
}

// RZ(theta) RX(phi) RZ(-theta)
template <class T>
NamedGateMatrix<T> rxy_matrix(T theta, T phi) {
    return multiply(multiply(rz_matrix(theta), rx_matrix(phi)), rz_matrix(-theta));
}

// |00>, |01><10|, |10><01|, |11>
template <class T>
NamedGateMatrix<T> swap_matrix() {
    NamedGateMatrix<T> m{};
    for (const int i : {0, 6, 9, 15}) m[i] = std::complex<T>(1);
    return m;
}

// One row per gate: name, aliases, parameters, targets, how the runner applies it, whether it is a
// global phase, its matrix. Kept one row a line, which the formatter would break apart.
// clang-format off
template <class T>
std::vector<DensityGateTraits<T>> make_table() {
    using C = std::complex<T>;
    using M = NamedGateMatrix<T>;
    using A = GateAngles<T>;
    using enum DensityGateApply;
    static const T r = T(1) / std::sqrt(T(2));
    static constexpr T h = T(0.5);
    return {
        {"x", {"cx", "cnot", "mcx"}, 0, 1, Permutation, false, [](A) -> M { return {C(0), C(1), C(1), C(0)}; }},
        {"y", {"cy", "mcy"}, 0, 1, Matrix, false, [](A) -> M { return {C(0), C(0, -1), C(0, 1), C(0)}; }},
        {"z", {"cz", "mcz"}, 0, 1, Diagonal, false, [](A) -> M { return {C(1), C(0), C(0), C(-1)}; }},
        {"-z", {}, 0, 1, Diagonal, false, [](A) -> M { return {C(-1), C(0), C(0), C(1)}; }},
        {"h", {"ch", "mch"}, 0, 1, Matrix, false, [](A) -> M { return {C(r), C(r), C(r), C(-r)}; }},
        {"s", {"cs", "mcs"}, 0, 1, Diagonal, false, [](A) -> M { return {C(1), C(0), C(0), C(0, 1)}; }},
        {"s_dag", {}, 0, 1, Diagonal, false, [](A) -> M { return {C(1), C(0), C(0), C(0, -1)}; }},
        {"t", {}, 0, 1, Diagonal, false, [](A) -> M { return {C(1), C(0), C(0), cis(kQuarterPi<T>)}; }},
        {"t_dag", {}, 0, 1, Diagonal, false, [](A) -> M { return {C(1), C(0), C(0), cis(-kQuarterPi<T>)}; }},
        {"sqrtx", {}, 0, 1, Matrix, false, [](A) -> M { return {C(h, h), C(h, -h), C(h, -h), C(h, h)}; }},
        {"sqrtx_dag", {}, 0, 1, Matrix, false, [](A) -> M { return {C(h, -h), C(h, h), C(h, h), C(h, -h)}; }},
        {"sqrty", {}, 0, 1, Matrix, false, [](A) -> M { return {C(h, h), C(-h, -h), C(h, h), C(h, h)}; }},
        {"sqrty_dag", {}, 0, 1, Matrix, false, [](A) -> M { return {C(h, -h), C(h, -h), C(-h, h), C(h, -h)}; }},
        {"x2p", {}, 0, 1, Matrix, false, [](A) -> M { return {C(r), C(0, -r), C(0, -r), C(r)}; }},
        {"x2m", {}, 0, 1, Matrix, false, [](A) -> M { return {C(r), C(0, r), C(0, r), C(r)}; }},
        {"y2p", {}, 0, 1, Matrix, false, [](A) -> M { return {C(r), C(-r), C(r), C(r)}; }},
        {"y2m", {}, 0, 1, Matrix, false, [](A) -> M { return {C(r), C(r), C(-r), C(r)}; }},
        {"rx", {"crx", "mcrx"}, 1, 1, Matrix, false, [](A a) { return rx_matrix(a[0]); }},
        {"ry", {"cry", "mcry"}, 1, 1, Matrix, false, [](A a) { return ry_matrix(a[0]); }},
        {"rz", {"crz", "mcrz"}, 1, 1, Diagonal, false, [](A a) { return rz_matrix(a[0]); }},
        {"p", {"cp", "mcp"}, 1, 1, Diagonal, false, [](A a) -> M { return {C(1), C(0), C(0), cis(a[0])}; }},
        {"gp", {"gphase", "global_phase"}, 1, 1, Diagonal, true,
         [](A a) -> M { return {cis(a[0]), C(0), C(0), cis(a[0])}; }},
        {"rxy", {"xyarb"}, 2, 1, Matrix, false, [](A a) { return rxy_matrix(a[0], a[1]); }},
        {"u", {}, 3, 1, Matrix, false, [](A a) { return u_matrix(a[0], a[1], a[2]); }},
        {"swap", {}, 0, 2, Permutation, false, [](A) { return swap_matrix<T>(); }},
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

}  // namespace korvane::dormeth
