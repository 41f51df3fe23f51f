// The host device behaves as the CUDA runtime does for everything the system relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "common/cuda_check.hpp"
#include "common/gpu/blas.hpp"
#include "common/gpu/device.hpp"
#include "common/gpu/launch.hpp"
#include "host_device_test.hpp"
#include "hostdevice/control.hpp"

#if defined(KORVANE_TEST_THREAD_SANITIZED)
// A race ends the program, so that a death test sees ThreadSanitizer find one.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() { return "halt_on_error=1"; }
#endif

namespace {

using korvane::LaunchGeometry;
using korvane::gpu::launch;
using korvane::gpu::launch_cooperative;

using HostDevice = HostDeviceTest;

// ------------------------------------------------------------------ kernels under test

// Launch: any geometry; one record of 8 values per thread, indexed by its global coordinates.
__global__ void record_coordinates(unsigned* out) {
    const unsigned bx = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    const unsigned tx = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    const unsigned per_block = blockDim.x * blockDim.y * blockDim.z;
    unsigned* r = out + 8 * (bx * per_block + tx);
    r[0] = threadIdx.x;
    r[1] = threadIdx.y;
    r[2] = threadIdx.z;
    r[3] = blockIdx.x;
    r[4] = blockIdx.y;
    r[5] = blockIdx.z;
    r[6] = blockDim.x * blockDim.y * blockDim.z;
    r[7] += 1;  // starts at 0: counts how often the thread ran
}

// Launch: 1-D, blockDim.x a power of two, shared_bytes = blockDim.x doubles; one sum per block.
__global__ void block_sum(const double* in, double* out, unsigned long long n) {
    double* partial = korvane::gpu::dynamic_shared_memory<double>();
    const unsigned t = threadIdx.x;
    const unsigned long long i = korvane::gpu::global_thread_index();
    partial[t] = i < n ? in[i] : 0.0;
    __syncthreads();
    for (unsigned stride = blockDim.x / 2; stride > 0; stride /= 2) {
        if (t < stride) partial[t] += partial[t + stride];
        __syncthreads();
    }
    if (t == 0) out[blockIdx.x] = partial[0];
}

// Launch: 2-D blocks of 16 x 16 over a dim x dim matrix (dim a multiple of 16); static shared tile.
__global__ void transpose_tiles(const float* in, float* out, unsigned dim) {
    __shared__ float tile[16][17];
    const unsigned x = blockIdx.x * 16 + threadIdx.x;
    const unsigned y = blockIdx.y * 16 + threadIdx.y;
    tile[threadIdx.y][threadIdx.x] = in[y * dim + x];
    __syncthreads();
    const unsigned tx = blockIdx.y * 16 + threadIdx.x;
    const unsigned ty = blockIdx.x * 16 + threadIdx.y;
    out[ty * dim + tx] = tile[threadIdx.x][threadIdx.y];
}

// Launch: 1-D, any size; every thread adds its value to one total.
__global__ void atomic_total(double* total, unsigned long long n) {
    const unsigned long long i = korvane::gpu::global_thread_index();
    if (i < n) atomicAdd(total, static_cast<double>(i));
}

// Launch: 1-D, any size; marks the element of each thread.
__global__ void mark(int* out, unsigned long long n) {
    const unsigned long long i = korvane::gpu::global_thread_index();
    if (i < n) out[i] = 1;
}

// Launch: 1-D; calls a barrier without a cooperative launch (a misuse the host device reports).
constexpr unsigned kPlainBarrierLine = __LINE__ + 3;
__global__ void barrier_in_plain_launch(int* out) {
    out[threadIdx.x] = 1;
    __syncthreads();
}

// Launch: 1-D blocks; every thread appends its index to its block's list, in the order threads run.
__global__ void record_order(unsigned* order, unsigned* next) {
    const unsigned slot = atomicAdd(next + blockIdx.x, 1u);
    order[blockIdx.x * blockDim.x + slot] = threadIdx.x;
}

// Launch: cooperative, one 1-D block; the same in two phases separated by a barrier.
__global__ void record_phases(unsigned* order, unsigned* next) {
    for (unsigned phase = 0; phase < 2; ++phase) {
        const unsigned slot = atomicAdd(next + phase, 1u);
        order[phase * blockDim.x + slot] = threadIdx.x;
        __syncthreads();
    }
}

// A planted race, launch: 1-D, n threads in one block. Each thread replaces its element by its
// right neighbour's, which that neighbour's thread overwrites in the same pass: correct only
// while threads happen to run in index order.
__global__ void shift_left_racing(int* a, unsigned n) {
    const unsigned t = threadIdx.x;
    if (t + 1 < n) a[t] = a[t + 1];
}

// The same race between two barriers, in shared memory. Launch: cooperative, one block of 64.
__global__ void shift_left_racing_shared(const int* in, int* out) {
    __shared__ int s[64];
    const unsigned t = threadIdx.x;
    s[t] = in[t];
    __syncthreads();
    if (t + 1 < 64) s[t] = s[t + 1];
    __syncthreads();
    out[t] = s[t];
}

// Launch: cooperative, 1-D; thread 0 returns before the barrier the others reach.
constexpr unsigned kEarlyReturnBarrierLine = __LINE__ + 4;
__global__ void barrier_after_early_return(int* out) {
    if (threadIdx.x == 0) return;
    out[threadIdx.x] = 1;
    __syncthreads();
}

// Launch: cooperative, 1-D; odd threads pass one barrier more than even ones.
__global__ void barrier_count_by_thread(int* out) {
    for (unsigned i = 0; i <= (threadIdx.x & 1); ++i) __syncthreads();
    out[threadIdx.x] = 1;
}

// Launch: cooperative, 1-D; the two halves of the block wait at different barriers. The branches
// look alike but are two barriers: that is the fault this kernel plants.
constexpr unsigned kFirstHalfBarrierLine = __LINE__ + 4;
constexpr unsigned kSecondHalfBarrierLine = __LINE__ + 5;
__global__ void divergent_barriers(int* out) {
    if (threadIdx.x < blockDim.x / 2) {  // NOLINT(bugprone-branch-clone)
        __syncthreads();
    } else {
        __syncthreads();
    }
    out[threadIdx.x] = 1;
}

// Launch: 1-D blocks of 32, cooperative or not. Block 0 fills its static shared array; every block
// then reads it, so the others read shared memory that nobody wrote in their block (a fault).
__global__ void read_unwritten_static_shared(double* out) {
    __shared__ double s[32];
    if (blockIdx.x == 0) s[threadIdx.x] = 1.0;
    out[blockIdx.x * 32 + threadIdx.x] = s[threadIdx.x];
}

// Launch: cooperative, 1-D, any dynamic shared memory; 32 KiB of static shared memory.
__global__ void large_static_shared(double* out) {
    __shared__ double s[4096];
    s[threadIdx.x] = 1.0;
    __syncthreads();
    out[threadIdx.x] = s[(threadIdx.x + 1) % blockDim.x];
}

#if defined(KORVANE_TEST_THREAD_SANITIZED)
// Launch: cooperative, one block; after a barrier thread 0 adds one to out[0] without an atomic.
__global__ void add_after_barrier(double* out) {
    __syncthreads();
    if (threadIdx.x == 0) out[0] += 1.0;
}
#endif

#if defined(KORVANE_TEST_SANITIZED)
// Launch: one block of 128 threads, shared_bytes = 128 doubles; thread 0 reads one past `in`.
__global__ void read_past_end(const double* in, double* out) {
    double* s = korvane::gpu::dynamic_shared_memory<double>();
    s[threadIdx.x] = in[threadIdx.x];
    __syncthreads();
    if (threadIdx.x == 0) out[0] = s[0] + in[blockDim.x];
}
#endif

// ------------------------------------------------------------------ errors and devices

TEST_F(HostDevice, ErrorStringsAreTheRuntimes) {
    EXPECT_STREQ(cudaGetErrorString(cudaSuccess), "no error");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidValue), "invalid argument");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidConfiguration), "invalid configuration argument");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInsufficientDriver),
                 "CUDA driver version is insufficient for CUDA runtime version");
}

