// Measurement and sampling: outcome probabilities on the device, draws on the host with a seeded
// MT19937-64, collapse on the device. Outcome o of index i: with endian "little" target j
// supplies bit j of o, with "big" bit k-1-j; bit strings write bit k-1 of o first.
#include "velqa/velqa_measure.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "common/cuda_check.hpp"
#include "common/device_buffer.hpp"
#include "common/gpu/bits.hpp"
#include "common/gpu/device.hpp"
#include "common/gpu/launch.hpp"
#include "common/measurement.hpp"
#include "common/parse.hpp"
#include "common/precision.hpp"

namespace velqa {

using korvane::cuda_check;
using korvane::DeviceBuffer;

// probs[o] += |state[i]|^2 in double over one window of outcomes: i runs over the indices whose bits
// at fixed_mask equal fixed_value (every index when fixed_mask is 0) and o is the outcome of i modulo
// the window size. probs starts zeroed. The fixed bits are those of targets that supply outcome
// bits above the window, so each window's amplitudes are read once. Member y of a batch launch
// reads its own 2^n amplitudes and adds to its own window of probs, window entries further per member.
// Launch: probability_geometry(2^(n - |fixed_mask|), k) per member; cooperative when PerBlock.
template <class T, bool PerBlock>
__global__ void __launch_bounds__(korvane::kProbabilityThreads, 2)
    measure_probs_kernel(std::int64_t n, const CuComplex<T>* state, const std::int64_t* targets, std::int64_t k,
                         bool little_endian, double* probs, std::uint64_t fixed_mask, std::uint64_t fixed_value,
                         std::uint64_t window) {
    state = korvane::gpu::member_data(state, std::uint64_t(1) << n);
    probs = korvane::gpu::member_data(probs, window);
    const auto index = [&](std::uint64_t t) { return korvane::gpu::insert_zero_bits(t, fixed_mask) | fixed_value; };
    korvane::add_outcome_weights<PerBlock>(
        std::uint64_t(1) << (n - std::popcount(fixed_mask)), window, probs,
        [&](std::uint64_t t) {
            const CuComplex<T> a = state[index(t)];
            return double(a.re) * double(a.re) + double(a.im) * double(a.im);
        },
        [&](std::uint64_t t) { return korvane::outcome_index(index(t), targets, k, little_endian) & (window - 1); });
}

// A member's collapse: the outcome it keeps and the scale 1/sqrt(p).
struct MemberCollapse {
    std::uint64_t outcome;
    double scale;
};

// Keeps the amplitudes of the drawn outcome, scaled; zeroes the rest. The product is formed in
// double and rounded once: 1/sqrt(p) of a tiny p does not fit a float, the scaled amplitude does.
// Member y of a batch launch collapses to its entry of members when there is one.
// Launch: 256-thread blocks, 2^n threads, one per amplitude, per member.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    measure_collapse_kernel(std::int64_t n, CuComplex<T>* state, const std::int64_t* targets, std::int64_t k,
                            bool little_endian, std::uint64_t outcome, double scale, const MemberCollapse* members) {
    const std::uint64_t i = korvane::gpu::global_thread_index();
    if (i >= (std::uint64_t(1) << n)) return;
    const MemberCollapse c = korvane::gpu::member_value(MemberCollapse{outcome, scale}, members);
    CuComplex<T>& a = korvane::gpu::member_data(state, std::uint64_t(1) << n)[i];
    if (korvane::outcome_index(i, targets, k, little_endian) == c.outcome)
        a = CuComplex<T>{static_cast<T>(double(a.re) * c.scale), static_cast<T>(double(a.im) * c.scale)};
    else
        a = CuComplex<T>{T(0), T(0)};
}

void check_shots(std::uint64_t shots) {
    if (shots == 0) throw std::invalid_argument("shots must be positive");
    if (shots > kMaxShots) throw std::invalid_argument("shots must be at most 2**48");
}

