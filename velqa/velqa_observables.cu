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
#include "common/precision.hpp"
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
// Member y of a batch launch reads its own 2^n amplitudes and writes its own gridDim.x partials.
// Launch (cooperative, block_sum holds barriers): 256-thread blocks, any grid per member, grid-stride loop.
template <class T>
__global__ void __launch_bounds__(kPauliBlock)
    pauli_expectation_kernel(std::int64_t n, const CuComplex<T>* state, std::uint64_t x_mask, std::uint64_t pair_bit,
                             const PauliWeight* weights, std::uint64_t count, PauliPartial* partials) {
    state = korvane::gpu::member_data(state, std::uint64_t(1) << n);
    partials = korvane::gpu::member_data(partials, std::uint64_t(gridDim.x));
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

template <class T>
std::vector<double> probabilities_typed(const StateView& view, const std::vector<std::int64_t>& targets,
                                        bool little_endian) {
    korvane::cuda_check(cudaSetDevice(view.device_id));
    DeviceBuffer<std::int64_t> device_targets;
    if (!targets.empty()) device_targets = DeviceBuffer<std::int64_t>::copy_of(targets.data(), targets.size());
    std::vector<double> probs =
        outcome_probabilities<T>(typed_span<T>(view), targets, device_targets.get(), little_endian);
    device_targets.release();
    return probs;
}

template <class T>
std::vector<double> expectation_pauli_typed(const StateView& view, const korvane::PauliPlan& plan) {
    korvane::cuda_check(cudaSetDevice(view.device_id));
    const StateSpan<T> state = typed_span<T>(view);
    auto weights = DeviceBuffer<PauliWeight>::copy_of(plan.weights.data(), plan.weights.size());
    const auto geometry = korvane::pauli_geometry(view.member_elements());
    // Members per launch: within the device's bound, and as many as a batch of partials holds.
    const std::uint64_t per_launch = std::max<std::uint64_t>(
        1, std::min<std::uint64_t>(state.per_launch, (std::uint64_t(1) << 16) / geometry.grid.x));
    std::vector<double> values(view.members);
    korvane::for_each_member_chunk(view.members, per_launch, [&](std::uint64_t first, std::uint64_t count) {
        const std::vector<korvane::PauliSums> sums =
            korvane::run_pauli_passes(plan, geometry.grid.x, count, [&](std::uint64_t p, PauliPartial* partials) {
                const korvane::PauliPass& pass = plan.passes[p];
                korvane::gpu::launch_cooperative<&pauli_expectation_kernel<T>>(
                    korvane::with_members(geometry, count), nullptr, state.n, state.member(first), pass.x_mask,
                    std::bit_floor(pass.x_mask), weights.get() + pass.first, pass.count, partials);
                korvane::check_last_error();
            });
        for (std::uint64_t b = 0; b < count; ++b) {
            check_norm(sums[b].total, view, first + b);
            values[first + b] = korvane::pauli_expectation(sums[b].value, sums[b].total, plan.exponent);
        }
    });
    weights.release();
    return values;
}

}  // namespace

std::vector<double> probabilities(const StateView& state, const std::vector<std::int64_t>& targets,
                                  const std::string& endian) {
    korvane::check_probability_targets_size(targets.size());
    if (!targets.empty())
        validate_measure_args(state.n, state.member_elements(), targets, endian);
    else
        korvane::check_endian(endian);
    std::vector<double> probs = korvane::dispatch_precision(
        state.dtype, [&]<class T>() { return probabilities_typed<T>(state, targets, endian == "little"); });
    const std::size_t outcomes = probs.size() / state.members;
    for (std::uint64_t b = 0; b < state.members; ++b) {
        double total = 0.0;
        for (std::size_t o = 0; o < outcomes; ++o) total += probs[b * outcomes + o];
        check_norm(total, state, b);
        for (std::size_t o = 0; o < outcomes; ++o) probs[b * outcomes + o] /= total;
    }
    return probs;
}

std::vector<double> expectation_pauli(const StateView& state, const std::vector<korvane::PauliTerm>& terms) {
    const korvane::PauliPlan plan = korvane::plan_pauli_sum(terms, state.n);
    if (plan.passes.empty()) return std::vector<double>(state.members, 0.0);
    return korvane::dispatch_precision(state.dtype, [&]<class T>() { return expectation_pauli_typed<T>(state, plan); });
}

}  // namespace velqa