TEST_F(HostDevice, LastErrorIsReadAndCleared) {
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaSetDevice(5), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaSetDevice(0), cudaSuccess);  // a success does not clear it
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(HostDevice, CudaCheckReportsOnceAndClears) {
    EXPECT_EQ(cudaSetDevice(-1), cudaErrorInvalidDevice);
    try {
        korvane::cuda_check(cudaErrorInvalidDevice);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "CUDA error: invalid device ordinal");
    }
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_THROW(korvane::cuda_check(cudaErrorMemoryAllocation, "cudaMalloc DenseMM matrices"), std::runtime_error);
    try {
        korvane::cuda_check(cudaErrorMemoryAllocation, "cudaMalloc DenseMM matrices");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "cudaMalloc DenseMM matrices: out of memory");
    }
}

TEST_F(HostDevice, DeviceCountAndPerThreadCurrentDevice) {
    hostdevice::configure_devices(2, 1 << 20);
    int count = 0;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(cudaSetDevice(1), cudaSuccess);
    int other_thread_device = -1;
    std::thread([&] { cudaGetDevice(&other_thread_device); }).join();
    EXPECT_EQ(other_thread_device, 0);
    int device = -1;
    EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
    EXPECT_EQ(device, 1);
    EXPECT_EQ(cudaSetDevice(2), cudaErrorInvalidDevice);
    (void)cudaGetLastError();
    hostdevice::configure_devices(0, 1 << 20);
    EXPECT_EQ(cudaSetDevice(0), cudaErrorNoDevice);
    (void)cudaGetLastError();
}

// ------------------------------------------------------------------ memory

TEST_F(HostDevice, AllocationAccountingAndCapacity) {
    hostdevice::configure_devices(2, 4096);
    void* a = nullptr;
    void* b = nullptr;
    ASSERT_EQ(cudaMalloc(&a, 3000), cudaSuccess);
    EXPECT_EQ(hostdevice::live_bytes(0), 3000u);
    EXPECT_EQ(hostdevice::live_allocations(0), 1u);
    EXPECT_EQ(cudaMalloc(&b, 2000), cudaErrorMemoryAllocation);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&b, 2000), cudaSuccess);  // the other device has its own memory
    EXPECT_EQ(hostdevice::live_bytes(1), 2000u);
    EXPECT_EQ(cudaFree(a), cudaSuccess);  // freed wherever the current device is
    EXPECT_EQ(cudaFree(b), cudaSuccess);
    EXPECT_EQ(hostdevice::live_bytes(0), 0u);
    EXPECT_EQ(hostdevice::live_bytes(1), 0u);
    EXPECT_EQ(cudaFree(a), cudaErrorInvalidValue) << "double free is refused";
    (void)cudaGetLastError();
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
}

