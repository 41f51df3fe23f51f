// UNITARY: a caller's 2^K x 2^K matrix on K targets, optionally controlled. Entry j of the target
// list supplies bit j of the matrix row and column index. One and two targets update in place with
// the matrix inside the kernel arguments; three to five in place with the matrix in device memory;
// six and more read the state from before the gate and write into a scratch copy of it. Unlike the
// named gates the launcher allocates device memory and drains the stream before returning.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "common/device_buffer.hpp"
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {

using korvane::DeviceBuffer;

using scheme::global_thread_index;
using scheme::pair_index;

namespace {

// The four amplitudes of one base (both target bits clear) under a 4x4 matrix; b0 is the bit of
// the first listed target (bit 0 of the local index), b1 that of the second.
template <class T>
__device__ __forceinline__ void update_quad(CuComplex<T>* state, std::uint64_t base, std::uint64_t b0, std::uint64_t b1,
                                            const Unitary4x4<T>& U) {
    const std::uint64_t index[4] = {base, base | b0, base | b1, base | b0 | b1};
    CuComplex<T> x[4];
    for (int c = 0; c < 4; ++c) x[c] = state[index[c]];
    for (int r = 0; r < 4; ++r) {
        CuComplex<T> acc = U.m[4 * r] * x[0];
        for (int c = 1; c < 4; ++c) acc += U.m[4 * r + c] * x[c];
        state[index[r]] = acc;
    }
}

// Base index of thread t for two targets: 0 bits inserted at lo, then at hi (lo < hi).
__device__ __forceinline__ std::uint64_t two_target_base(std::uint64_t t, std::int32_t lo, std::int32_t hi) {
    return pair_index(pair_index(t, std::uint64_t(1) << lo), std::uint64_t(1) << hi);
}

}  // namespace

// Launch: 256-thread blocks, 2^(n-1) threads, one per pair.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_unitary_1q_inplace_kernel(std::int64_t n, CuComplex<T>* state, std::int32_t target, std::uint64_t ctrl_mask,
                                 std::uint64_t ctrl_value, Unitary2x2<T> U) {
    scheme::pair_body(n, state, target, ctrl_mask, ctrl_value, MatrixUpdate<T>{U});
}

// The four 1-target AutoPair kernels. Launch: 256-thread blocks, count threads.
VELQA_AUTOPAIR_KERNELS(unitary_1q_compact, unitary_1q_target0_compact, unitary_1q_no_control,
                       unitary_1q_target0_no_control, MatrixUpdate<T>{U}, Unitary2x2<T> U)

// Launch: 256-thread blocks, 2^(n-2) threads, one per base with both target bits clear.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_unitary_2q_inplace_kernel(std::int64_t n, CuComplex<T>* state, std::int32_t t0, std::int32_t t1,
                                 std::uint64_t ctrl_mask, std::uint64_t ctrl_value, Unitary4x4<T> U) {
    const std::uint64_t t = global_thread_index();
    if (t >= (std::uint64_t(1) << (n - 2))) return;
    const std::uint64_t base = two_target_base(t, t0 < t1 ? t0 : t1, t0 < t1 ? t1 : t0);
    if ((base & ctrl_mask) != ctrl_value) return;
    update_quad(state, base, std::uint64_t(1) << t0, std::uint64_t(1) << t1, U);
}

// Launch: 256-thread blocks, count = 2^(n-k-2) threads, one per matching base; mask holds the
// controls and both targets.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    unitary_2q_compact(std::uint64_t count, CuComplex<T>* state, std::uint64_t mask, std::uint64_t value,
                       std::uint64_t b0, std::uint64_t b1, Unitary4x4<T> U) {
    const std::uint64_t t = global_thread_index();
    if (t >= count) return;
    update_quad(state, korvane::gpu::insert_zero_bits(t, mask) | value, b0, b1, U);
}

// Launch: 256-thread blocks, count = 2^(n-2) threads, one per base.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    unitary_2q_no_control(std::uint64_t count, CuComplex<T>* state, std::int32_t lo, std::int32_t hi, std::uint64_t b0,
                          std::uint64_t b1, Unitary4x4<T> U) {
    const std::uint64_t t = global_thread_index();
    if (t >= count) return;
    update_quad(state, two_target_base(t, lo, hi), b0, b1, U);
}

