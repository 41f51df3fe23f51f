// Kernel launch on the host device. launch<Kernel>(geometry..., args) stands where CUDA code writes
// Kernel<<<grid, block, shared_bytes, stream>>>(args); common/gpu/launch.hpp picks one or the other.
#pragma once

#include <cstddef>
#include <cstring>
#include <tuple>
#include <utility>

#include "hostdevice/device_vocabulary.hpp"

namespace hostdevice {

struct LaunchConfig {
    dim3 grid;
    dim3 block;
    std::size_t shared_bytes;
    cudaStream_t stream;
};

struct BlockContext {
    uint3 block_idx;
    dim3 grid_dim;
    dim3 block_dim;
    void* dynamic_shared;
};

// Runs every thread of one block in turn (kernels without barriers).
using PlainBlockFn = void (*)(const void* args, const BlockContext& block);
// Runs one thread of one block; used on a fiber per thread for kernels with barriers.
using ThreadFn = void (*)(const void* args, const BlockContext& block, uint3 thread);

// Checks the configuration as CUDA does, records the launch and runs it to completion.
// A rejected launch runs nothing and leaves its error pending for cudaGetLastError.
void launch_kernel(const LaunchConfig& config, const char* kernel_name, bool cooperative, PlainBlockFn plain,
                   ThreadFn thread, const void* args);

namespace detail {

inline void enter_block(const BlockContext& block) {
    blockIdx = block.block_idx;
    gridDim = block.grid_dim;
    blockDim = block.block_dim;
    current_dynamic_shared = block.dynamic_shared;
}

template <auto Kernel, class Args>
void run_plain_block(const void* args, const BlockContext& block) {
    const Args& params = *static_cast<const Args*>(args);
    enter_block(block);
    for (unsigned z = 0; z < block.block_dim.z; ++z) {
        for (unsigned y = 0; y < block.block_dim.y; ++y) {
            for (unsigned x = 0; x < block.block_dim.x; ++x) {
                threadIdx = uint3{x, y, z};
                std::apply(Kernel, params);
            }
        }
    }
}

template <auto Kernel, class Args>
void run_thread(const void* args, const BlockContext& block, uint3 thread) {
    enter_block(block);
    threadIdx = thread;
    std::apply(Kernel, *static_cast<const Args*>(args));
}

// The kernel's qualified name, as the compiler spells the template argument.
template <auto Kernel>
const char* kernel_name() {
    static const char* const name = [](const char* pretty) {
        static char buffer[512];
        const char* start = std::strstr(pretty, "Kernel = ");
        start = start ? start + 9 : pretty;
        std::size_t length = std::strlen(start);
        if (length > 0 && (start[length - 1] == ']')) --length;
        const char* semicolon = std::strchr(start, ';');
        if (semicolon && static_cast<std::size_t>(semicolon - start) < length) length = semicolon - start;
        if (length >= sizeof(buffer)) length = sizeof(buffer) - 1;
        std::memcpy(buffer, start, length);
        buffer[length] = '\0';
        return static_cast<const char*>(buffer);
    }(__PRETTY_FUNCTION__);
    return name;
}

template <class F>
struct KernelParams;
template <class... P>
struct KernelParams<void (*)(P...)> {
    using type = std::tuple<std::decay_t<P>...>;
};

template <auto Kernel, bool Cooperative, class... A>
void launch(dim3 grid, dim3 block, std::size_t shared_bytes, cudaStream_t stream, A&&... args) {
    using Args = typename KernelParams<decltype(Kernel)>::type;
    // Arguments convert to the parameter types at the launch, as with <<<>>>.
    const Args params(std::forward<A>(args)...);
    launch_kernel(LaunchConfig{grid, block, shared_bytes, stream}, kernel_name<Kernel>(), Cooperative,
                  &run_plain_block<Kernel, Args>, &run_thread<Kernel, Args>, &params);
}

}  // namespace detail
}  // namespace hostdevice
