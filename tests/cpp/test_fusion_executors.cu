// The fusion executors' checks and failure paths that no Python call can reach: launcher
// argument checks, cuBLAS failures, kernel edge cases on hand-made records, the upload's
// allocations, and the dispatch of single gates to the per-gate path.
#include <gtest/gtest.h>

#include <complex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/cuda_check.hpp"
#include "host_device_test.hpp"
#include "hostdevice/control.hpp"
#include "velqa/fusion/densemm.hpp"
#include "velqa/fusion/fusion.hpp"
#include "velqa/fusion/sparsesharemem.hpp"
#include "velqa/gate_dispatch.hpp"

// The per-gate path is not under test here: this stand-in records which gates reach it.
namespace velqa {
struct DispatchedGate {
    GateId id;
    KernelMode mode;
};
std::vector<DispatchedGate> g_dispatched;

template <class T>
void apply_gate(const StateSpan<T>&, const GateRecord& record, std::size_t, cudaStream_t, KernelMode mode) {
    g_dispatched.push_back({record.id, mode});
}
template void apply_gate<float>(const StateSpan<float>&, const GateRecord&, std::size_t, cudaStream_t, KernelMode);
template void apply_gate<double>(const StateSpan<double>&, const GateRecord&, std::size_t, cudaStream_t, KernelMode);
}  // namespace velqa

