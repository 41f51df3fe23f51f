// The host device's own controls, like a driver's: how many devices it shows, their memory,
// and what it has seen (live allocations, launches, synchronisations). Tests read these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hostdevice/cuda_runtime_api.hpp"

namespace hostdevice {

constexpr std::size_t kDefaultCapacityBytes = std::size_t(16) << 30;

// Sets the number of devices and the memory capacity of each. Live allocations keep their
// accounting on the device that made them.
void configure_devices(int count, std::size_t capacity_bytes);
int configured_device_count();
std::size_t device_capacity(int device);

// Host threads that run blocks of one launch in parallel (the launching thread included).
void set_worker_count(int workers);
int worker_count();

// Makes cudaHostRegister fail with cudaErrorNotSupported, as on a platform without page-locking.
void set_host_register_fails(bool fails);

std::size_t live_bytes(int device);
std::size_t live_allocations(int device);
std::size_t registered_host_ranges();
int live_blas_handles(int device);

struct LaunchRecord {
    std::string kernel;
    dim3 grid;
    dim3 block;
    std::size_t shared_bytes;
    int device;
    bool accepted;
};

// The most recent launches (accepted or rejected), oldest first; at most kLaunchLogLimit are kept.
constexpr std::size_t kLaunchLogLimit = 1 << 16;
std::vector<LaunchRecord> launch_log();
void clear_launch_log();
std::uint64_t launch_count();

// Refuses the next `count` kernel launches with `error`, as a driver may refuse a launch for lack of
// resources; lets tests reach the system's launch-failure reporting. With skip, the first `skip`
// launches that would succeed run first, so a chosen step of a sequence fails.
void inject_launch_failures(int count, cudaError_t error, int skip = 0);

// Calls that wait for the device: stream and device synchronisation (blocking copies not counted).
std::uint64_t synchronize_count();

// Restores the defaults: one device of kDefaultCapacityBytes, automatic workers, registration on,
// empty launch log. Live allocations are kept.
void reset();

}  // namespace hostdevice
