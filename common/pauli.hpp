// Pauli sums for expectation values, shared by both modules: the caller's terms, checked and
// grouped into passes over the state (pure CPU), the per-index phase the kernels evaluate, and the
// host side of the passes' block-wise reduction.
//
// A Pauli string P with X/Y positions x_mask, Y/Z positions z_mask and y Y letters maps a basis
// state |i> to i^y (-1)^popcount(i & z_mask) |i ^ x_mask>. Terms with the same x_mask touch the same
// pairs of elements and share one pass; within a pass each term contributes its coefficient times
// i^y (its weight) times the sign of the index.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/cuda_check.hpp"
#include "common/device_buffer.hpp"
#include "common/gpu/bits.hpp"
#include "common/gpu/launch_geometry.hpp"
#include "common/gpu/runtime.hpp"

namespace korvane {

// One term as the caller gives it: paulis[j] acts on qubits[j], the identity elsewhere.
struct PauliTerm {
    double coefficient = 0.0;
    std::string paulis;
    std::vector<std::int64_t> qubits;
};

// One term on the device: the Y/Z positions and coefficient * 2^-exponent * i^y as a complex number
// (the plan's exponent, below).
struct PauliWeight {
    std::uint64_t z_mask;
    double re;
    double im;
};

// The terms sharing one X/Y pattern: weights[first, first + count) of the plan.
struct PauliPass {
    std::uint64_t x_mask;
    std::uint64_t first;
    std::uint64_t count;
};

// The weights are the coefficients scaled by 2^-exponent, with the exponent the smallest that is at
// least 0 and makes the scaled coefficients' absolute values sum to at most 1. A pass's phase sum
// then never overflows, however large the coefficients, and the sums of a state of finite total stay
// finite; scaling by a power of two is exact, so ordinary sums give the same bits as unscaled ones.
struct PauliPlan {
    std::vector<PauliWeight> weights;  // grouped by pass
    std::vector<PauliPass> passes;     // in the order their patterns first appear
    int exponent = 0;
};

// Checks every term against num_qubits and groups the terms by X/Y pattern. Raises
// std::invalid_argument naming the term's index ("Pauli term 3: ...") for a letter other than
// I, X, Y, Z, a length mismatch, a qubit out of range or repeated, or a coefficient that is not
// finite, in that order within a term and term by term.
PauliPlan plan_pauli_sum(const std::vector<PauliTerm>& terms, std::uint64_t num_qubits);

// The expectation value value / total of a plan's sums, scaled back by its exponent. The caller
// has checked the total. A value beyond the double range (a sum of large coefficients) raises
// std::overflow_error ("Pauli sum expectation value is out of the float range").
double pauli_expectation(double value, double total, int exponent);

// Sum over a pass's weights of weight * (-1)^popcount(index & z_mask): the factor <index ^ x_mask|
// sum_t c_t P_t |index> of the pass, as re + i im.
__host__ __device__ __forceinline__ void pauli_phase_sum(std::uint64_t index, const PauliWeight* weights,
                                                         std::uint64_t count, double& re, double& im) {
    re = 0.0;
    im = 0.0;
    for (std::uint64_t t = 0; t < count; ++t) {
        const PauliWeight w = weights[t];
        if (gpu::parity(index & w.z_mask)) {
            re -= w.re;
            im -= w.im;
        } else {
            re += w.re;
            im += w.im;
        }
    }
}

// Both modules' Pauli kernels: 256-thread blocks, at most 1024 of them (about one resident wave on
// the largest GPUs; the threads walk the rest with a grid stride), and at least 64 items (amplitudes
// or rows) a thread: small states run few blocks, which keeps the cost of the block sums (and, on the
// host device, of running every thread as a fiber) small next to the reads. From 2^24 items on, the
// grid is the full 1024 blocks.
constexpr unsigned kPauliBlock = 256;
inline LaunchGeometry pauli_geometry(std::uint64_t items) {
    constexpr std::uint64_t kMaxBlocks = 1024;
    constexpr std::uint64_t kItemsPerThread = 64;
    return capped_geometry((items + kItemsPerThread - 1) / kItemsPerThread, kPauliBlock, kMaxBlocks);
}

// Block partials of one pass: the pass's part of Re <P> and the state's total, summed per block.
struct PauliPartial {
    double value;
    double total;
};

// What the passes of a plan sum to: the value summed over every pass and the total of the first.
struct PauliSums {
    double value = 0.0;
    double total = 0.0;
};

// Runs the passes of a plan on the current device for `members` states at once (a batch's members,
// one for a single state). launch(pass, partials) queues one pass, which writes one PauliPartial per
// block for blocks blocks per member, member y's from partials + y blocks. Passes run in batches so
// that the partials take a bounded amount of device memory (1 MiB, or one pass's when that is more);
// each batch costs one copy to the host, where each member's partials are added in pass and block
// order (so the result is reproducible, and a member's the same as for a state equal to it alone).
template <class Launch>
std::vector<PauliSums> run_pauli_passes(const PauliPlan& plan, std::uint64_t blocks, std::uint64_t members,
                                        Launch&& launch) {
    constexpr std::uint64_t kBatchPartials = std::uint64_t(1) << 16;  // 1 MiB of partials
    const std::uint64_t passes = plan.passes.size();
    const std::uint64_t per_pass = blocks * members;
    const std::uint64_t batch = std::max<std::uint64_t>(1, std::min(passes, kBatchPartials / per_pass));
    DeviceBuffer<PauliPartial> partials(batch * per_pass);
    std::vector<PauliPartial> host(batch * per_pass);
    std::vector<PauliSums> sums(members);
    for (std::uint64_t begin = 0; begin < passes; begin += batch) {
        const std::uint64_t end = std::min(passes, begin + batch);
        for (std::uint64_t p = begin; p < end; ++p) launch(p, partials.get() + (p - begin) * per_pass);
        const std::uint64_t count = (end - begin) * per_pass;
        cuda_check(cudaMemcpy(host.data(), partials.get(), count * sizeof(PauliPartial), cudaMemcpyDeviceToHost));
        for (std::uint64_t m = 0; m < members; ++m) {
            for (std::uint64_t p = begin; p < end; ++p) {
                const PauliPartial* pass = host.data() + (p - begin) * per_pass + m * blocks;
                double value = 0.0;
                double total = 0.0;
                for (std::uint64_t b = 0; b < blocks; ++b) {
                    value += pass[b].value;
                    total += pass[b].total;
                }
                sums[m].value += value;
                if (p == 0) sums[m].total = total;
            }
        }
    }
    partials.release();
    return sums;
}

// The passes of a plan for one state.
template <class Launch>
PauliSums run_pauli_passes(const PauliPlan& plan, std::uint64_t blocks, Launch&& launch) {
    return run_pauli_passes(plan, blocks, 1, std::forward<Launch>(launch)).front();
}

}  // namespace korvane