namespace {

using namespace velqa;
using namespace velqa::fusion;
using Amplitudes = std::vector<std::complex<double>>;

class FusionExecutors : public HostDeviceTest {
  protected:
    void SetUp() override {
        HostDeviceTest::SetUp();
        DenseMMCache<float>::this_thread().release();
        DenseMMCache<double>::this_thread().release();
        live_at_start_ = hostdevice::live_bytes(0);
        g_dispatched.clear();
    }
    void TearDown() override {
        DenseMMCache<float>::this_thread().release();
        DenseMMCache<double>::this_thread().release();
        EXPECT_EQ(hostdevice::live_blas_handles(0), 0);
        HostDeviceTest::TearDown();
    }
};

std::vector<CuComplex<double>> random_amplitudes(int n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::vector<CuComplex<double>> v(std::size_t(1) << n);
    for (auto& a : v) a = {normal(rng), normal(rng)};
    return v;
}

// A single n-qubit state at data, as the executors take it.
template <class T>
StateSpan<T> single(std::int64_t n, CuComplex<T>* data) {
    StateSpan<T> span;
    span.n = n;
    span.data = data;
    return span;
}

template <class Call>
std::string message_of(Call&& call) {
    try {
        call();
    } catch (const std::invalid_argument& e) {
        return std::string("ValueError: ") + e.what();
    } catch (const std::runtime_error& e) {
        return std::string("RuntimeError: ") + e.what();
    }
    return "no error";
}

DeviceMatrixGate<double> x_record(std::int32_t target, std::uint32_t mask = 0, std::uint32_t values = 0) {
    DeviceMatrixGate<double> g{};
    g.kind = static_cast<std::int32_t>(FusedGateKind::X);
    g.target = target;
    g.target2 = -1;
    g.control_mask = mask;
    g.control_values = values;
    g.matrix[1] = g.matrix[2] = {1, 0};
    return g;
}

// ------------------------------------------------------------------ SparseShareMem

TEST_F(FusionExecutors, SparseShareMemChecksComeBeforeAnyLaunch) {
    const auto state = random_amplitudes(4, 1);
    DeviceArray<CuComplex<double>> d(state);
    DeviceArray<DeviceMatrixGate<double>> gates({x_record(0)});
    const std::uint64_t launches = hostdevice::launch_count();
    const auto run = [&](std::int64_t n, std::uint64_t mask, std::int32_t k, std::int32_t count) {
        return message_of([&] {
            launch_sparsesharemem<double>(single<double>(n, d.get()), mask, k, gates.get(), count, nullptr, 0, nullptr);
        });
    };
    EXPECT_EQ(run(4, 0, 0, 1), "ValueError: SparseShareMem active qubits must be in [1, 10]");
    EXPECT_EQ(run(12, 0x7ff, 11, 1), "ValueError: SparseShareMem active qubits must be in [1, 10]");
    EXPECT_EQ(run(4, 0x1f, 5, 1), "ValueError: SparseShareMem active qubits exceed circuit size");
    EXPECT_EQ(run(4, 0x3, 2, 0), "ValueError: SparseShareMem group cannot be empty");
    EXPECT_EQ(run(4, 0x3, 2, -1), "ValueError: SparseShareMem group cannot be empty");
    EXPECT_EQ(run(4, 0x11, 2, 1), "ValueError: SparseShareMem active mask must name k qubits of the register");
    EXPECT_EQ(run(4, 0x7, 2, 1), "ValueError: SparseShareMem active mask must name k qubits of the register");
    EXPECT_EQ(hostdevice::launch_count(), launches);
    const auto after = d.read();
    for (std::size_t i = 0; i < state.size(); ++i) EXPECT_EQ(after[i].re, state[i].re);
}

TEST_F(FusionExecutors, SparseShareMemOnTheWholeStateAndUnsatisfiableControls) {
    const int n = 3;
    const auto state = random_amplitudes(n, 2);
    DeviceArray<CuComplex<double>> d(state);
    // Local bit 0 must be 1 but is not a control: never satisfied, nothing changes. Then a SWAP of
    // local 0 and 2 where local 1 is 1, then X on local 2.
    DeviceMatrixGate<double> swap = x_record(0, 0b010, 0b010);
    swap.kind = static_cast<std::int32_t>(FusedGateKind::Swap);
    swap.target2 = 2;
    swap.matrix[0] = swap.matrix[3] = {1, 0};
    swap.matrix[1] = swap.matrix[2] = {0, 0};
    DeviceArray<DeviceMatrixGate<double>> gates({x_record(1, 0b100, 0b001), swap, x_record(2)});
    hostdevice::clear_launch_log();
    launch_sparsesharemem<double>(single<double>(n, d.get()), 0b111, n, gates.get(), 3, nullptr, 0, nullptr);
    korvane::check_last_error();
    const auto log = hostdevice::launch_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].grid.x, 1u);
    EXPECT_EQ(log[0].block.x, 128u);
    EXPECT_EQ(log[0].shared_bytes, 8u * 16u);
    std::vector<CuComplex<double>> expected = state;
    for (std::size_t i = 0; i < 8; ++i)
        if (i == 0b110) std::swap(expected[i], expected[i ^ 0b101]);  // bit 0 clear, bit 2 set, control 1 set
    for (std::size_t i = 0; i < 4; ++i) std::swap(expected[i], expected[i | 4]);
    const auto after = d.read();
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(after[i].re, expected[i].re) << i;
        EXPECT_EQ(after[i].im, expected[i].im) << i;
    }
}

TEST_F(FusionExecutors, SparseShareMemSkipsRecordsOutsideTheTile) {
    const auto state = random_amplitudes(4, 3);
    DeviceArray<CuComplex<double>> d(state);
    DeviceMatrixGate<double> bad_swap = x_record(0);
    bad_swap.kind = static_cast<std::int32_t>(FusedGateKind::Swap);
    bad_swap.target2 = 0;
    DeviceArray<DeviceMatrixGate<double>> gates({x_record(2), x_record(-1), bad_swap});
    launch_sparsesharemem<double>(single<double>(4, d.get()), 0b0110, 2, gates.get(), 3, nullptr, 0, nullptr);
    korvane::check_last_error();
    const auto after = d.read();
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(after[i].re, state[i].re) << i;
}

// ------------------------------------------------------------------ DenseMM

