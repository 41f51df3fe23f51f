// Projective measurement of chosen qubits of a density matrix: outcome probabilities from the
// diagonal on the device, one draw on the host, collapse and renormalisation on the device.
#include "dormeth/dormeth_measure.hpp"

#include <cfloat>
#include <cmath>
#include <random>
#include <stdexcept>
#include <utility>

#include "common/cuda_check.hpp"
#include "common/device_buffer.hpp"
#include "common/gpu/bits.hpp"
#include "common/gpu/device.hpp"
#include "common/gpu/launch.hpp"
#include "common/measurement.hpp"
#include "common/parse.hpp"
#include "common/precision.hpp"

namespace korvane::dormeth {

// probs[o(x)] += Re rho[x][x] (in double) for every diagonal element x; probs starts zeroed.
// Launch: probability_geometry(dim, k); cooperative when PerBlock.
template <class T, bool PerBlock>
__global__ void __launch_bounds__(kProbabilityThreads, 2)
    density_measure_probs_kernel(std::int64_t n, const CuComplex<T>* state, const std::int64_t* targets, std::int64_t k,
                                 bool little, double* probs) {
    const std::uint64_t dim = std::uint64_t(1) << n;
    add_outcome_weights<PerBlock>(
        dim, std::uint64_t(1) << k, probs, [&](std::uint64_t x) { return static_cast<double>(state[x * dim + x].re); },
        [&](std::uint64_t x) { return outcome_index(x, targets, k, little); });
}

// rho[r][c] *= scale * rescale (in double, in that order) where both r and c have the drawn
// outcome, else 0. The scale 1/p is passed as two finite factors: it overflows double when p is
// subnormal, while the scaled elements stay finite.
// Launch: 32 x 8 blocks over the matrix, x over columns, y over rows, one thread per element.
template <class T>
__global__ void __launch_bounds__(kMatrixTileThreads)
    density_measure_collapse_kernel(std::int64_t n, CuComplex<T>* state, const std::int64_t* targets, std::int64_t k,
                                    bool little, std::uint64_t outcome, double scale, double rescale) {
    const std::uint64_t c = std::uint64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    const std::uint64_t r = std::uint64_t(blockIdx.y) * blockDim.y + threadIdx.y;
    const std::uint64_t dim = std::uint64_t(1) << n;
    if (r >= dim || c >= dim) return;
    CuComplex<T>& element = state[r * dim + c];
    if (outcome_index(r, targets, k, little) == outcome && outcome_index(c, targets, k, little) == outcome)
        element =
            CuComplex<T>{static_cast<T>(element.re * scale * rescale), static_cast<T>(element.im * scale * rescale)};
    else
        element = CuComplex<T>{T(0), T(0)};
}

// Counts in *refused the elements of the drawn outcome's block (the rows and columns whose target
// bits are outcome_bits) that the collapse would make non-finite in T: an element that is not finite,
// or one that scale * rescale takes beyond T's range (possible only when the matrix is not positive
// semidefinite). The collapse runs only when none is.
// block_dim = dim >> k. Launch: matrix_tile_geometry(block_dim), x over the block's columns, y over
// its rows.
template <class T>
__global__ void __launch_bounds__(kMatrixTileThreads)
    density_collapse_check_kernel(std::int64_t n, const CuComplex<T>* state, std::uint64_t target_mask,
                                  std::uint64_t outcome_bits, std::uint64_t block_dim, double scale, double rescale,
                                  unsigned int* refused) {
    const std::uint64_t c = std::uint64_t(blockIdx.x) * blockDim.x + threadIdx.x;
    const std::uint64_t r = std::uint64_t(blockIdx.y) * blockDim.y + threadIdx.y;
    if (r >= block_dim || c >= block_dim) return;
    const std::uint64_t row = gpu::insert_zero_bits(r, target_mask) | outcome_bits;
    const std::uint64_t column = gpu::insert_zero_bits(c, target_mask) | outcome_bits;
    const CuComplex<T> e = state[(row << n) + column];
    // Finite once rounded to T: x - x is 0 exactly for finite x, and float rounds to infinity from
    // the midpoint between its largest value and 2^128 on.
    const auto fits = [](double x) {
        return x - x == 0.0 && (sizeof(T) == sizeof(double) || (x < 0x1.ffffffp127 && x > -0x1.ffffffp127));
    };
    if (!fits(double(e.re) * scale * rescale) || !fits(double(e.im) * scale * rescale)) atomicAdd(refused, 1u);
}

std::uint64_t sample_outcome(const std::vector<double>& probabilities, std::uint64_t seed) {
    double total = 0.0;
    for (double q : probabilities) total += q;
    if (!(total > 0.0) || !std::isfinite(total)) throw std::runtime_error("density matrix has zero or invalid trace.");
    std::mt19937_64 generator(seed);
    const double bound = std::nextafter(total, DBL_MAX);
    const double r = unit_interval_draw(generator()) * bound;
    // The first outcome whose running sum reaches r. Outcomes of probability 0 are passed over, so a
    // draw that lands exactly on a boundary (r = 0 before leading zeros, or r rounded up past the
    // total) still yields an outcome that can occur.
    double running = 0.0;
    std::uint64_t last_possible = 0;
    for (std::uint64_t i = 0; i < probabilities.size(); ++i) {
        running += probabilities[i];
        if (!(probabilities[i] > 0.0)) continue;
        if (running >= r) return i;
        last_possible = i;
    }
    return last_possible;
}

template <class T>
std::vector<double> outcome_probabilities(const DeviceDensityState& state, const std::int64_t* device_targets,
                                          std::int64_t k, bool little) {
    // 2^k <= dim doubles: at most a dim-th of the matrix, so one pass always fits the scratch limit.
    const std::uint64_t outcomes = std::uint64_t(1) << k;
    const std::int64_t n = state.num_qubits();
    DeviceBuffer<double> probs(outcomes);
    cuda_check(cudaMemset(probs.get(), 0, outcomes * sizeof(double)));
    const LaunchGeometry geometry = probability_geometry(static_cast<std::uint64_t>(state.dimension()), k);
    if (per_block_outcomes(k))
        gpu::launch_cooperative<&density_measure_probs_kernel<T, true>>(geometry, nullptr, n, state.data_as<T>(),
                                                                        device_targets, k, little, probs.get());
    else
        gpu::launch<&density_measure_probs_kernel<T, false>>(geometry, nullptr, n, state.data_as<T>(), device_targets,
                                                             k, little, probs.get());
    check_last_error();
    std::vector<double> host(outcomes);
    cuda_check(cudaMemcpy(host.data(), probs.get(), outcomes * sizeof(double), cudaMemcpyDeviceToHost));
    probs.release();
    return host;
}

template std::vector<double> outcome_probabilities<float>(const DeviceDensityState&, const std::int64_t*, std::int64_t,
                                                          bool);
template std::vector<double> outcome_probabilities<double>(const DeviceDensityState&, const std::int64_t*, std::int64_t,
                                                           bool);

void validate_measure_args(std::int64_t n, const std::vector<std::int64_t>& targets, const std::string& endian) {
    if (n < 1 || n > 15) throw std::invalid_argument("num_qubits must be in [1, 15]");
    if (targets.empty()) throw std::invalid_argument("measure targets must not be empty");
    check_endian(endian);
    for (std::size_t j = 0; j < targets.size(); ++j) {
        const std::int64_t t = targets[j];
        if (t < 0 || t >= n) throw std::invalid_argument("measure target index out of range");
        for (std::size_t i = 0; i < j; ++i)
            if (targets[i] == t) throw std::invalid_argument("duplicate measure target index");
    }
}

namespace {

// 1/p as two finite factors: (1/p, 1) whenever 1/p is finite, so the collapse multiplies by 1/p
// exactly as written; for a subnormal p, (1/m) 2^(a - a/2) and 2^(a/2) with p = m 2^-a.
std::pair<double, double> collapse_factors(double p) {
    const double scale = 1.0 / p;
    if (std::isfinite(scale)) return {scale, 1.0};
    int exponent = 0;
    const double mantissa = std::frexp(p, &exponent);
    const int a = -exponent;
    return {std::ldexp(1.0 / mantissa, a - a / 2), std::ldexp(1.0, a / 2)};
}

// Refuses, before the state changes, a collapse onto outcome o that would leave a non-finite element.
template <class T>
void check_collapse(const DeviceDensityState& state, const std::vector<std::int64_t>& targets, bool little,
                    std::uint64_t o, double scale, double rescale) {
    const std::size_t k = targets.size();
    std::uint64_t target_mask = 0;
    std::uint64_t outcome_bits = 0;
    for (std::size_t j = 0; j < k; ++j) {
        const std::size_t bit = little ? j : k - 1 - j;
        target_mask |= std::uint64_t(1) << targets[j];
        outcome_bits |= ((o >> bit) & 1) << targets[j];
    }
    DeviceBuffer<unsigned int> refused(1);
    cuda_check(cudaMemset(refused.get(), 0, sizeof(unsigned int)));
    const std::uint64_t block_dim = static_cast<std::uint64_t>(state.dimension()) >> k;
    gpu::launch<&density_collapse_check_kernel<T>>(matrix_tile_geometry(block_dim), nullptr, state.num_qubits(),
                                                   state.data_as<T>(), target_mask, outcome_bits, block_dim, scale,
                                                   rescale, refused.get());
    check_last_error();
    unsigned int count = 0;
    cuda_check(cudaMemcpy(&count, refused.get(), sizeof(unsigned int), cudaMemcpyDeviceToHost));
    refused.release();
    if (count != 0) throw std::runtime_error("density matrix gives a non-finite collapse.");
}

template <class T>
std::uint64_t measure_typed(DeviceDensityState& state, const std::vector<std::int64_t>& targets, bool little,
                            std::uint64_t seed) {
    const std::int64_t n = state.num_qubits();
    const auto k = static_cast<std::int64_t>(targets.size());
    cuda_check(cudaSetDevice(state.device_id()));
    auto device_targets = DeviceBuffer<std::int64_t>::copy_of(targets.data(), targets.size());
    const std::vector<double> host = outcome_probabilities<T>(state, device_targets.get(), k, little);

    const auto dim = static_cast<std::uint64_t>(state.dimension());
    const std::uint64_t o = sample_outcome(host, seed);
    const double p = host[o];
    if (!(p > 0.0)) throw std::runtime_error("Selected measurement probability is zero.");
    const auto [scale, rescale] = collapse_factors(p);
    check_collapse<T>(state, targets, little, o, scale, rescale);
    gpu::launch<&density_measure_collapse_kernel<T>>(matrix_tile_geometry(dim), nullptr, n, state.data_as<T>(),
                                                     device_targets.get(), k, little, o, scale, rescale);
    check_last_error();
    device_targets.release();
    return o;
}

}  // namespace

std::string measure(DeviceDensityState& state, const std::vector<std::int64_t>& targets, const std::string& endian,
                    std::uint64_t seed) {
    validate_measure_args(state.num_qubits(), targets, endian);
    const bool little = endian == "little";
    const std::uint64_t o =
        dispatch_precision(state.dtype(), [&]<class T>() { return measure_typed<T>(state, targets, little, seed); });
    return outcome_string(o, targets.size());
}

}  // namespace korvane::dormeth