TEST_F(HostDevice, CopiesStayInsideAllocations) {
    double* d = device_alloc<double>(4);
    std::vector<double> h = {1, 2, 3, 4, 5};
    EXPECT_EQ(cudaMemcpy(d, h.data(), 4 * sizeof(double), cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(d, h.data(), 5 * sizeof(double), cudaMemcpyHostToDevice), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(d + 1, h.data(), 4 * sizeof(double), cudaMemcpyHostToDevice), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(h.data(), h.data() + 1, 8, cudaMemcpyDeviceToHost), cudaErrorInvalidValue)
        << "a host pointer is not device memory";
    (void)cudaGetLastError();
    std::vector<double> back(4, 0.0);
    EXPECT_EQ(cudaMemcpy(back.data(), d, 4 * sizeof(double), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(back, std::vector<double>({1, 2, 3, 4}));
    EXPECT_EQ(cudaMemset(d, 0, 4 * sizeof(double)), cudaSuccess);
    EXPECT_EQ(cudaMemset(d, 0, 5 * sizeof(double)), cudaErrorInvalidValue);
    (void)cudaGetLastError();
    EXPECT_EQ(cudaMemcpy(back.data(), d, 4 * sizeof(double), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(back, std::vector<double>(4, 0.0));
    cudaFree(d);
}

TEST_F(HostDevice, FreshMemoryIsNotZero) {
    double* d = device_alloc<double>(2);
    double h[2] = {0, 0};
    cudaMemcpy(h, d, sizeof(h), cudaMemcpyDeviceToHost);
    EXPECT_TRUE(std::isnan(h[0]) && std::isnan(h[1]));
    cudaFree(d);
}

TEST_F(HostDevice, PageLocking) {
    std::vector<char> buffer(256);
    EXPECT_EQ(cudaHostRegister(buffer.data(), 256, cudaHostRegisterDefault), cudaSuccess);
    EXPECT_EQ(cudaHostRegister(buffer.data() + 10, 16, cudaHostRegisterDefault), cudaErrorHostMemoryAlreadyRegistered);
    EXPECT_EQ(hostdevice::registered_host_ranges(), 1u);
    EXPECT_EQ(cudaHostUnregister(buffer.data()), cudaSuccess);
    EXPECT_EQ(cudaHostUnregister(buffer.data()), cudaErrorHostMemoryNotRegistered);
    hostdevice::set_host_register_fails(true);
    EXPECT_EQ(cudaHostRegister(buffer.data(), 256, cudaHostRegisterDefault), cudaErrorNotSupported);
    EXPECT_EQ(hostdevice::registered_host_ranges(), 0u);
    (void)cudaGetLastError();
}

// ------------------------------------------------------------------ launches

TEST_F(HostDevice, RealGeometryEveryThreadOnce) {
    const dim3 grid(3, 2, 2);
    const dim3 block(4, 3, 2);
    const std::size_t threads = 12 * 24;
    unsigned* d = device_alloc<unsigned>(8 * threads);
    cudaMemset(d, 0, 8 * threads * sizeof(unsigned));
    launch<record_coordinates>(LaunchGeometry{grid, block, 0}, nullptr, d);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    std::vector<unsigned> h(8 * threads);
    cudaMemcpy(h.data(), d, h.size() * sizeof(unsigned), cudaMemcpyDeviceToHost);
    std::size_t i = 0;
    for (unsigned bz = 0; bz < 2; ++bz)
        for (unsigned by = 0; by < 2; ++by)
            for (unsigned bx = 0; bx < 3; ++bx)
                for (unsigned tz = 0; tz < 2; ++tz)
                    for (unsigned ty = 0; ty < 3; ++ty)
                        for (unsigned tx = 0; tx < 4; ++tx, ++i) {
                            const unsigned* r = &h[8 * i];
                            ASSERT_EQ(r[0], tx);
                            ASSERT_EQ(r[1], ty);
                            ASSERT_EQ(r[2], tz);
                            ASSERT_EQ(r[3], bx);
                            ASSERT_EQ(r[4], by);
                            ASSERT_EQ(r[5], bz);
                            ASSERT_EQ(r[6], 24u);
                            ASSERT_EQ(r[7], 1u) << "thread ran other than once";
                        }
    cudaFree(d);
}

TEST_F(HostDevice, LaunchConfigurationChecks) {
    int* d = device_alloc<int>(1);
    struct Case {
        LaunchGeometry g;
        cudaError_t expected;
    };
    const Case cases[] = {
        {{dim3(1), dim3(1025), 0}, cudaErrorInvalidConfiguration},
        {{dim3(1), dim3(32, 33), 0}, cudaErrorInvalidConfiguration},
        {{dim3(1), dim3(1, 1, 65), 0}, cudaErrorInvalidConfiguration},
        {{dim3(0), dim3(32), 0}, cudaErrorInvalidConfiguration},
        {{dim3(2147483648u), dim3(32), 0}, cudaErrorInvalidConfiguration},
        {{dim3(1, 65536), dim3(32), 0}, cudaErrorInvalidConfiguration},
        {{dim3(1), dim3(32), 48 * 1024 + 1}, cudaErrorInvalidValue},
    };
    hostdevice::clear_launch_log();
    for (const Case& c : cases) {
        launch<mark>(c.g, nullptr, d, 0ull);
        EXPECT_EQ(cudaGetLastError(), c.expected);
    }
    for (const auto& r : hostdevice::launch_log()) EXPECT_FALSE(r.accepted);
    launch<mark>(LaunchGeometry{dim3(1), dim3(1024), 48 * 1024}, nullptr, d, 1ull);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    cudaFree(d);
}

// A batch of states launches one member per grid row, up to the device's grid-y bound, which a
// test may lower to show that the bound is read and enforced.
TEST_F(HostDevice, GridYBoundIsTheDevicesAttributeAndIsEnforced) {
    int* d = device_alloc<int>(1);
    int extent = 0;
    ASSERT_EQ(cudaDeviceGetAttribute(&extent, cudaDevAttrMaxGridDimY, 0), cudaSuccess);
    EXPECT_EQ(extent, 65535);
    hostdevice::set_max_grid_y(4);
    ASSERT_EQ(cudaDeviceGetAttribute(&extent, cudaDevAttrMaxGridDimY, 0), cudaSuccess);
    EXPECT_EQ(extent, 4);
    EXPECT_EQ(cudaDeviceGetAttribute(&extent, cudaDevAttrMaxGridDimY, 7), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    launch<mark>(LaunchGeometry{dim3(1, 4), dim3(32), 0}, nullptr, d, 0ull);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    launch<mark>(LaunchGeometry{dim3(1, 5), dim3(32), 0}, nullptr, d, 0ull);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
    hostdevice::set_max_grid_y(0);  // clamped to 1
    EXPECT_EQ(hostdevice::max_grid_y(), 1u);
    hostdevice::set_max_grid_y(hostdevice::kDefaultMaxGridY);
    cudaFree(d);
}

// Rows of a pitched copy: each side's whole extent must lie where the kind says, and a row wider
// than a pitch is refused as the runtime refuses it.
TEST_F(HostDevice, PitchedCopiesStayInsideAllocations) {
    double* d = device_alloc<double>(8);
    ASSERT_EQ(cudaMemset(d, 0, 8 * sizeof(double)), cudaSuccess);
    const std::vector<double> rows = {1, 2, 3};
    // One element at the start of each of three rows of two.
    ASSERT_EQ(
        cudaMemcpy2D(d, 2 * sizeof(double), rows.data(), sizeof(double), sizeof(double), 3, cudaMemcpyHostToDevice),
        cudaSuccess);
    std::vector<double> back(8);
    ASSERT_EQ(cudaMemcpy(back.data(), d, 8 * sizeof(double), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(back, (std::vector<double>{1, 0, 2, 0, 3, 0, 0, 0}));
    EXPECT_EQ(
        cudaMemcpy2D(d, 3 * sizeof(double), rows.data(), sizeof(double), sizeof(double), 3, cudaMemcpyHostToDevice),
        cudaSuccess)
        << "the last row ends inside";
    EXPECT_EQ(
        cudaMemcpy2D(d, 4 * sizeof(double), rows.data(), sizeof(double), sizeof(double), 3, cudaMemcpyHostToDevice),
        cudaErrorInvalidValue)
        << "the last row starts past the allocation";
    EXPECT_EQ(
        cudaMemcpy2D(d, sizeof(double), rows.data(), sizeof(double), 2 * sizeof(double), 1, cudaMemcpyHostToDevice),
        cudaErrorInvalidPitchValue);
    std::vector<double> host(3);
    EXPECT_EQ(cudaMemcpy2D(host.data(), sizeof(double), d, sizeof(double), sizeof(double), 1, cudaMemcpyHostToDevice),
              cudaErrorInvalidValue)
        << "host destination of a host-to-device copy";
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue)
        << "a refused copy leaves its error pending, as the runtime does";
    cudaFree(d);
}

TEST_F(HostDevice, RejectedLaunchRunsNothing) {
    int* d = device_alloc<int>(64);
    cudaMemset(d, 0, 64 * sizeof(int));
    launch<mark>(LaunchGeometry{dim3(1), dim3(2048), 0}, nullptr, d, 64ull);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
    std::vector<int> h(64, 7);
    cudaMemcpy(h.data(), d, 64 * sizeof(int), cudaMemcpyDeviceToHost);
    EXPECT_EQ(std::accumulate(h.begin(), h.end(), 0), 0);
    cudaFree(d);
}

TEST_F(HostDevice, InjectedLaunchFailuresAreRefusedLaunches) {
    int* d = device_alloc<int>(4);
    cudaMemset(d, 0, 4 * sizeof(int));
    hostdevice::inject_launch_failures(1, cudaErrorLaunchOutOfResources);
    launch<mark>(korvane::linear_geometry(4), nullptr, d, 4ull);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
    int h[4] = {9, 9, 9, 9};
    cudaMemcpy(h, d, sizeof(h), cudaMemcpyDeviceToHost);
    EXPECT_EQ(h[0] + h[1] + h[2] + h[3], 0) << "a refused launch ran";
    launch<mark>(korvane::linear_geometry(4), nullptr, d, 4ull);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "only one failure was injected";
    cudaFree(d);
}

TEST_F(HostDevice, InjectedFailuresCanWaitForChosenLaunches) {
    int* d = device_alloc<int>(4);
    cudaMemset(d, 0, 4 * sizeof(int));
    hostdevice::inject_launch_failures(1, cudaErrorLaunchOutOfResources, 2);
    launch<mark>(LaunchGeometry{dim3(1), dim3(2048), 0}, nullptr, d, 4ull);  // invalid: not one of the skipped
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
    for (int run = 0; run < 2; ++run) {
        launch<mark>(korvane::linear_geometry(4), nullptr, d, 4ull);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "launch " << run << " was to run";
    }
    launch<mark>(korvane::linear_geometry(4), nullptr, d, 4ull);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
    launch<mark>(korvane::linear_geometry(4), nullptr, d, 4ull);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    cudaFree(d);
}

TEST_F(HostDevice, LaunchLogNamesKernelsAndGeometry) {
    int* d = device_alloc<int>(300);
    hostdevice::clear_launch_log();
    const auto before = hostdevice::launch_count();
    launch<mark>(korvane::linear_geometry(300), nullptr, d, 300ull);
    const auto log = hostdevice::launch_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].kernel, "{anonymous}::mark");
    EXPECT_EQ(log[0].grid.x, 2u);
    EXPECT_EQ(log[0].block.x, 256u);
    EXPECT_TRUE(log[0].accepted);
    EXPECT_EQ(hostdevice::launch_count(), before + 1);
    cudaFree(d);
}

class BlockSizes : public HostDevice, public ::testing::WithParamInterface<unsigned> {};

TEST_P(BlockSizes, BlockReductionNeedsItsBarriers) {
    const unsigned block = GetParam();
    const unsigned long long n = 100000;  // many blocks, spread over the workers
    std::vector<double> h(n);
    for (unsigned long long i = 0; i < n; ++i) h[i] = static_cast<double>(i % 1000);
    const unsigned blocks = static_cast<unsigned>((n + block - 1) / block);
    double* in = device_alloc<double>(n);
    double* out = device_alloc<double>(blocks);
    cudaMemcpy(in, h.data(), n * sizeof(double), cudaMemcpyHostToDevice);
    for (int workers : {1, 2}) {
        hostdevice::set_worker_count(workers);
        launch_cooperative<block_sum>(LaunchGeometry{dim3(blocks), dim3(block), block * sizeof(double)}, nullptr, in,
                                      out, n);
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        std::vector<double> sums(blocks);
        cudaMemcpy(sums.data(), out, blocks * sizeof(double), cudaMemcpyDeviceToHost);
        for (unsigned b = 0; b < blocks; ++b) {
            double expected = 0;
            for (unsigned long long i = std::uint64_t(b) * block;
                 i < std::min<unsigned long long>(n, (b + 1ull) * block); ++i)
                expected += h[i];
            ASSERT_EQ(sums[b], expected) << "block " << b << " with " << workers << " workers";
        }
    }
    cudaFree(in);
    cudaFree(out);
}

INSTANTIATE_TEST_SUITE_P(HostDevice, BlockSizes, ::testing::Values(128u, 256u));

// Every cooperative launch runs its threads on fibers of its own. What a sanitizer keeps per fiber
// (ThreadSanitizer: a call stack) must not grow with the number of launches.
TEST_F(HostDevice, AThousandCooperativeLaunchesOnOneHostThread) {
    const unsigned block = 256;
    std::vector<double> h(block);
    std::iota(h.begin(), h.end(), 0.0);
    double* in = device_alloc<double>(block);
    double* out = device_alloc<double>(1);
    cudaMemcpy(in, h.data(), block * sizeof(double), cudaMemcpyHostToDevice);
    for (int i = 0; i < 1000; ++i)
        launch_cooperative<block_sum>(LaunchGeometry{dim3(1), dim3(block), block * sizeof(double)}, nullptr, in, out,
                                      block);
    double sum = 0;
    cudaMemcpy(&sum, out, sizeof(double), cudaMemcpyDeviceToHost);
    EXPECT_EQ(sum, block * (block - 1) / 2.0);
    cudaFree(in);
    cudaFree(out);
}

TEST_F(HostDevice, SharedMemoryTranspose) {
    const unsigned dim = 64;
    std::vector<float> h(dim * dim);
    for (unsigned i = 0; i < dim * dim; ++i) h[i] = static_cast<float>(i);
    float* in = device_alloc<float>(dim * dim);
    float* out = device_alloc<float>(dim * dim);
    cudaMemcpy(in, h.data(), h.size() * sizeof(float), cudaMemcpyHostToDevice);
    launch_cooperative<transpose_tiles>(LaunchGeometry{dim3(dim / 16, dim / 16), dim3(16, 16), 0}, nullptr, in, out,
                                        dim);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    std::vector<float> t(dim * dim);
    cudaMemcpy(t.data(), out, t.size() * sizeof(float), cudaMemcpyDeviceToHost);
    for (unsigned r = 0; r < dim; ++r)
        for (unsigned c = 0; c < dim; ++c) ASSERT_EQ(t[c * dim + r], h[r * dim + c]);
    cudaFree(in);
    cudaFree(out);
}

TEST_F(HostDevice, AtomicAddOnDoubleFromAllWorkers) {
    const unsigned long long n = 1 << 18;
    double* total = device_alloc<double>(1);
    cudaMemset(total, 0, sizeof(double));
    hostdevice::set_worker_count(2);
    launch<atomic_total>(korvane::linear_geometry(n), nullptr, total, n);
    double h = 0;
    cudaMemcpy(&h, total, sizeof(double), cudaMemcpyDeviceToHost);
    EXPECT_EQ(h, static_cast<double>(n) * (n - 1) / 2);
    cudaFree(total);
}

TEST_F(HostDevice, ConcurrentLaunchesFromTwoHostThreads) {
    const unsigned long long n = 1 << 20;
    int* a = device_alloc<int>(n);
    int* b = device_alloc<int>(n);
    cudaMemset(a, 0, n * sizeof(int));
    cudaMemset(b, 0, n * sizeof(int));
    std::thread other([&] {
        cudaSetDevice(0);
        for (int i = 0; i < 4; ++i) launch<mark>(korvane::linear_geometry(n), nullptr, b, n);
    });
    for (int i = 0; i < 4; ++i) launch<mark>(korvane::linear_geometry(n), nullptr, a, n);
    other.join();
    std::vector<int> h(n);
    for (int* d : {a, b}) {
        cudaMemcpy(h.data(), d, n * sizeof(int), cudaMemcpyDeviceToHost);
        EXPECT_EQ(std::accumulate(h.begin(), h.end(), 0ll), static_cast<long long>(n));
    }
    cudaFree(a);
    cudaFree(b);
}

// ------------------------------------------------------------------ thread order

using hostdevice::ThreadOrder;

std::string site(unsigned line) { return "test_hostdevice\\.cu:" + std::to_string(line); }

TEST_F(HostDevice, ThreadOrderOfPlainAndCooperativeLaunches) {
    const unsigned threads = 64, blocks = 3;
    unsigned* order = device_alloc<unsigned>(2 * threads * blocks);
    unsigned* next = device_alloc<unsigned>(blocks);
    const auto run = [&](bool cooperative) {
        cudaMemset(next, 0, blocks * sizeof(unsigned));
        if (cooperative)
            launch_cooperative<record_phases>(LaunchGeometry{dim3(1), dim3(threads), 0}, nullptr, order, next);
        else
            launch<record_order>(LaunchGeometry{dim3(blocks), dim3(threads), 0}, nullptr, order, next);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
        std::vector<unsigned> h(2 * threads * blocks);
        cudaMemcpy(h.data(), order, h.size() * sizeof(unsigned), cudaMemcpyDeviceToHost);
        std::vector<std::vector<unsigned>> lists;  // per block, or per phase of the one block
        for (unsigned i = 0; i < (cooperative ? 2 : blocks); ++i)
            lists.emplace_back(h.begin() + i * threads, h.begin() + (i + 1) * threads);
        return lists;
    };
    std::vector<unsigned> forward(threads);
    std::iota(forward.begin(), forward.end(), 0u);
    const std::vector<unsigned> reverse(forward.rbegin(), forward.rend());
    for (bool cooperative : {false, true}) {
        hostdevice::set_thread_order(ThreadOrder::Forward);
        for (const auto& list : run(cooperative)) EXPECT_EQ(list, forward);
        hostdevice::set_thread_order(ThreadOrder::Reverse);
        for (const auto& list : run(cooperative)) EXPECT_EQ(list, reverse);
        hostdevice::set_thread_order(ThreadOrder::Shuffled);
        const auto lists = run(cooperative);
        for (const auto& list : lists) {
            EXPECT_TRUE(std::is_permutation(list.begin(), list.end(), forward.begin())) << "every thread runs once";
            EXPECT_NE(list, forward);
            EXPECT_NE(list, reverse);
        }
        EXPECT_NE(lists[0], lists[1]) << (cooperative ? "each phase is shuffled anew" : "each block is shuffled anew");
    }
    cudaFree(order);
    cudaFree(next);
}

TEST_F(HostDevice, ThreadOrderExposesReadsOfWhatAnotherThreadWritesInTheSamePhase) {
    const unsigned n = 64;
    std::vector<int> values(n);
    std::iota(values.begin(), values.end(), 100);
    std::vector<int> shifted(values.begin() + 1, values.end());
    shifted.push_back(values.back());
    DeviceArray<int> in(values);
    int* a = device_alloc<int>(n);
    for (ThreadOrder order : {ThreadOrder::Forward, ThreadOrder::Reverse, ThreadOrder::Shuffled}) {
        hostdevice::set_thread_order(order);
        cudaMemcpy(a, values.data(), n * sizeof(int), cudaMemcpyHostToDevice);
        launch<shift_left_racing>(LaunchGeometry{dim3(1), dim3(n), 0}, nullptr, a, n);
        std::vector<int> plain(n);
        cudaMemcpy(plain.data(), a, n * sizeof(int), cudaMemcpyDeviceToHost);
        launch_cooperative<shift_left_racing_shared>(LaunchGeometry{dim3(1), dim3(n), 0}, nullptr, in.get(), a);
        std::vector<int> shared(n);
        cudaMemcpy(shared.data(), a, n * sizeof(int), cudaMemcpyDeviceToHost);
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        if (order == ThreadOrder::Forward) {
            EXPECT_EQ(plain, shifted) << "in index order the race goes unseen";
            EXPECT_EQ(shared, shifted);
        } else {
            EXPECT_NE(plain, shifted) << hostdevice::thread_order_name(order);
            EXPECT_NE(shared, shifted) << hostdevice::thread_order_name(order);
        }
    }
    cudaFree(a);
}

TEST(HostDeviceSettings, ThreadOrderNames) {
    ThreadOrder order = ThreadOrder::Forward;
    EXPECT_TRUE(hostdevice::parse_thread_order("shuffled", &order));
    EXPECT_EQ(order, ThreadOrder::Shuffled);
    EXPECT_TRUE(hostdevice::parse_thread_order("reverse", &order));
    EXPECT_EQ(order, ThreadOrder::Reverse);
    EXPECT_FALSE(hostdevice::parse_thread_order("backwards", &order));
    EXPECT_EQ(order, ThreadOrder::Reverse);
    EXPECT_STREQ(hostdevice::thread_order_name(ThreadOrder::Forward), "forward");
}

// ------------------------------------------------------------------ barrier discipline

TEST_F(HostDevice, BarrierOutsideCooperativeLaunchIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int* d = device_alloc<int>(32);
    EXPECT_DEATH(launch<barrier_in_plain_launch>(LaunchGeometry{dim3(1), dim3(32), 0}, nullptr, d),
                 "__syncthreads at .*" + site(kPlainBarrierLine) +
                     " called in a kernel launched without cooperative execution \\(kernel "
                     "\\{anonymous\\}::barrier_in_plain_launch\\)");
    cudaFree(d);
}

TEST_F(HostDevice, BarrierReachedAfterAThreadReturnedIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int* d = device_alloc<int>(64);
    for (ThreadOrder order : {ThreadOrder::Forward, ThreadOrder::Reverse}) {
        hostdevice::set_thread_order(order);
        EXPECT_DEATH(launch_cooperative<barrier_after_early_return>(LaunchGeometry{dim3(2), dim3(32), 0}, nullptr, d),
                     "threads of one block reach different numbers of barriers: thread \\([0-9]+,0,0\\) waits at "
                     "its barrier 1 \\(.*" +
                         site(kEarlyReturnBarrierLine) +
                         "\\) after thread \\(0,0,0\\) returned from 0 in block \\(0,0,0\\) \\(kernel "
                         "\\{anonymous\\}::barrier_after_early_return\\)");
    }
    EXPECT_DEATH(launch_cooperative<barrier_count_by_thread>(LaunchGeometry{dim3(1), dim3(32), 0}, nullptr, d),
                 "threads of one block reach different numbers of barriers: thread \\([0-9]*[13579],0,0\\) waits at "
                 "its barrier 2 .* after thread \\([0-9]*[02468],0,0\\) returned from 1");
    cudaFree(d);
}

TEST_F(HostDevice, ThreadsAtDifferentBarriersAreFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int* d = device_alloc<int>(64);
    EXPECT_DEATH(launch_cooperative<divergent_barriers>(LaunchGeometry{dim3(1), dim3(64), 0}, nullptr, d),
                 "threads of one block wait at different barriers: thread \\(0,0,0\\) at .*" +
                     site(kFirstHalfBarrierLine) + ", thread \\(32,0,0\\) at .*" + site(kSecondHalfBarrierLine) +
                     " in block \\(0,0,0\\)");
    cudaFree(d);
}

// ------------------------------------------------------------------ shared memory

TEST_F(HostDevice, StaticSharedMemoryStartsEveryBlockAsNaN) {
    const unsigned blocks = 4;
    double* out = device_alloc<double>(32 * blocks);
    hostdevice::set_worker_count(1);  // every block on one host thread, after block 0's values
    for (bool cooperative : {false, true}) {
        if (cooperative)
            launch_cooperative<read_unwritten_static_shared>(LaunchGeometry{dim3(blocks), dim3(32), 0}, nullptr, out);
        else
            launch<read_unwritten_static_shared>(LaunchGeometry{dim3(blocks), dim3(32), 0}, nullptr, out);
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        std::vector<double> h(32 * blocks);
        cudaMemcpy(h.data(), out, h.size() * sizeof(double), cudaMemcpyDeviceToHost);
        for (unsigned i = 0; i < 32; ++i) EXPECT_EQ(h[i], 1.0);
        for (unsigned i = 32; i < h.size(); ++i) ASSERT_TRUE(std::isnan(h[i])) << "element " << i << ": " << h[i];
    }
    cudaFree(out);
}

// ------------------------------------------------------------------ kernel resources

TEST_F(HostDevice, LaunchesBeyondAKernelsResourcesAreRefusedAsOnAGpu) {
    int* d = device_alloc<int>(1024);
    cudaMemset(d, 0, 1024 * sizeof(int));
    struct Case {
        hostdevice::KernelResources planted;
        unsigned threads;
        cudaError_t expected;
    };
    const Case cases[] = {
        {{64, 0, 1024}, 1024, cudaSuccess},                    // 64 x 1024 registers: exactly a block's
        {{65, 0, 1024}, 1024, cudaErrorLaunchOutOfResources},  // one register a thread too many
        {{255, 0, 256}, 256, cudaSuccess},
        {{255, 0, 256}, 257, cudaErrorLaunchOutOfResources},  // more threads than its __launch_bounds__
        {{32, 0, 1024}, 1000, cudaSuccess},
        {{65, 0, 1024}, 993, cudaErrorLaunchOutOfResources},  // registers are held per whole warp
        {{80, 0, 1024}, 768, cudaSuccess},
        {{81, 0, 1024}, 768, cudaErrorLaunchOutOfResources},  // and 8 a thread at a time: 88 x 768
        {{8, 40 * 1024, 1024}, 32, cudaSuccess},
    };
    const auto ran = [&] {  // how many threads the launch ran
        std::vector<int> h(1024);
        cudaMemcpy(h.data(), d, h.size() * sizeof(int), cudaMemcpyDeviceToHost);
        cudaMemset(d, 0, 1024 * sizeof(int));
        return static_cast<unsigned>(std::accumulate(h.begin(), h.end(), 0));
    };
    for (const Case& c : cases) {
        hostdevice::set_kernel_resources("{anonymous}::mark", c.planted);
        launch<mark>(LaunchGeometry{dim3(1), dim3(c.threads), 0}, nullptr, d, 1024ull);
        EXPECT_EQ(cudaGetLastError(), c.expected) << c.planted.registers << " registers, " << c.threads << " threads";
        EXPECT_EQ(ran(), c.expected == cudaSuccess ? c.threads : 0u);
    }
    EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchOutOfResources), "too many resources requested for launch");
    // Static and dynamic shared memory together above 48 KiB (the planted kernel has 40 KiB static).
    launch<mark>(LaunchGeometry{dim3(1), dim3(32), 8 * 1024}, nullptr, d, 1024ull);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    launch<mark>(LaunchGeometry{dim3(1), dim3(32), 8 * 1024 + 1}, nullptr, d, 1024ull);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(ran(), 32u);
    hostdevice::KernelResources applied;
    ASSERT_TRUE(hostdevice::kernel_resources("{anonymous}::mark", &applied));
    EXPECT_EQ(applied.static_shared_bytes, 40u * 1024);
    hostdevice::reset();
    EXPECT_FALSE(hostdevice::kernel_resources("{anonymous}::mark", &applied)) << "reset forgets planted figures";
    launch<mark>(LaunchGeometry{dim3(1), dim3(1024), 0}, nullptr, d, 1024ull);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    ASSERT_TRUE(hostdevice::kernel_resources("{anonymous}::mark", &applied));
    EXPECT_EQ(applied.registers, 0u) << "a test kernel is not in the cuda build's table";
    cudaFree(d);
}

TEST_F(HostDevice, StaticSharedMemoryOfTheHostBuildCountsTowardTheBlocksShare) {
    double* out = device_alloc<double>(64);
    launch_cooperative<large_static_shared>(LaunchGeometry{dim3(1), dim3(64), 16 * 1024}, nullptr, out);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // 32 + 16 KiB
    launch_cooperative<large_static_shared>(LaunchGeometry{dim3(1), dim3(64), 16 * 1024 + 8}, nullptr, out);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    hostdevice::KernelResources applied;
    ASSERT_TRUE(hostdevice::kernel_resources("{anonymous}::large_static_shared", &applied));
    EXPECT_EQ(applied.static_shared_bytes, 4096 * sizeof(double));
    cudaFree(out);
}

// ------------------------------------------------------------------ pointer spaces

TEST_F(HostDevice, PointerArgumentsMustPointIntoLiveAllocationsOfTheLaunchDevice) {
    hostdevice::configure_devices(2, 1 << 20);
    int* d = device_alloc<int>(64);
    cudaMemset(d, 0, 64 * sizeof(int));
    std::vector<int> host(64, 0);
    int* freed = device_alloc<int>(64);
    cudaFree(freed);
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    int* other = device_alloc<int>(64);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    const auto geometry = LaunchGeometry{dim3(1), dim3(64), 0};
    for (int* bad : {host.data(), freed, other, d + 64}) {
        hostdevice::clear_launch_log();
        launch<mark>(geometry, nullptr, bad, 64ull);
        const cudaError_t status = cudaGetLastError();
        EXPECT_EQ(status, cudaErrorIllegalAddress);
        EXPECT_STREQ(cudaGetErrorString(status), "an illegal memory access was encountered");
        EXPECT_FALSE(hostdevice::launch_log().at(0).accepted);
    }
    EXPECT_EQ(host, std::vector<int>(64, 0)) << "a refused launch wrote host memory";
    launch<mark>(geometry, nullptr, d + 32, 32ull);  // inside an allocation: anywhere in it
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    launch<mark>(geometry, nullptr, static_cast<int*>(nullptr), 0ull);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "null is a valid argument";
    cudaFree(d);
    cudaSetDevice(1);
    cudaFree(other);
    cudaSetDevice(0);
}

// Another library's memory a state borrows: device memory of its device while registered, never
// counted or freed. Unregistered, the same host memory is refused again (the fault the check exists for).
TEST_F(HostDevice, RegisteredRangesAreDeviceMemoryOfTheirDeviceWhileRegistered) {
    hostdevice::configure_devices(2, 1 << 20);
    std::vector<int> lent(64, 0);
    const std::size_t bytes = lent.size() * sizeof(int);
    const auto geometry = LaunchGeometry{dim3(1), dim3(64), 0};
    const auto launch_status = [&](int device) {
        EXPECT_EQ(cudaSetDevice(device), cudaSuccess);
        launch<mark>(geometry, nullptr, lent.data(), 64ull);
        const cudaError_t status = cudaGetLastError();
        EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
        return status;
    };
    EXPECT_EQ(launch_status(0), cudaErrorIllegalAddress);
    ASSERT_EQ(hostdevice::register_device_range(lent.data(), bytes, 0), cudaSuccess);
    EXPECT_EQ(hostdevice::register_device_range(lent.data(), bytes, 0), cudaSuccess) << "registrations nest";
    EXPECT_EQ(hostdevice::registered_device_ranges(), 2u);
    EXPECT_EQ(hostdevice::live_bytes(0), 0u);
    EXPECT_EQ(hostdevice::live_allocations(0), 0u);
    EXPECT_EQ(launch_status(1), cudaErrorIllegalAddress) << "another device's memory";
    EXPECT_EQ(launch_status(0), cudaSuccess);
    EXPECT_EQ(lent, std::vector<int>(64, 1));
    std::vector<int> host(64, 2);
    EXPECT_EQ(cudaMemcpy(lent.data(), host.data(), bytes, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(host.data(), lent.data(), bytes, cudaMemcpyHostToHost), cudaErrorInvalidValue)
        << "device memory named as host memory";
    EXPECT_EQ(cudaFree(lent.data()), cudaErrorInvalidValue) << "not the host device's to free";
    for (int i = 0; i < 2; ++i) EXPECT_EQ(hostdevice::unregister_device_range(lent.data(), bytes), cudaSuccess);
    EXPECT_EQ(hostdevice::unregister_device_range(lent.data(), bytes), cudaErrorInvalidValue);
    EXPECT_EQ(hostdevice::registered_device_ranges(), 0u);
    EXPECT_EQ(launch_status(0), cudaErrorIllegalAddress);
    EXPECT_EQ(hostdevice::register_device_range(nullptr, bytes, 0), cudaErrorInvalidValue);
    EXPECT_EQ(hostdevice::register_device_range(lent.data(), bytes, 2), cudaErrorInvalidDevice);
    (void)cudaGetLastError();
}

// Work completes as it is issued, so events only check their handles.
TEST_F(HostDevice, EventsCheckTheirHandles) {
    cudaEvent_t event = nullptr;
    ASSERT_EQ(cudaEventCreateWithFlags(&event, cudaEventDisableTiming), cudaSuccess);
    EXPECT_EQ(cudaEventRecord(event, cudaStreamLegacy), cudaSuccess);
    EXPECT_EQ(cudaStreamWaitEvent(cudaStreamPerThread, event, 0), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(event), cudaSuccess);
    for (const cudaError_t status :
         {cudaEventRecord(event, nullptr), cudaStreamWaitEvent(nullptr, event, 0), cudaEventDestroy(event)}) {
        EXPECT_EQ(status, cudaErrorInvalidResourceHandle);
        EXPECT_STREQ(cudaGetErrorString(status), "invalid resource handle");
    }
    EXPECT_EQ(cudaEventCreateWithFlags(&event, 0x80u), cudaErrorInvalidValue);
    (void)cudaGetLastError();
}

TEST_F(HostDevice, CopiesCheckTheirDirectionAgainstWherePointersLive) {
    int* d = device_alloc<int>(4);
    int* e = device_alloc<int>(4);
    std::vector<int> h(4, 7), g(4, 0);
    const std::size_t bytes = 4 * sizeof(int);
    EXPECT_EQ(cudaMemcpy(d, h.data(), bytes, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(d, e, bytes, cudaMemcpyHostToDevice), cudaErrorInvalidValue) << "device source";
    EXPECT_EQ(cudaMemcpy(h.data(), g.data(), bytes, cudaMemcpyHostToDevice), cudaErrorInvalidValue) << "host target";
    EXPECT_EQ(cudaMemcpy(e, d, bytes, cudaMemcpyDeviceToHost), cudaErrorInvalidValue) << "device target";
    EXPECT_EQ(cudaMemcpy(g.data(), d, bytes, cudaMemcpyHostToHost), cudaErrorInvalidValue) << "device source";
    EXPECT_EQ(cudaMemcpy(e, h.data(), bytes, cudaMemcpyDeviceToDevice), cudaErrorInvalidValue) << "host source";
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(g, std::vector<int>(4, 0)) << "a refused copy wrote";
    EXPECT_EQ(cudaMemcpy(e, d, bytes, cudaMemcpyDeviceToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(g.data(), e, bytes, cudaMemcpyDefault), cudaSuccess) << "the kind follows the pointers";
    EXPECT_EQ(g, h);
    EXPECT_EQ(cudaMemcpy(g.data(), g.data() + 1, 2 * sizeof(int), cudaMemcpyHostToHost), cudaSuccess);
    cudaFree(d);
    cudaFree(e);
}

#if defined(KORVANE_TEST_SANITIZED)
TEST_F(HostDevice, SanitizerReportsOutOfBoundsReadInCooperativeKernel) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    double* in = device_alloc<double>(128);
    double* out = device_alloc<double>(1);
    cudaMemset(in, 0, 128 * sizeof(double));
    EXPECT_DEATH(
        launch_cooperative<read_past_end>(LaunchGeometry{dim3(1), dim3(128), 128 * sizeof(double)}, 0, in, out),
        "heap-buffer-overflow");
    cudaFree(in);
    cudaFree(out);
}
#endif

#if defined(KORVANE_TEST_THREAD_SANITIZED)
// The kernels' threads run on fibers that ThreadSanitizer follows: two launches from two host threads
// that write one element without an atomic are a race it reports, from inside the fibers.
TEST_F(HostDevice, ThreadSanitizerReportsLaunchesFromTwoHostThreadsWritingOneElement) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    double* out = device_alloc<double>(1);
    cudaMemset(out, 0, sizeof(double));
    const LaunchGeometry one_block{dim3(1), dim3(64), 0};
    const auto race = [&] {
        // The other thread outlives this thread's launch: ThreadSanitizer may hand the identities of a
        // finished thread's fibers to new ones and would then take the earlier write for their own.
        std::atomic<bool> launched{false};
        std::thread other([&] {
            cudaSetDevice(0);
            launch_cooperative<add_after_barrier>(one_block, 0, out);
            while (!launched.load()) std::this_thread::yield();
        });
        launch_cooperative<add_after_barrier>(one_block, 0, out);
        launched = true;
        other.join();
    };
    EXPECT_DEATH(race(), "ThreadSanitizer: data race.*add_after_barrier");
    // The same launches one after the other are no race.
    std::thread([&] {
        cudaSetDevice(0);
        launch_cooperative<add_after_barrier>(one_block, 0, out);
    }).join();
    launch_cooperative<add_after_barrier>(one_block, 0, out);
    double h = 0;
    cudaMemcpy(&h, out, sizeof(double), cudaMemcpyDeviceToHost);
    EXPECT_EQ(h, 2.0);
    cudaFree(out);
}
#endif

// ------------------------------------------------------------------ cuBLAS

// Device copies of a GEMM's A and B and room for its C, freed with the object.
template <class C>
struct GemmOperands {
    C* a = nullptr;
    C* b = nullptr;
    C* c = nullptr;
    GemmOperands(const std::vector<C>& host_a, const std::vector<C>& host_b, std::size_t c_elements) {
        cudaMalloc(&a, host_a.size() * sizeof(C));
        cudaMalloc(&b, host_b.size() * sizeof(C));
        cudaMalloc(&c, c_elements * sizeof(C));
        cudaMemcpy(a, host_a.data(), host_a.size() * sizeof(C), cudaMemcpyHostToDevice);
        cudaMemcpy(b, host_b.data(), host_b.size() * sizeof(C), cudaMemcpyHostToDevice);
    }
    ~GemmOperands() {
        cudaFree(a);
        cudaFree(b);
        cudaFree(c);
    }
    GemmOperands(const GemmOperands&) = delete;
    GemmOperands& operator=(const GemmOperands&) = delete;
};

template <class T, class Blas, class Gemm>
void check_gemm(Gemm gemm_fn, double tolerance) {
    using C = std::complex<T>;
    const int m = 8, n = 5, k = 8;
    std::vector<C> a(m * k), b(k * n), c(m * n);
    for (int i = 0; i < m * k; ++i) a[i] = C(T(0.1) * i, T(-0.05) * i);
    for (int i = 0; i < k * n; ++i) b[i] = C(T(1) - T(0.1) * i, T(0.2) * (i % 3));
    const GemmOperands<C> operands(a, b, c.size());
    C* const da = operands.a;
    C* const db = operands.b;
    C* const dc = operands.c;
    cublasHandle_t handle = nullptr;
    ASSERT_EQ(cublasCreate(&handle), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(hostdevice::live_blas_handles(0), 1);
    ASSERT_EQ(cublasSetStream(handle, nullptr), CUBLAS_STATUS_SUCCESS);
    const Blas one{1, 0}, zero{0, 0};
    // C = A^T B with A stored column-major k x m (so A^T is m x k).
    ASSERT_EQ(gemm_fn(handle, CUBLAS_OP_T, CUBLAS_OP_N, m, n, k, &one, reinterpret_cast<const Blas*>(da), k,
                      reinterpret_cast<const Blas*>(db), k, &zero, reinterpret_cast<Blas*>(dc), m),
              CUBLAS_STATUS_SUCCESS);
    cudaMemcpy(c.data(), dc, c.size() * sizeof(C), cudaMemcpyDeviceToHost);
    for (int col = 0; col < n; ++col)
        for (int row = 0; row < m; ++row) {
            C expected = 0;
            for (int j = 0; j < k; ++j) expected += a[row * k + j] * b[col * k + j];
            EXPECT_NEAR(std::abs(c[col * m + row] - expected), 0.0, tolerance);
        }
    EXPECT_EQ(gemm_fn(handle, CUBLAS_OP_N, CUBLAS_OP_N, m, n, k, &one, reinterpret_cast<const Blas*>(a.data()), m,
                      reinterpret_cast<const Blas*>(db), k, &zero, reinterpret_cast<Blas*>(dc), m),
              CUBLAS_STATUS_EXECUTION_FAILED)
        << "a host operand is refused";
    EXPECT_EQ(gemm_fn(handle, CUBLAS_OP_N, CUBLAS_OP_N, m, n, k, &one, reinterpret_cast<const Blas*>(da), m - 1,
                      reinterpret_cast<const Blas*>(db), k, &zero, reinterpret_cast<Blas*>(dc), m),
              CUBLAS_STATUS_INVALID_VALUE);
    ASSERT_EQ(cublasDestroy(handle), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(hostdevice::live_blas_handles(0), 0);
}

// count products, each C_i = A_i^T B_i with A_i a stride apart (stride 0: one shared A), and the
// whole batch of every operand inside one allocation.
template <class T, class Blas, class Gemm>
void check_strided_batched_gemm(Gemm gemm_fn, double tolerance) {
    using C = std::complex<T>;
    const int m = 4, n = 3, k = 4, count = 3;
    std::vector<C> a(count * m * k), b(count * k * n), c(count * m * n);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = C(T(0.1) * T(i % 17), T(-0.05) * T(i % 5));
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = C(T(1) - T(0.1) * T(i % 7), T(0.2) * T(i % 3));
    const GemmOperands<C> operands(a, b, c.size());
    const auto* A = reinterpret_cast<const Blas*>(operands.a);
    const auto* B = reinterpret_cast<const Blas*>(operands.b);
    auto* out = reinterpret_cast<Blas*>(operands.c);
    cublasHandle_t handle = nullptr;
    ASSERT_EQ(cublasCreate(&handle), CUBLAS_STATUS_SUCCESS);
    const Blas one{1, 0}, zero{0, 0};
    for (const long long stride_a : {0LL, static_cast<long long>(m * k)}) {
        ASSERT_EQ(gemm_fn(handle, CUBLAS_OP_T, CUBLAS_OP_N, m, n, k, &one, A, k, stride_a, B, k, k * n, &zero, out, m,
                          m * n, count),
                  CUBLAS_STATUS_SUCCESS);
        cudaMemcpy(c.data(), operands.c, c.size() * sizeof(C), cudaMemcpyDeviceToHost);
        for (int i = 0; i < count; ++i)
            for (int col = 0; col < n; ++col)
                for (int row = 0; row < m; ++row) {
                    C expected = 0;
                    for (int j = 0; j < k; ++j) expected += a[i * stride_a + row * k + j] * b[i * k * n + col * k + j];
                    EXPECT_NEAR(std::abs(c[i * m * n + col * m + row] - expected), 0.0, tolerance) << i;
                }
    }
    // A stride that takes the last product's B or C past its allocation, a negative count.
    EXPECT_EQ(
        gemm_fn(handle, CUBLAS_OP_T, CUBLAS_OP_N, m, n, k, &one, A, k, 0, B, k, k * n + 1, &zero, out, m, m * n, count),
        CUBLAS_STATUS_EXECUTION_FAILED);
    EXPECT_EQ(
        gemm_fn(handle, CUBLAS_OP_T, CUBLAS_OP_N, m, n, k, &one, A, k, 0, B, k, k * n, &zero, out, m, m * n + 1, count),
        CUBLAS_STATUS_EXECUTION_FAILED);
    EXPECT_EQ(gemm_fn(handle, CUBLAS_OP_T, CUBLAS_OP_N, m, n, k, &one, A, k, 0, B, k, k * n, &zero, out, m, m * n, -1),
              CUBLAS_STATUS_INVALID_VALUE);
    ASSERT_EQ(cublasDestroy(handle), CUBLAS_STATUS_SUCCESS);
}

TEST_F(HostDevice, StridedBatchedComplexGemmSingleAndDouble) {
    check_strided_batched_gemm<float, cuComplex>(&cublasCgemmStridedBatched, 1e-4);
    check_strided_batched_gemm<double, cuDoubleComplex>(&cublasZgemmStridedBatched, 1e-12);
}

TEST_F(HostDevice, ComplexGemmSingleAndDouble) {
    check_gemm<float, cuComplex>(&cublasCgemm, 1e-4);
    check_gemm<double, cuDoubleComplex>(&cublasZgemm, 1e-12);
}

}  // namespace