TEST_F(FusionExecutors, DenseMMChecksComeBeforeAnyLaunch) {
    const std::uint64_t launches = hostdevice::launch_count();
    const auto run = [&](std::int64_t n, std::uint64_t mask, std::int32_t k, std::uint64_t buffer = 16) {
        return message_of([&] {
            apply_densemm<float>(nullptr, single<float>(n, nullptr), nullptr, nullptr, buffer, mask, k, nullptr, 0,
                                 nullptr);
        });
    };
    EXPECT_EQ(run(4, 0, 0), "ValueError: DenseMM active qubits must be in [1, n-1]");
    EXPECT_EQ(run(4, 0xf, 4), "ValueError: DenseMM active qubits must be in [1, n-1]");
    EXPECT_EQ(run(4, 0x10, 1), "ValueError: DenseMM active mask must name k qubits of the register");
    EXPECT_EQ(run(4, 0x3, 2, 3), "ValueError: DenseMM scratch buffers hold less than one column");
    EXPECT_EQ(hostdevice::launch_count(), launches);
}

template <class T>
void check_gemm_failures() {
    const int n = 4;
    const auto state = random_amplitudes(n, 4);
    std::vector<CuComplex<T>> narrow(state.size());
    for (std::size_t i = 0; i < state.size(); ++i) narrow[i] = {T(state[i].re), T(state[i].im)};
    DeviceArray<CuComplex<T>> d(narrow);
    DeviceArray<CuComplex<T>> scratch_a(narrow);
    DeviceArray<CuComplex<T>> scratch_b(narrow);
    DeviceArray<CuComplex<T>> matrix(std::vector<CuComplex<T>>(4, CuComplex<T>{1, 0}));
    const auto unchanged = [&] {
        const auto after = d.read();
        for (std::size_t i = 0; i < narrow.size(); ++i) EXPECT_EQ(after[i].re, narrow[i].re) << i;
    };
    EXPECT_EQ(message_of([&] {
                  apply_densemm<T>(nullptr, single<T>(n, d.get()), scratch_a.get(), scratch_b.get(), 16, 1, 1,
                                   matrix.get(), 0, nullptr);
              }),
              "RuntimeError: cublasSetStream DenseMM failed");
    unchanged();
    DenseMMCache<T>& cache = DenseMMCache<T>::this_thread();
    cache.ensure(16);
    const std::vector<CuComplex<T>> host_matrix(4, CuComplex<T>{1, 0});  // not device memory
    EXPECT_EQ(message_of([&] {
                  apply_densemm<T>(cache.handle, single<T>(n, d.get()), scratch_a.get(), scratch_b.get(), 16, 1, 1,
                                   host_matrix.data(), 0, nullptr);
              }),
              std::string("RuntimeError: ") + (sizeof(T) == 4 ? "cublasCgemm" : "cublasZgemm") + " DenseMM failed");
    unchanged();
}

TEST_F(FusionExecutors, CublasFailuresLeaveTheStateUnchanged) {
    check_gemm_failures<float>();
    check_gemm_failures<double>();
}