// One target is qubit 0: the first listed one when FirstIsQubit0, else the second; other is the
// bit of the remaining target. With controls, mask and value enumerate the matching bases.
// Launch: 256-thread blocks, count = 2^(n-k-2) threads, one per (matching) base.
template <class T, bool FirstIsQubit0, bool HasControls>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    unitary_2q_target0(std::uint64_t count, CuComplex<T>* state, std::uint64_t other, std::uint64_t mask,
                       std::uint64_t value, Unitary4x4<T> U) {
    const std::uint64_t t = global_thread_index();
    if (t >= count) return;
    std::uint64_t base;
    if constexpr (HasControls)
        base = korvane::gpu::insert_zero_bits(t, mask) | value;
    else
        base = pair_index(t << 1, other);
    update_quad(state, base, FirstIsQubit0 ? std::uint64_t(1) : other, FirstIsQubit0 ? other : std::uint64_t(1), U);
}

// K = 3, 4 or 5 targets in place; matrix is the device copy, targets in the caller's order,
// sorted_targets ascending (they drive the base expansion).
// Launch: 256-thread blocks, 2^(n-K) threads, one per base with every target bit clear.
template <class T, int K>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_unitary_inplace_kernel(std::int64_t n, CuComplex<T>* state, const std::int64_t* targets,
                              const std::int64_t* sorted_targets, std::uint64_t /*target_mask*/,
                              std::uint64_t ctrl_mask, std::uint64_t ctrl_value, const CuComplex<T>* matrix) {
    constexpr int dim = 1 << K;
    const std::uint64_t t = global_thread_index();
    if (t >= (std::uint64_t(1) << (n - K))) return;
    std::uint64_t base = t;
    for (int j = 0; j < K; ++j) base = pair_index(base, std::uint64_t(1) << sorted_targets[j]);
    if ((base & ctrl_mask) != ctrl_value) return;
    std::uint64_t offset[dim];
    offset[0] = 0;
    for (int j = 0; j < K; ++j) {
        const std::uint64_t bit = std::uint64_t(1) << targets[j];
        for (int c = 0; c < (1 << j); ++c) offset[(1 << j) + c] = offset[c] | bit;
    }
    CuComplex<T> x[dim];
    for (int c = 0; c < dim; ++c) x[c] = state[base | offset[c]];
    for (int r = 0; r < dim; ++r) {
        const CuComplex<T>* row = matrix + r * dim;
        CuComplex<T> acc = row[0] * x[0];
        for (int c = 1; c < dim; ++c) acc += row[c] * x[c];
        state[base | offset[r]] = acc;
    }
}

// K >= 6 targets out of place: output starts as a copy of input; each thread whose index matches
// the controls writes its row of the matrix applied to the input amplitudes of its base.
// Launch: 256-thread blocks, 2^n threads, one per output amplitude.
template <class T>
__global__ void __launch_bounds__(korvane::kLinearBlockThreads)
    cu_unitary_kernel(std::int64_t n, const CuComplex<T>* input, CuComplex<T>* output, const std::int64_t* targets,
                      std::int64_t K, std::uint64_t target_mask, std::uint64_t ctrl_mask, std::uint64_t ctrl_value,
                      const CuComplex<T>* matrix, std::int64_t dim) {
    const std::uint64_t i = global_thread_index();
    if (i >= (std::uint64_t(1) << n) || (i & ctrl_mask) != ctrl_value) return;
    std::uint64_t r = 0;
    for (std::int64_t j = 0; j < K; ++j) r |= ((i >> targets[j]) & 1) << j;
    const std::uint64_t base = i & ~target_mask;
    const std::uint64_t last = static_cast<std::uint64_t>(dim) - 1;
    const CuComplex<T>* row = matrix + r * static_cast<std::uint64_t>(dim);
    CuComplex<T> acc{T(0), T(0)};
    std::uint64_t offset = 0;  // scatter(c): bit j of c moved to qubit targets[j]
    for (std::uint64_t c = 0;; ++c) {
        acc += row[c] * input[base | offset];
        if (c == last) break;
        // c -> c + 1 flips the trailing ones of c and the zero above them.
        std::uint64_t flipped = c ^ (c + 1);
        for (std::int64_t j = 0; flipped; ++j, flipped >>= 1)
            if (flipped & 1) offset ^= std::uint64_t(1) << targets[j];
    }
    output[i] = acc;
}

