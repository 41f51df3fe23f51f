// Observables of a statevector: marginal probabilities through the measurement's probability pass,
// Pauli sums through one reduction pass per X/Y pattern. Block partial sums go to the host, which
// adds them in a fixed order, so the results are reproducible.
#include "velqa/velqa_observables.hpp"

#include <bit>
#include <cmath>
#include <stdexcept>

#include "common/cuda_check.hpp"
#include "common/device_buffer.hpp"
#include "common/gpu/bits.hpp"
#include "common/gpu/block_sum.hpp"
#include "common/gpu/device.hpp"
#include "common/gpu/launch.hpp"
#include "common/measurement.hpp"
#include "common/parse.hpp"
#include "velqa/velqa_measure.hpp"

namespace velqa {

using korvane::DeviceBuffer;
using korvane::PauliPartial;
using korvane::PauliWeight;

using korvane::kPauliBlock;

// Block b writes partials[b]: its share of sum_i Re(conj(psi[i ^ x_mask]) w(i) psi[i]), w(i) the
// pass's phase sum, and of the squared norm. With x_mask != 0 each pair (i, i ^ x_mask) is read once,
// from the i whose bit pair_bit (the highest X/Y bit) is 0; the pair adds twice the real part at i,
// because P is Hermitian.
// Launch (cooperative, block_sum holds barriers): 256-thread blocks, any grid, grid-stride loop.
template <class T>
__global__ void __launch_bounds__(kPauliBlock)
    pauli_expectation_kernel(std::int64_t n, const CuComplex<T>* state, std::uint64_t x_mask, std::uint64_t pair_bit,
                             const PauliWeight* weights, std::uint64_t count, PauliPartial* partials) {
    const std::uint64_t stride = std::uint64_t(gridDim.x) * blockDim.x;
    double value = 0.0;
    double norm = 0.0;
    double re = 0.0;
    double im = 0.0;
    if (x_mask == 0) {
        const std::uint64_t items = std::uint64_t(1) << n;
        for (std::uint64_t i = korvane::gpu::global_thread_index(); i < items; i += stride) {
            const CuComplex<T> a = state[i];
            const double p = double(a.re) * double(a.re) + double(a.im) * double(a.im);
            korvane::pauli_phase_sum(i, weights, count, re, im);
            norm += p;
            value += p * re;
        }
    } else {
        const std::uint64_t items = std::uint64_t(1) << (n - 1);
        for (std::uint64_t q = korvane::gpu::global_thread_index(); q < items; q += stride) {
            const std::uint64_t i = korvane::gpu::insert_zero_bits(q, pair_bit);
            const CuComplex<T> a = state[i];
            const CuComplex<T> b = state[i ^ x_mask];
            const double ar = a.re, ai = a.im, br = b.re, bi = b.im;
            norm += ar * ar + ai * ai + br * br + bi * bi;
            const double cr = br * ar + bi * ai;  // conj(b) a
            const double ci = br * ai - bi * ar;
            korvane::pauli_phase_sum(i, weights, count, re, im);
            value += 2.0 * (cr * re - ci * im);
        }
    }
    korvane::gpu::block_sum<kPauliBlock>(value, norm);
    if (threadIdx.x == 0) partials[blockIdx.x] = PauliPartial{value, norm};
}

namespace {

void check_total(double total) {
    if (!(total > 0.0) || std::isinf(total)) throw std::runtime_error("Quantum state has zero or invalid norm.");
}

template <class T>
std::vector<double> probabilities_typed(const DeviceState& state, const std::vector<std::int64_t>& targets,
                                        bool little_endian) {
    korvane::cuda_check(cudaSetDevice(state.device_id()));
    DeviceBuffer<std::int64_t> device_targets;
    if (!targets.empty()) device_targets = DeviceBuffer<std::int64_t>::copy_of(targets.data(), targets.size());
    std::vector<double> probs =
        outcome_probabilities<T>(state.n(), state.data_as<T>(), targets, device_targets.get(), little_endian);
    device_targets.release();
    return probs;
}

}  // namespace

template <class T>
double expectation_pauli(std::uint64_t n, const CuComplex<T>* data, std::int32_t device_id,
                         const korvane::PauliPlan& plan) {
    if (plan.passes.empty()) return 0.0;
    korvane::cuda_check(cudaSetDevice(device_id));
    auto weights = DeviceBuffer<PauliWeight>::copy_of(plan.weights.data(), plan.weights.size());
    const auto nn = static_cast<std::int64_t>(n);
    const auto geometry = korvane::pauli_geometry(std::uint64_t(1) << n);
    const korvane::PauliSums sums =
        korvane::run_pauli_passes(plan, geometry.grid.x, [&](std::uint64_t p, PauliPartial* partials) {
            const korvane::PauliPass& pass = plan.passes[p];
            korvane::gpu::launch_cooperative<&pauli_expectation_kernel<T>>(
                geometry, nullptr, nn, data, pass.x_mask, std::bit_floor(pass.x_mask), weights.get() + pass.first,
                pass.count, partials);
            korvane::check_last_error();
        });
    weights.release();
    check_total(sums.total);
    return korvane::pauli_expectation(sums.value, sums.total, plan.exponent);
}

template double expectation_pauli<float>(std::uint64_t, const CuComplex<float>*, std::int32_t,
                                         const korvane::PauliPlan&);
template double expectation_pauli<double>(std::uint64_t, const CuComplex<double>*, std::int32_t,
                                          const korvane::PauliPlan&);

std::vector<double> probabilities(const DeviceState& state, const std::vector<std::int64_t>& targets,
                                  const std::string& endian) {
    korvane::check_probability_targets_size(targets.size());
    if (!targets.empty())
        validate_measure_args(state.n(), state.num_state(), targets, endian);
    else
        korvane::check_endian(endian);
    std::vector<double> probs = dispatch_precision(
        state.dtype(), [&]<class T>() { return probabilities_typed<T>(state, targets, endian == "little"); });
    double total = 0.0;
    for (double p : probs) total += p;
    check_total(total);
    for (double& p : probs) p /= total;
    return probs;
}

double expectation_pauli(const DeviceState& state, const std::vector<korvane::PauliTerm>& terms) {
    const korvane::PauliPlan plan = korvane::plan_pauli_sum(terms, state.n());
    return dispatch_precision(state.dtype(), [&]<class T>() {
        return expectation_pauli<T>(state.n(), state.data_as<T>(), state.device_id(), plan);
    });
}

}  // namespace velqa