TEST_F(FusionExecutors, DenseMMWithTwoColumnsAppliesTheMatrixToEachSubBlock) {
    const int n = 5;
    const int k = 4;
    const std::uint64_t active = 0b11011;  // qubit 2 is the column
    const auto state = random_amplitudes(n, 5);
    const auto m = random_amplitudes(2 * k, 6);  // 16 x 16, row-major
    DeviceArray<CuComplex<double>> d(state);
    DeviceArray<CuComplex<double>> matrix(m);
    DenseMMCache<double>& cache = DenseMMCache<double>::this_thread();
    cache.ensure(std::uint64_t(1) << n);
    hostdevice::clear_launch_log();
    apply_densemm<double>(cache.handle, single<double>(n, d.get()), cache.transpose_buffer, cache.gemm_buffer,
                          cache.capacity, active, k, matrix.get(), 0, nullptr);
    korvane::check_last_error();
    const auto log = hostdevice::launch_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0].kernel.find("transpose_to_low_bits"), std::string::npos) << log[0].kernel;
    EXPECT_NE(log[1].kernel.find("transpose_from_low_bits"), std::string::npos) << log[1].kernel;
    EXPECT_EQ(log[0].block.x, 256u);

    const int positions[4] = {0, 1, 3, 4};
    const auto global = [&](std::size_t local, std::size_t column) {
        std::size_t g = column << 2;
        for (int p = 0; p < k; ++p)
            if ((local >> p) & 1) g |= std::size_t(1) << positions[p];
        return g;
    };
    const auto after = d.read();
    for (std::size_t column = 0; column < 2; ++column)
        for (std::size_t r = 0; r < 16; ++r) {
            std::complex<double> sum = 0;
            for (std::size_t c = 0; c < 16; ++c) {
                const auto& e = m[r * 16 + c];
                const auto& a = state[global(c, column)];
                sum += std::complex<double>(e.re, e.im) * std::complex<double>(a.re, a.im);
            }
            const auto& got = after[global(r, column)];
            EXPECT_NEAR(got.re, sum.real(), 1e-12);
            EXPECT_NEAR(got.im, sum.imag(), 1e-12);
        }
}

// The state after a k-qubit dense matrix on the active qubits (row-major, local bit p = p-th active
// qubit), computed on the host.
std::vector<CuComplex<double>> dense_reference(const std::vector<CuComplex<double>>& state,
                                               const std::vector<CuComplex<double>>& m, std::uint64_t active) {
    const std::vector<int> positions = [&] {
        std::vector<int> p;
        for (int q = 0; q < 64; ++q)
            if ((active >> q) & 1) p.push_back(q);
        return p;
    }();
    const std::size_t dim = std::size_t(1) << positions.size();
    const auto local = [&](std::size_t g) {
        std::size_t l = 0;
        for (std::size_t p = 0; p < positions.size(); ++p) l |= ((g >> positions[p]) & 1) << p;
        return l;
    };
    const auto with_local = [&](std::size_t g, std::size_t l) {
        for (std::size_t p = 0; p < positions.size(); ++p)
            g = (g & ~(std::size_t(1) << positions[p])) | (((l >> p) & 1) << positions[p]);
        return g;
    };
    std::vector<CuComplex<double>> out(state.size());
    for (std::size_t g = 0; g < state.size(); ++g) {
        std::complex<double> sum = 0;
        for (std::size_t c = 0; c < dim; ++c) {
            const auto& e = m[local(g) * dim + c];
            const auto& a = state[with_local(g, c)];
            sum += std::complex<double>(e.re, e.im) * std::complex<double>(a.re, a.im);
        }
        out[g] = {sum.real(), sum.imag()};
    }
    return out;
}

TEST_F(FusionExecutors, DenseMMRunsInSlicesOfColumnsAsLargeAsTheBuffers) {
    // n = 6, k = 2 on qubits 1 and 4: 16 columns (qubits 0, 2, 3, 5). Buffers of 16 elements hold four
    // columns, so four slices, each a gather, a GEMM and a scatter of 16 elements.
    const int n = 6;
    const std::uint64_t active = 0b010010;
    const auto state = random_amplitudes(n, 7);
    const auto m = random_amplitudes(4, 8);
    DeviceArray<CuComplex<double>> d(state);
    DeviceArray<CuComplex<double>> matrix(m);
    DenseMMCache<double>& cache = DenseMMCache<double>::this_thread();
    cache.ensure(16);
    hostdevice::clear_launch_log();
    apply_densemm<double>(cache.handle, single<double>(n, d.get()), cache.transpose_buffer, cache.gemm_buffer, 16,
                          active, 2, matrix.get(), 0, nullptr);
    const auto log = hostdevice::launch_log();
    ASSERT_EQ(log.size(), 8u);
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_NE(log[i].kernel.find(i % 2 ? "transpose_from_low_bits" : "transpose_to_low_bits"), std::string::npos);
        EXPECT_EQ(log[i].grid.x, 1u);
    }
    const auto expected = dense_reference(state, m, active);
    const auto after = d.read();
    for (std::size_t g = 0; g < after.size(); ++g) {
        EXPECT_NEAR(after[g].re, expected[g].re, 1e-12) << g;
        EXPECT_NEAR(after[g].im, expected[g].im, 1e-12) << g;
    }
}