namespace {

using korvane::linear_geometry;
using korvane::gpu::launch;

// The 1-target AutoPair table is the standard one.
struct unitary_1q_gate : scheme::GateDefaults {
    template <class T>
    static constexpr auto compact = &unitary_1q_compact<T>;
    template <class T>
    static constexpr auto target0_compact = &unitary_1q_target0_compact<T>;
    template <class T>
    static constexpr auto no_control = &unitary_1q_no_control<T>;
    template <class T>
    static constexpr auto target0_no_control = &unitary_1q_target0_no_control<T>;
};

// The matrix rounded to the state's precision, part by part.
template <class T>
std::vector<CuComplex<T>> host_matrix(const std::vector<std::complex<double>>& matrix) {
    std::vector<CuComplex<T>> out(matrix.size());
    std::transform(matrix.begin(), matrix.end(), out.begin(), [](const std::complex<double>& z) {
        return CuComplex<T>{static_cast<T>(z.real()), static_cast<T>(z.imag())};
    });
    return out;
}

template <class E>
void upload(const DeviceBuffer<E>& buffer, const E* host, std::size_t count, cudaStream_t stream) {
    korvane::cuda_check(cudaMemcpyAsync(buffer.get(), host, count * sizeof(E), cudaMemcpyHostToDevice, stream));
}

// Validation in the order callers see the messages; the qubit checks that keep the kernels inside
// the state come last. Returns the target mask.
std::uint64_t validate_unitary(std::int64_t n, const std::vector<std::int64_t>& targets,
                               const std::vector<std::int64_t>& controls,
                               const std::vector<std::int64_t>& control_state, std::size_t elements, std::int64_t dim,
                               ControlMasks& masks) {
    const std::size_t K = targets.size();
    if (K == 0) throw std::invalid_argument("UNITARY gate requires at least one target.");
    if (K > 62 || dim != (std::int64_t(1) << K))
        throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
    // dim * dim may not fit in 64 bits; compare by division.
    const auto d = static_cast<std::uint64_t>(dim);
    if (elements % d != 0 || elements / d != d) throw std::invalid_argument("UNITARY matrix size mismatch.");
    masks = build_control_masks(controls, control_state);
    std::uint64_t target_mask = 0;
    for (const std::int64_t t : targets) {
        if (t < 0 || t > 62) throw std::invalid_argument("target qubit index must be in [0, 62]");
        target_mask |= std::uint64_t(1) << t;
    }
    check_gate_qubits(static_cast<std::uint64_t>(n), targets, controls);
    return target_mask;
}

template <class T, int K>
void launch_inplace_k(std::int64_t n, CuComplex<T>* state, const std::int64_t* targets, const std::int64_t* sorted,
                      std::uint64_t target_mask, const ControlMasks& m, const CuComplex<T>* matrix,
                      cudaStream_t stream) {
    launch<&cu_unitary_inplace_kernel<T, K>>(linear_geometry(std::uint64_t(1) << (n - K)), stream, n, state, targets,
                                             sorted, target_mask, m.ctrl_mask, m.ctrl_value, matrix);
}

// 3 to 5 targets: the one place a runtime K becomes the kernel's template parameter.
template <class T>
void launch_inplace(std::size_t K, std::int64_t n, CuComplex<T>* state, const std::int64_t* targets,
                    const std::int64_t* sorted, std::uint64_t target_mask, const ControlMasks& m,
                    const CuComplex<T>* matrix, cudaStream_t stream) {
    switch (K) {
        case 3: launch_inplace_k<T, 3>(n, state, targets, sorted, target_mask, m, matrix, stream); break;
        case 4: launch_inplace_k<T, 4>(n, state, targets, sorted, target_mask, m, matrix, stream); break;
        case 5: launch_inplace_k<T, 5>(n, state, targets, sorted, target_mask, m, matrix, stream); break;
        default: throw std::invalid_argument("unsupported inplace unitary target size");
    }
}

}  // namespace

template <class T>
void launch_unitary_1q_autopair(VELQA_UNITARY_1Q_SELECTOR_SIGNATURE(T)) {
    scheme::autopair_dispatch<unitary_1q_gate, T>(n, state, target, ControlMasks{ctrl_mask, ctrl_value},
                                                  static_cast<std::uint64_t>(k), stream, U);
}

template <class T>
void launch_unitary_2q_autopair(VELQA_UNITARY_2Q_SELECTOR_SIGNATURE(T)) {
    const std::uint64_t b0 = std::uint64_t(1) << t0;
    const std::uint64_t b1 = std::uint64_t(1) << t1;
    const std::uint64_t both = b0 | b1;
    const std::uint64_t other = t0 == 0 ? b1 : b0;
    const std::uint64_t mask = both | ctrl_mask;
    const std::uint64_t value = ctrl_value & ~both;
    const std::uint64_t count = std::uint64_t(1) << (n - k - 2);
    const auto geometry = linear_geometry(count);
    if (t0 != 0 && t1 != 0) {
        if (k == 0)
            launch<&unitary_2q_no_control<T>>(geometry, stream, count, state, std::min(t0, t1), std::max(t0, t1), b0,
                                              b1, U);
        else
            launch<&unitary_2q_compact<T>>(geometry, stream, count, state, mask, value, b0, b1, U);
    } else if (t0 == 0) {
        if (k == 0)
            launch<&unitary_2q_target0<T, true, false>>(geometry, stream, count, state, other, 0, 0, U);
        else
            launch<&unitary_2q_target0<T, true, true>>(geometry, stream, count, state, other, mask, value, U);
    } else {
        if (k == 0)
            launch<&unitary_2q_target0<T, false, false>>(geometry, stream, count, state, other, 0, 0, U);
        else
            launch<&unitary_2q_target0<T, false, true>>(geometry, stream, count, state, other, mask, value, U);
    }
}

