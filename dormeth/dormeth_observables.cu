// Observables of a density matrix: marginal probabilities through the measurement's probability
// pass, Pauli sums through one reduction pass per X/Y pattern. Block partial sums go to the host,
// which adds them in a fixed order, so the results are reproducible.
#include "dormeth/dormeth_observables.hpp"

#include <cmath>
#include <stdexcept>

#include "common/cuda_check.hpp"
#include "common/device_buffer.hpp"
#include "common/gpu/block_sum.hpp"
#include "common/gpu/device.hpp"
#include "common/gpu/launch.hpp"
#include "common/measurement.hpp"
#include "common/parse.hpp"
#include "common/precision.hpp"
#include "dormeth/dormeth_measure.hpp"

namespace korvane::dormeth {

// Block b writes partials[b]: its share of sum_r Re(rho[r][r ^ x_mask] w(r)), w(r) the pass's phase
// sum (Tr(rho P) = sum_r rho[r][r ^ x_mask] w(r)), and, when with_trace, of sum_r Re rho[r][r].
// Launch (cooperative, block_sum holds barriers): 256-thread blocks, any grid, grid-stride loop.
template <class T>
__global__ void __launch_bounds__(kPauliBlock)
    density_pauli_kernel(std::int64_t n, const CuComplex<T>* state, std::uint64_t x_mask, bool with_trace,
                         const PauliWeight* weights, std::uint64_t count, PauliPartial* partials) {
    const std::uint64_t dim = std::uint64_t(1) << n;
    const std::uint64_t stride = std::uint64_t(gridDim.x) * blockDim.x;
    double value = 0.0;
    double trace = 0.0;
    double re = 0.0;
    double im = 0.0;
    for (std::uint64_t r = gpu::global_thread_index(); r < dim; r += stride) {
        const CuComplex<T> e = state[r * dim + (r ^ x_mask)];
        pauli_phase_sum(r, weights, count, re, im);
        value += double(e.re) * re - double(e.im) * im;
        if (with_trace) trace += double(state[r * dim + r].re);
    }
    gpu::block_sum<kPauliBlock>(value, trace);
    if (threadIdx.x == 0) partials[blockIdx.x] = PauliPartial{value, trace};
}

namespace {

void check_trace(double total) {
    if (!(total > 0.0) || !std::isfinite(total)) throw std::runtime_error("density matrix has zero or invalid trace.");
}

template <class T>
std::vector<double> probabilities_typed(const DeviceDensityState& state, const std::vector<std::int64_t>& targets,
                                        bool little) {
    cuda_check(cudaSetDevice(state.device_id()));
    DeviceBuffer<std::int64_t> device_targets;
    if (!targets.empty()) device_targets = DeviceBuffer<std::int64_t>::copy_of(targets.data(), targets.size());
    std::vector<double> probs =
        outcome_probabilities<T>(state, device_targets.get(), static_cast<std::int64_t>(targets.size()), little);
    device_targets.release();
    return probs;
}

template <class T>
double expectation_pauli_typed(const DeviceDensityState& state, const PauliPlan& plan) {
    cuda_check(cudaSetDevice(state.device_id()));
    auto weights = DeviceBuffer<PauliWeight>::copy_of(plan.weights.data(), plan.weights.size());
    const auto geometry = pauli_geometry(static_cast<std::uint64_t>(state.dimension()));
    const PauliSums sums = run_pauli_passes(plan, geometry.grid.x, [&](std::uint64_t p, PauliPartial* partials) {
        const PauliPass& pass = plan.passes[p];
        gpu::launch_cooperative<&density_pauli_kernel<T>>(geometry, nullptr, state.num_qubits(), state.data_as<T>(),
                                                          pass.x_mask, p == 0, weights.get() + pass.first, pass.count,
                                                          partials);
        check_last_error();
    });
    weights.release();
    check_trace(sums.total);
    // The trace reads only the diagonal: a non-finite element elsewhere shows in the value.
    if (!std::isfinite(sums.value)) throw std::runtime_error("density matrix gives a non-finite expectation value.");
    return pauli_expectation(sums.value, sums.total, plan.exponent);
}

}  // namespace

std::vector<double> probabilities(const DeviceDensityState& state, const std::vector<std::int64_t>& targets,
                                  const std::string& endian) {
    check_probability_targets_size(targets.size());
    if (!targets.empty())
        validate_measure_args(state.num_qubits(), targets, endian);
    else
        check_endian(endian);
    std::vector<double> probs = dispatch_precision(
        state.dtype(), [&]<class T>() { return probabilities_typed<T>(state, targets, endian == "little"); });
    double total = 0.0;
    for (double p : probs) total += p;
    check_trace(total);
    for (double& p : probs) p /= total;
    return probs;
}

double expectation_pauli(const DeviceDensityState& state, const std::vector<PauliTerm>& terms) {
    const PauliPlan plan = plan_pauli_sum(terms, static_cast<std::uint64_t>(state.num_qubits()));
    if (plan.passes.empty()) return 0.0;
    return dispatch_precision(state.dtype(), [&]<class T>() { return expectation_pauli_typed<T>(state, plan); });
}

}  // namespace korvane::dormeth