// A refused step stops the group there: the columns of the slices before it hold the result, the
// others their old amplitudes, and nothing of the scratch buffers (filled with a marker) reaches the
// state. Launch j of the group is gather (j even) or scatter (j odd) of slice j / 2.
TEST_F(FusionExecutors, DenseMMStepsAreCheckedBeforeTheNext) {
    const int n = 6;
    const std::uint64_t active = 0b010010;
    const auto state = random_amplitudes(n, 9);
    const auto m = random_amplitudes(4, 10);
    const auto expected = dense_reference(state, m, active);
    DeviceArray<CuComplex<double>> matrix(m);
    DenseMMCache<double>& cache = DenseMMCache<double>::this_thread();
    cache.ensure(16);
    // Slice of global index g: its column bits above the lowest two (qubits 3 and 5).
    const auto slice_of = [](std::size_t g) { return ((g >> 3) & 1) | (((g >> 5) & 1) << 1); };
    for (const int refused : {0, 1, 4, 7}) {
        DeviceArray<CuComplex<double>> d(state);
        const std::vector<CuComplex<double>> marker(16, CuComplex<double>{7, 7});
        ASSERT_EQ(cudaMemcpy(cache.transpose_buffer, marker.data(), 16 * sizeof(marker[0]), cudaMemcpyHostToDevice),
                  cudaSuccess);
        ASSERT_EQ(cudaMemcpy(cache.gemm_buffer, marker.data(), 16 * sizeof(marker[0]), cudaMemcpyHostToDevice),
                  cudaSuccess);
        hostdevice::clear_launch_log();
        hostdevice::inject_launch_failures(1, cudaErrorLaunchOutOfResources, refused);
        EXPECT_EQ(message_of([&] {
                      apply_densemm<double>(cache.handle, single<double>(n, d.get()), cache.transpose_buffer,
                                            cache.gemm_buffer, 16, active, 2, matrix.get(), 0, nullptr);
                  }),
                  "RuntimeError: CUDA error: too many resources requested for launch")
            << refused;
        EXPECT_EQ(hostdevice::launch_log().size(), std::size_t(refused) + 1) << "a step ran after the refused one";
        const std::size_t done = refused / 2;  // slices completed
        const auto after = d.read();
        for (std::size_t g = 0; g < after.size(); ++g) {
            const auto& want = slice_of(g) < done ? expected[g] : state[g];
            EXPECT_NEAR(after[g].re, want.re, 1e-12) << refused << " " << g;
            EXPECT_NEAR(after[g].im, want.im, 1e-12) << refused << " " << g;
            if (slice_of(g) >= done) {
                EXPECT_EQ(after[g].re, state[g].re) << "not bit-identical: " << g;
            }
        }
    }
}

TEST_F(FusionExecutors, SparseShareMemRefusedLaunchLeavesTheStateUnchanged) {
    const auto state = random_amplitudes(5, 11);
    DeviceArray<CuComplex<double>> d(state);
    DeviceArray<DeviceMatrixGate<double>> gates({x_record(0), x_record(1)});
    hostdevice::inject_launch_failures(1, cudaErrorLaunchOutOfResources);
    launch_sparsesharemem<double>(single<double>(5, d.get()), 0b00011, 2, gates.get(), 2, nullptr, 0, nullptr);
    EXPECT_EQ(message_of([] { korvane::check_last_error(); }),
              "RuntimeError: CUDA error: too many resources requested for launch");
    const auto after = d.read();
    for (std::size_t i = 0; i < state.size(); ++i) EXPECT_EQ(after[i].re, state[i].re) << i;
}