void validate_measure_args(std::uint64_t n, std::uint64_t num_state, const std::vector<std::int64_t>& targets,
                           const std::string& endian) {
    if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
    if (num_state != (std::uint64_t(1) << n)) throw std::invalid_argument("state size does not match 2**n");
    if (targets.empty() || targets.size() > 62) throw std::invalid_argument("measure targets size must be in [1, 62]");
    korvane::check_endian(endian);
    for (auto it = targets.begin(); it != targets.end(); ++it) {
        const std::int64_t t = *it;
        if (t < 0 || static_cast<std::uint64_t>(t) >= n)
            throw std::invalid_argument("measure target index out of range");
        if (std::find(targets.begin(), it, t) != it) throw std::invalid_argument("duplicate measure target index");
    }
}

namespace {

// The outcome of one draw r in [0, total]: the first index whose running sum exceeds r. When
// rounding leaves r at total, the last outcome of non-zero probability (never one that cannot occur).
std::uint64_t draw_outcome(std::span<const double> cdf, double r) {
    auto it = std::upper_bound(cdf.begin(), cdf.end(), r);
    if (it == cdf.end()) it = std::lower_bound(cdf.begin(), cdf.end(), cdf.back());
    return static_cast<std::uint64_t>(it - cdf.begin());
}

// Calls poll every kInterruptPollSeconds of drawing; the clock is read every 1024 draws.
class PollTimer {
  public:
    explicit PollTimer(const InterruptPoll& poll) : poll_(&poll), last_(std::chrono::steady_clock::now()) {}
    void draw_done(std::uint64_t draw) {
        if (!*poll_ || (draw & 1023) != 1023) return;
        const auto now = std::chrono::steady_clock::now();
        if (std::chrono::duration<double>(now - last_).count() < kInterruptPollSeconds) return;
        (*poll_)();
        last_ = std::chrono::steady_clock::now();
    }

