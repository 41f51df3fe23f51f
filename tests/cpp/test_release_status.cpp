// Per-call device buffers freed on the success path report a failing free. CUDA reports an earlier
// asynchronous failure at a later call such as cudaFree; the host device's frees do not fail, so
// this test stands in front of its cudaFree and plants the failure.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <complex>
#include <stdexcept>
#include <string>
#include <vector>

#include "dormeth/dormeth_device_state.hpp"
#include "dormeth/run_density.hpp"
#include "host_device_test.hpp"
#include "velqa/fusion/fusion.hpp"
#include "velqa/run_circuit.hpp"
#include "velqa/velqa_device_state.hpp"

namespace {

int g_failing_frees = 0;

using FreeFunction = cudaError_t (*)(void*);

FreeFunction runtime_free() {
    // The host device's own cudaFree, found past this executable's definition.
    static const auto function = reinterpret_cast<FreeFunction>(dlsym(RTLD_NEXT, "_Z8cudaFreePv"));
    return function;
}

}  // namespace

// Frees through the runtime, then reports a planted failure.
cudaError_t cudaFree(void* ptr) {
    const cudaError_t status = runtime_free()(ptr);
    if (ptr && g_failing_frees > 0) {
        --g_failing_frees;
        return cudaErrorLaunchFailure;
    }
    return status;
}

namespace {

const std::string kFailure = std::string("CUDA error: ") + cudaGetErrorString(cudaErrorLaunchFailure);

velqa::GateRecord named(const char* name, std::int64_t target) {
    velqa::GateRecord g;
    g.name = name;
    g.id = velqa::gate_id_from_name(name);
    g.target = {target};
    return g;
}

class ReleaseStatus : public HostDeviceTest {
  protected:
    void TearDown() override {
        g_failing_frees = 0;
        HostDeviceTest::TearDown();
    }
};

TEST_F(ReleaseStatus, InterposedFreeReachesTheRuntime) {
    ASSERT_NE(runtime_free(), nullptr);
    void* p = device_alloc<char>(64);
    EXPECT_EQ(hostdevice::live_bytes(0), live_at_start_ + 64);
    EXPECT_EQ(cudaFree(p), cudaSuccess);
    EXPECT_EQ(hostdevice::live_bytes(0), live_at_start_);
}

TEST_F(ReleaseStatus, FusionUploadReportsAFailingFreeAfterASuccessfulRun) {
    velqa::DeviceState state(10, korvane::Precision::Complex128, 0);
    state.set_zero_state();
    velqa::fusion::PreparedFusionChunk chunk;
    chunk.n = 10;
    chunk.records = {named("h", 0), named("x", 1), named("h", 0)};  // one SparseShareMem group
    chunk.plan = velqa::fusion::plan_fusion_chunk(10, chunk.records, velqa::fusion::FusionOptions{});
    ASSERT_EQ(chunk.plan.total_fused_gates, 3u);
    g_failing_frees = 1;
    EXPECT_EQ(message_of([&] { velqa::fusion::execute_prepared_fusion_chunk(state, chunk); }), kFailure);
    g_failing_frees = 1;
    EXPECT_EQ(message_of([&] { velqa::run_gates(state.view(), chunk.records, velqa::KernelMode::PairAutoFusion); }),
              kFailure);
    EXPECT_EQ(g_failing_frees, 0);
}

TEST_F(ReleaseStatus, DensityRunnerReportsAFailingFreeOfItsMatrixBuffer) {
    korvane::dormeth::DeviceDensityState state(2, korvane::Precision::Complex64, 0);
    state.set_zero_state();
    std::vector<korvane::density::DensityOperation> records(1);
    records[0].name = "unitary";
    records[0].targets = {1};
    records[0].has_stored_matrix = true;
    records[0].stored_matrix = {0.0, 1.0, 1.0, 0.0};
    for (const bool fused : {false, true}) {
        g_failing_frees = 1;
        EXPECT_EQ(message_of([&] { korvane::dormeth::run_density_operations(state, 2, records, fused); }), kFailure);
        EXPECT_EQ(g_failing_frees, 0);
    }
}

}  // namespace