TEST_F(FusionExecutors, CacheResizingReportsAFailedFree) {
    DenseMMCache<float>& cache = DenseMMCache<float>::this_thread();
    cache.ensure(8);
    CuComplex<float>* const held = cache.transpose_buffer;
    cache.transpose_buffer = held + 1;  // not an allocation: its free fails
    EXPECT_EQ(message_of([&] { cache.ensure(16); }),
              "RuntimeError: cudaFree cached DenseMM transpose buffer: invalid argument");
    EXPECT_EQ(cache.capacity, 0u);
    EXPECT_EQ(cache.transpose_buffer, nullptr);
    EXPECT_EQ(cudaFree(held), cudaSuccess);
    cache.ensure(16);  // the next ensure allocates afresh
    EXPECT_EQ(cache.capacity, 16u);
}

// ------------------------------------------------------------------ upload and dispatch

GateRecord named(GateId id, std::vector<std::int64_t> target) {
    GateRecord g;
    g.id = id;
    g.target = std::move(target);
    return g;
}

TEST_F(FusionExecutors, UploadMakesOneArrayPerKindOfGroupAndBindsTheCacheOnlyForDenseMM) {
    const std::vector<GateRecord> singles = {named(kGateX, {0}), named(kGateGlobalPhase, {}), named(kGateX, {1})};
    const std::vector<GateRecord> pairs = {named(kGateX, {0}), named(kGateH, {0}), named(kGateX, {1}),
                                           named(kGateH, {1})};
    FusionOptions shared;
    shared.sparsesharemem_qubits = 1;
    FusionOptions dense = shared;
    dense.densemm_gate_threshold_scale = 0;
    const auto allocations_for = [](const FusionPlan& plan, const std::vector<GateRecord>& gates) {
        const std::size_t before = hostdevice::live_allocations(0);
        FusionUpload<float> upload(single<float>(6, nullptr), plan, gates);
        return std::pair{hostdevice::live_allocations(0) - before, upload.handle != nullptr};
    };
    using Counts = std::pair<std::size_t, bool>;
    EXPECT_EQ(allocations_for(plan_fusion_chunk(6, singles, FusionOptions{}), singles), (Counts{0, false}));
    EXPECT_EQ(allocations_for(plan_fusion_chunk(6, pairs, shared), pairs), (Counts{1, false}));
    EXPECT_EQ(hostdevice::live_blas_handles(0), 0);
    // The matrices, then the cache's two buffers, which stay.
    EXPECT_EQ(allocations_for(plan_fusion_chunk(6, pairs, dense), pairs), (Counts{3, true}));
    EXPECT_EQ(hostdevice::live_blas_handles(0), 1);
    EXPECT_EQ(DenseMMCache<float>::this_thread().capacity, 64u);
    EXPECT_EQ(DenseMMCache<double>::this_thread().capacity, 0u);
}