  private:
    const InterruptPoll* poll_;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace

template <class T>
std::vector<double> outcome_probabilities(const StateSpan<T>& state, const std::vector<std::int64_t>& targets,
                                          const std::int64_t* device_targets, bool little_endian) {
    const auto n = static_cast<std::uint64_t>(state.n);
    const std::size_t k = targets.size();
    const std::uint64_t outcomes = std::uint64_t(1) << k;
    // A window of 2^w outcomes per pass keeps the device vector within a member's scratch limit (as
    // for a single state); the targets that supply the outcome bits above w are fixed per pass.
    const std::size_t member_bytes = (std::size_t(1) << n) * sizeof(CuComplex<T>);
    const std::size_t limit = korvane::scratch_limit_bytes(member_bytes);
    std::size_t w = k;
    while ((std::size_t(8) << w) > limit) --w;
    const std::uint64_t window = std::uint64_t(1) << w;
    std::uint64_t fixed_mask = 0;
    for (std::size_t j = 0; j < k; ++j) {
        const std::size_t bit = little_endian ? j : k - 1 - j;
        if (bit >= w) fixed_mask |= std::uint64_t(1) << targets[j];
    }
    // Members per pass: as many windows as the batch's scratch limit holds, at least one.
    const std::uint64_t per_pass = std::max<std::uint64_t>(
        1, std::min<std::uint64_t>(state.per_launch,
                                   korvane::scratch_limit_bytes(state.members * member_bytes) / (std::size_t(8) << w)));
    const std::uint64_t chunk = std::min(per_pass, state.members);
    std::vector<double> probs(state.members * outcomes);
    DeviceBuffer<double> device_probs(chunk * window);
    const auto nn = static_cast<std::int64_t>(n);
    const auto kk = static_cast<std::int64_t>(k);
    const auto geometry = korvane::probability_geometry(
        std::uint64_t(1) << (n - static_cast<std::uint64_t>(std::popcount(fixed_mask))), kk);
    korvane::for_each_member_chunk(state.members, chunk, [&](std::uint64_t first_member, std::uint64_t members) {
        const CuComplex<T>* data = state.member(first_member);
        const auto pass = korvane::with_members(geometry, members);
        for (std::uint64_t first = 0; first < outcomes; first += window) {
            // Outcome bit b >= w of this window, set on the qubit of the target that supplies it.
            std::uint64_t fixed_value = 0;
            for (std::size_t j = 0; j < k; ++j) {
                const std::size_t bit = little_endian ? j : k - 1 - j;
                if (bit >= w) fixed_value |= ((first >> bit) & 1) << targets[j];
            }
            cuda_check(cudaMemset(device_probs.get(), 0, members * window * sizeof(double)));
            if (korvane::per_block_outcomes(kk))
                korvane::gpu::launch_cooperative<&measure_probs_kernel<T, true>>(
                    pass, nullptr, nn, data, device_targets, kk, little_endian, device_probs.get(), fixed_mask,
                    fixed_value, window);
            else
                korvane::gpu::launch<&measure_probs_kernel<T, false>>(pass, nullptr, nn, data, device_targets, kk,
                                                                      little_endian, device_probs.get(), fixed_mask,
                                                                      fixed_value, window);
            korvane::check_last_error();
            // One copy when a window holds every outcome (the members' vectors then lie end to end).
            const std::uint64_t copies = window == outcomes ? 1 : members;
            const std::uint64_t per_copy = window == outcomes ? members * window : window;
            for (std::uint64_t b = 0; b < copies; ++b)
                cuda_check(cudaMemcpy(probs.data() + (first_member + b) * outcomes + first,
                                      device_probs.get() + b * window, per_copy * sizeof(double),
                                      cudaMemcpyDeviceToHost));
        }
    });
    device_probs.release();
    return probs;
}

void check_norm(double total, const StateView& state, std::uint64_t member) {
    if (total > 0.0 && !std::isinf(total)) return;
    if (!state.batch) throw std::runtime_error("Quantum state has zero or invalid norm.");
    throw std::runtime_error("Quantum state has zero or invalid norm (member " + std::to_string(member) + ").");
}

namespace {

// Member b's draws, from its probabilities (outcome order) and its seed: the sampling of a single
// state. Fills result; returns the last outcome.
std::uint64_t draw_member(std::span<const double> cdf, std::size_t k, std::uint64_t shots, std::uint64_t seed,
                          PollTimer& timer, std::uint64_t& draws, SampleResult& result) {
    const std::uint64_t outcomes = cdf.size();
    const double total = cdf.back();
    std::mt19937_64 generator(seed);
    const auto draw = [&]() {
        const double u = korvane::unit_interval_draw(generator());
        return draw_outcome(cdf, total * u);
    };
    std::uint64_t last = 0;
    if (shots > outcomes) {
        std::vector<std::uint64_t> counts(outcomes, 0);
        for (std::uint64_t s = 0; s < shots; ++s) {
            ++counts[last = draw()];
            timer.draw_done(draws++);
        }
        for (std::uint64_t o = 0; o < outcomes; ++o)
            if (counts[o]) result.counts.emplace(korvane::outcome_string(o, k), counts[o]);
    } else {
        std::unordered_map<std::uint64_t, std::uint64_t> counts;
        counts.reserve(std::min<std::uint64_t>(shots, 1048576));
        for (std::uint64_t s = 0; s < shots; ++s) {
            ++counts[last = draw()];
            timer.draw_done(draws++);
        }
        for (const auto& [o, count] : counts) result.counts.emplace(korvane::outcome_string(o, k), count);
    }
    result.last = korvane::outcome_string(last, k);
    return last;
}

template <class T>
std::vector<SampleResult> sample_typed(const StateView& view, const std::vector<std::int64_t>& targets,
                                       const std::string& endian, std::uint64_t shots, std::uint64_t seed,
                                       bool collapse, const InterruptPoll& poll) {
    const std::size_t k = targets.size();
    // 2^k doubles need k + 3 bits of byte count: refused like any allocation that cannot be made.
    if (k + 3 > 63) cuda_check(cudaErrorMemoryAllocation);
    const std::uint64_t outcomes = std::uint64_t(1) << k;
    const StateSpan<T> state = typed_span<T>(view);
    DeviceBuffer<std::int64_t> device_targets(k);
    cuda_check(cudaMemcpy(device_targets.get(), targets.data(), k * sizeof(std::int64_t), cudaMemcpyHostToDevice));

    const bool little_endian = endian == "little";
    const auto nn = static_cast<std::int64_t>(view.n);
    const auto kk = static_cast<std::int64_t>(k);
    // Every member's probabilities, norm and draws, member by member, before any collapse. Each
    // member's running sums replace its probabilities in place.
    std::vector<double> cdf = outcome_probabilities<T>(state, targets, device_targets.get(), little_endian);
    const auto member_cdf = [&](std::uint64_t b) {
        return std::span<const double>(cdf).subspan(b * outcomes, outcomes);
    };
    for (std::uint64_t b = 0; b < view.members; ++b) {
        double* sums = cdf.data() + b * outcomes;
        for (std::uint64_t o = 1; o < outcomes; ++o) sums[o] += sums[o - 1];
        check_norm(sums[outcomes - 1], view, b);
    }
    std::vector<SampleResult> results(view.members);
    std::vector<MemberCollapse> collapses(view.members);
    PollTimer timer(poll);
    std::uint64_t draws = 0;
    for (std::uint64_t b = 0; b < view.members; ++b) {
        const std::span<const double> sums = member_cdf(b);
        const std::uint64_t last = draw_member(sums, k, shots, seed + b, timer, draws, results[b]);
        const double p = sums[last] - (last > 0 ? sums[last - 1] : 0.0);
        if (collapse && !(p > 0.0)) throw std::runtime_error("Selected measurement probability is zero.");
        collapses[b] = MemberCollapse{last, 1.0 / std::sqrt(p)};
    }

    if (collapse) {
        const MemberCollapse* per_member = nullptr;
        DeviceBuffer<MemberCollapse> device_collapses;
        if (view.members > 1) {
            device_collapses = DeviceBuffer<MemberCollapse>::copy_of(collapses.data(), collapses.size());
            per_member = device_collapses.get();
        }
        const auto geometry = korvane::linear_geometry(std::uint64_t(1) << view.n);
        state.for_each_launch([&](std::uint64_t first, std::uint64_t count) {
            korvane::gpu::launch<&measure_collapse_kernel<T>>(
                korvane::with_members(geometry, count), nullptr, nn, state.member(first), device_targets.get(), kk,
                little_endian, collapses[first].outcome, collapses[first].scale,
                per_member ? per_member + first : nullptr);
            korvane::check_last_error();
        });
        device_collapses.release();
    }
    device_targets.release();
    return results;
}

}  // namespace

std::vector<SampleResult> sample_measure(const StateView& state, const std::vector<std::int64_t>& targets,
                                         const std::string& endian, std::uint64_t shots, std::uint64_t seed,
                                         bool collapse, const InterruptPoll& poll) {
    validate_measure_args(state.n, state.member_elements(), targets, endian);
    check_shots(shots);
    cuda_check(cudaSetDevice(state.device_id));
    return korvane::dispatch_precision(
        state.dtype, [&]<class T>() { return sample_typed<T>(state, targets, endian, shots, seed, collapse, poll); });
}

template std::vector<double> outcome_probabilities<float>(const StateSpan<float>&, const std::vector<std::int64_t>&,
                                                          const std::int64_t*, bool);
template std::vector<double> outcome_probabilities<double>(const StateSpan<double>&, const std::vector<std::int64_t>&,
                                                           const std::int64_t*, bool);

}  // namespace velqa
