// The host device's own controls, like a driver's: how many devices it shows, their memory, the
// order in which a block's threads run, the kernels' resources, and what it has seen (live
// allocations, launches, synchronisations). Tests read these.
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

// The most blocks a launch's grid may have along y (cudaDevAttrMaxGridDimY): 65535 as on every
// GPU, or less when a test plants a smaller bound (at least 1), which launches are then checked
// against too. reset() restores 65535.
constexpr unsigned kDefaultMaxGridY = 65535;
void set_max_grid_y(unsigned extent);
unsigned max_grid_y();

// Host threads that run blocks of one launch in parallel (the launching thread included).
void set_worker_count(int workers);
int worker_count();

// The order in which the threads of a block run between two barriers, and in a launch without
// barriers: index order, its reverse, or a fresh permutation for every block and every phase. A
// kernel whose threads read what another thread of the same phase writes gives results that depend
// on it, as on a GPU. The default comes from HOSTDEVICE_THREAD_ORDER ("forward", "reverse" or
// "shuffled"; forward when unset) and is what reset() restores.
enum class ThreadOrder { Forward, Reverse, Shuffled };
void set_thread_order(ThreadOrder order);
ThreadOrder thread_order();
const char* thread_order_name(ThreadOrder order);
// False when name is none of the three.
bool parse_thread_order(const char* name, ThreadOrder* order);

// A kernel's resources as the cuda build reports them, the most any of its architectures needs.
// A launch whose block could not hold them is refused as a GPU refuses it: more threads than
// max_threads (its __launch_bounds__) or than 65536 registers allow (held per whole warp, 8 a thread
// at a time), "too many resources requested for launch"; static and dynamic shared memory above
// 48 KiB, "invalid argument".
struct KernelResources {
    unsigned registers = 0;
    std::size_t static_shared_bytes = 0;
    unsigned max_threads = 1024;
};
constexpr unsigned kRegistersPerBlock = 65536;
constexpr std::size_t kSharedBytesPerBlock = std::size_t{48} * 1024;

// The figures applied to the kernel the launch log names so, until reset(): a kernel's figures
// as a test plants them, in place of the table generated from the cuda build.
void set_kernel_resources(const std::string& kernel, const KernelResources& resources);
// The figures applied to the launched kernel of this name (planted, else the table's), if any.
bool kernel_resources(const std::string& kernel, KernelResources* resources);
// Kernels launched since the last reset() that the table does not list, by launch-log name. They
// run with only their static shared memory checked (the host build knows no registers or launch
// bound); the test suite reports them as a warning.
std::vector<std::string> unlisted_kernels();
// Until reset(), launches of the kernel of this launch-log name go as if the table had no row for
// it: the path of a kernel added on a machine without a GPU toolkit.
void unlist_kernel(const std::string& kernel);
// How many kernels the table lists.
std::size_t listed_kernel_count();

// Makes cudaHostRegister fail with cudaErrorNotSupported, as on a platform without page-locking.
void set_host_register_fails(bool fails);

// Memory the system uses as device memory without having allocated it here: an array of another
// library taken over without a copy, which on a GPU would be that library's device memory. A
// registered range is device memory of `device` for the launch and copy checks, is not counted in
// live_bytes or live_allocations, and is never freed by the host device. Ranges may overlap and the
// same range may be registered more than once; each unregister removes one registration of exactly
// that range ("invalid argument" when there is none). These are the system's calls, a no-op on a GPU
// (korvane::gpu::DeviceRangeRegistration).
cudaError_t register_device_range(const void* ptr, std::size_t bytes, int device);
cudaError_t unregister_device_range(const void* ptr, std::size_t bytes);
std::size_t registered_device_ranges();

std::size_t live_bytes(int device);
std::size_t live_allocations(int device);
std::size_t registered_host_ranges();
// Successful cudaHostRegister calls since the process started.
std::uint64_t host_register_count();
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

// Holds the next `count` device operations (kernel launches, copies, memsets and hold points), on
// whatever threads make them: each waits until release_held_operations() or until timeout_seconds
// pass, then goes on as usual. Tests stop a call at its device work this way while another thread
// runs: a thread that needs the GIL can run only if the held call released it.
void hold_operations(int count, double timeout_seconds);
// Operations waiting now.
int held_operations();
// Waits up to timeout_seconds, or until release_held_operations(), until at least count operations
// have been held since hold_operations() (whether still waiting or not, so a late wake-up does not
// miss one); false when fewer have.
bool wait_for_held_operations(int count, double timeout_seconds);
// Lets every waiting operation go and holds no more.
void release_held_operations();
// How many operations of the last hold_operations() went on because their timeout passed.
int held_operation_timeouts();
// A point in the system's CPU-only work (the fusion planner) that is held as a device operation is.
void hold_point();

// Calls that wait for the device: stream and device synchronisation (blocking copies not counted).
std::uint64_t synchronize_count();

// Returns the host device to its start: one device of kDefaultCapacityBytes, automatic workers,
// registration on, the default thread order, no planted resources, unlisted or hidden kernels,
// an empty launch log, no injected failures and no held operations. Live allocations are kept.
void reset();

}  // namespace hostdevice