TEST_F(FusionExecutors, UploadsBeyondTheirShareOfScratchGoInWindowsOfGroups) {
    // n = 12 in complex128: 64 KiB of state, a scratch limit of 64 KiB, half of it for uploads. Six
    // DenseMM groups on five qubits bring 16 KiB of matrix each; global phases between them (single
    // groups, nothing to upload, which the per-gate stand-in leaves out) end each group's scan.
    // Windows: two DenseMM groups each.
    const int n = 12;
    std::vector<GateRecord> gates;
    for (int round = 0; round < 6; ++round) {
        for (std::int64_t q = 0; q < 5; ++q) {
            gates.push_back(named(kGateH, {q + round}));
            gates.push_back(named(kGateS, {q + round}));
        }
        if (round < 5) gates.push_back(named(kGateGlobalPhase, {}));
        if (round < 5) gates.back().parameter = {0.5};
    }
    FusionOptions options;
    options.sparsesharemem_qubits = 5;
    options.densemm_max_qubits = 5;
    options.densemm_gate_threshold_scale = 0;
    PreparedFusionChunk chunk;
    chunk.n = n;
    chunk.records = gates;
    chunk.plan = plan_fusion_chunk(n, gates, options);
    ASSERT_EQ(chunk.plan.groups.size(), 11u);
    for (std::size_t g = 0; g < 11; ++g) {
        ASSERT_EQ(chunk.plan.groups[g].kind, g % 2 ? FusionGroupKind::AutoPair : FusionGroupKind::DenseMM) << g;
        if (g % 2 == 0) {
            ASSERT_EQ(chunk.plan.groups[g].active.size(), 5u);
        }
    }
    std::vector<std::size_t> ends;
    for (std::size_t first = 0; first < 11; first = ends.back())
        ends.push_back(upload_window_end<double>(single<double>(n, nullptr), chunk.plan, gates, first));
    EXPECT_EQ(ends, (std::vector<std::size_t>{4, 8, 11}));

    auto expected = random_amplitudes(n, 12);
    DeviceState state(n, korvane::Precision::Complex128, 0);
    ASSERT_EQ(cudaMemcpy(state.data_as<double>(), expected.data(), expected.size() * 16, cudaMemcpyHostToDevice),
              cudaSuccess);
    for (const FusionGroup& g : chunk.plan.groups) {
        if (g.kind != FusionGroupKind::DenseMM) continue;
        std::vector<CuComplex<double>> m(g.dense_matrix.size());
        for (std::size_t e = 0; e < m.size(); ++e) m[e] = {g.dense_matrix[e].real(), g.dense_matrix[e].imag()};
        std::uint64_t active = 0;
        for (const std::int64_t q : g.active) active |= std::uint64_t(1) << q;
        expected = dense_reference(expected, m, active);
    }
    // The state, two matrices and the two DenseMM buffers (a quarter of the state each here) fit;
    // all six matrices at once would not.
    hostdevice::configure_devices(1, hostdevice::live_bytes(0) + (64 << 10));
    execute_prepared_fusion_chunk(state, chunk);
    std::vector<CuComplex<double>> after(expected.size());
    ASSERT_EQ(cudaMemcpy(after.data(), state.data_as<double>(), after.size() * 16, cudaMemcpyDeviceToHost),
              cudaSuccess);
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_NEAR(after[i].re, expected[i].re, 1e-12) << i;
        EXPECT_NEAR(after[i].im, expected[i].im, 1e-12) << i;
    }
}

TEST_F(FusionExecutors, AutoPairGroupsGoToThePerGatePathAndNeverToTheExecutors) {
    const std::vector<GateRecord> gates = {named(kGateGlobalPhase, {}), named(kGateX, {0}), named(kGateH, {1}),
                                           named(kGateGlobalPhase, {})};
    PreparedFusionChunk chunk;
    chunk.n = 3;
    chunk.records = gates;
    chunk.plan = plan_fusion_chunk(3, gates, FusionOptions{});
    ASSERT_EQ(chunk.plan.groups.size(), 3u);
    DeviceState state(3, korvane::Precision::Complex64, 0);
    state.set_zero_state();
    const std::uint64_t syncs = hostdevice::synchronize_count();
    execute_prepared_fusion_chunk(state, chunk);
    EXPECT_EQ(hostdevice::synchronize_count(), syncs + 1);
    ASSERT_EQ(g_dispatched.size(), 2u);
    for (const auto& d : g_dispatched) {
        EXPECT_EQ(d.id, kGateGlobalPhase);
        EXPECT_EQ(d.mode, KernelMode::PairAuto);
    }
    const FusionUpload<float> upload(single<float>(3, nullptr), chunk.plan, gates);
    EXPECT_EQ(message_of([&] {
                  execute_fusion_group(upload, single<float>(3, state.data_as<float>()), chunk.plan, 0, nullptr);
              }),
              "ValueError: AutoPair group cannot use fusion workspace");
}

}  // namespace