template <class T>
void launch_unitary(VELQA_UNITARY_SIGNATURE(T)) {
    using korvane::cuda_check;
    ControlMasks m;
    const std::uint64_t target_mask = validate_unitary(n, targets, controls, control_state, matrix.size(), dim, m);
    const std::size_t K = targets.size();
    const auto k = static_cast<std::int32_t>(controls.size());

    std::vector<std::int64_t> sorted(targets);
    std::sort(sorted.begin(), sorted.end());
    const std::vector<CuComplex<T>> host = host_matrix<T>(matrix);

    if (K <= 2) {
        if (K == 1) {
            const Unitary2x2<T> U{host[0], host[1], host[2], host[3]};
            const auto target = static_cast<std::int32_t>(targets[0]);
            if (mode == KernelMode::PairAuto)
                launch_unitary_1q_autopair<T>(n, state, target, m.ctrl_mask, m.ctrl_value, k, U, stream);
            else
                launch<&cu_unitary_1q_inplace_kernel<T>>(linear_geometry(std::uint64_t(1) << (n - 1)), stream, n, state,
                                                         target, m.ctrl_mask, m.ctrl_value, U);
        } else {
            Unitary4x4<T> U;
            std::copy(host.begin(), host.end(), U.m);
            const auto t0 = static_cast<std::int32_t>(targets[0]);
            const auto t1 = static_cast<std::int32_t>(targets[1]);
            if (mode == KernelMode::PairAuto)
                launch_unitary_2q_autopair<T>(n, state, t0, t1, m.ctrl_mask, m.ctrl_value, k, U, stream);
            else
                launch<&cu_unitary_2q_inplace_kernel<T>>(linear_geometry(std::uint64_t(1) << (n - 2)), stream, n, state,
                                                         t0, t1, m.ctrl_mask, m.ctrl_value, U);
        }
        korvane::check_last_error();
        cuda_check(cudaStreamSynchronize(stream));
        return;
    }

    DeviceBuffer<CuComplex<T>> device_matrix(host.size());
    upload(device_matrix, host.data(), host.size(), stream);
    DeviceBuffer<std::int64_t> device_targets(K);
    upload(device_targets, targets.data(), K, stream);
    if (K >= 6) {
        const std::uint64_t amplitudes = std::uint64_t(1) << n;
        DeviceBuffer<CuComplex<T>> scratch(amplitudes);
        const std::size_t bytes = amplitudes * sizeof(CuComplex<T>);
        cuda_check(cudaMemcpyAsync(scratch.get(), state, bytes, cudaMemcpyDeviceToDevice, stream));
        launch<&cu_unitary_kernel<T>>(linear_geometry(amplitudes), stream, n, state, scratch.get(),
                                      device_targets.get(), static_cast<std::int64_t>(K), target_mask, m.ctrl_mask,
                                      m.ctrl_value, device_matrix.get(), dim);
        korvane::check_last_error();
        cuda_check(cudaMemcpyAsync(state, scratch.get(), bytes, cudaMemcpyDeviceToDevice, stream));
        cuda_check(cudaStreamSynchronize(stream));
        device_targets.release();
        device_matrix.release();
        scratch.release();
        return;
    }
    DeviceBuffer<std::int64_t> device_sorted(K);
    upload(device_sorted, sorted.data(), K, stream);
    launch_inplace<T>(K, n, state, device_targets.get(), device_sorted.get(), target_mask, m, device_matrix.get(),
                      stream);
    korvane::check_last_error();
    cuda_check(cudaStreamSynchronize(stream));
    device_targets.release();
    device_matrix.release();
    device_sorted.release();
}

VELQA_INSTANTIATE(launch_unitary, VELQA_UNITARY_SIGNATURE)
VELQA_INSTANTIATE(launch_unitary_1q_autopair, VELQA_UNITARY_1Q_SELECTOR_SIGNATURE)
VELQA_INSTANTIATE(launch_unitary_2q_autopair, VELQA_UNITARY_2Q_SELECTOR_SIGNATURE)

}  // namespace velqa
