// Kernel launch on the host device: CUDA's launch checks (configuration, the kernel's resources,
// pointer arguments) and the launch log, then the blocks run to completion (workers.hpp).
#include <cstdint>

#include "hostdevice/control.hpp"
#include "hostdevice/kernel_image.hpp"
#include "hostdevice/kernel_resources.hpp"
#include "hostdevice/launch.hpp"
#include "hostdevice/launch_log.hpp"
#include "hostdevice/runtime.hpp"
#include "hostdevice/workers.hpp"

namespace hostdevice {
namespace {

constexpr unsigned kMaxThreadsPerBlock = 1024;
constexpr unsigned kMaxBlockZ = 64;
constexpr unsigned kMaxGridX = 2147483647u;
constexpr unsigned kMaxGridZ = 65535;

cudaError_t check_configuration(const LaunchConfig& c) {
    const dim3 g = c.grid;
    const dim3 b = c.block;
    if (g.x == 0 || g.y == 0 || g.z == 0 || b.x == 0 || b.y == 0 || b.z == 0) return cudaErrorInvalidConfiguration;
    if (b.x > kMaxThreadsPerBlock || b.y > kMaxThreadsPerBlock || b.z > kMaxBlockZ)
        return cudaErrorInvalidConfiguration;
    if (std::uint64_t(b.x) * b.y * b.z > kMaxThreadsPerBlock) return cudaErrorInvalidConfiguration;
    if (g.x > kMaxGridX || g.y > max_grid_y() || g.z > kMaxGridZ) return cudaErrorInvalidConfiguration;
    if (c.shared_bytes > kSharedBytesPerBlock) return cudaErrorInvalidValue;
    return cudaSuccess;
}

// Every pointer argument is null or points into a live allocation of the launch's device; anything
// else (host memory, freed memory, another device's) is what a GPU faults on.
cudaError_t check_pointers(const KernelInfo& kernel, int device) {
    for (std::size_t i = 0; i < kernel.pointer_count; ++i) {
        const void* p = kernel.pointers[i];
        if (p && internal::allocation_device(p) != device) return cudaErrorIllegalAddress;
    }
    return cudaSuccess;
}

}  // namespace

void launch_kernel(const LaunchConfig& config, const KernelInfo& kernel, bool cooperative, PlainBlockFn plain,
                   ThreadFn thread, const void* args) {
    hold_point();
    const internal::KernelImage& image = internal::kernel_image(kernel.address);
    int device = -1;
    cudaError_t status = internal::current_device(&device);
    if (status == cudaSuccess) status = check_configuration(config);
    if (status == cudaSuccess)
        status =
            internal::check_resources(config.block, config.shared_bytes, internal::resources_of(kernel.name, image));
    if (status == cudaSuccess) status = check_pointers(kernel, device);
    if (status == cudaSuccess) status = internal::injected_failure();
    const std::uint64_t launch_number = internal::log_launch(kernel.name, config.grid, config.block,
                                                             config.shared_bytes, device, status == cudaSuccess);
    if (status != cudaSuccess) {
        internal::record(status);
        return;
    }
    const bool barriers = internal::run_blocks(config, kernel, image, cooperative, plain, thread, args, launch_number);
    internal::note_launched(kernel.name, barriers);
}

}  // namespace hostdevice
