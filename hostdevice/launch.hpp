// Kernel launch on the host device. launch<Kernel>(geometry..., args) stands where CUDA code writes
// Kernel<<<grid, block, shared_bytes, stream>>>(args); common/gpu/launch.hpp picks one or the other.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "hostdevice/cuda_device_api.hpp"

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
    // The block's threads in the order they run (block_dim.x * y * z of them); null: index order.
    const uint3* order;
};

// Runs every thread of one block in turn (kernels without barriers).
using PlainBlockFn = void (*)(const void* args, const BlockContext& block);
// Runs one thread of one block; used on a fiber per thread for kernels with barriers.
using ThreadFn = void (*)(const void* args, const BlockContext& block, uint3 thread);
// The calling host thread's copy of a thread-local variable of the kernel's own module (threadIdx):
// where that module's static shared memory lies on this host thread follows from it.
using ModuleAnchorFn = const void* (*)();

// What the executor knows of the kernel it runs.
struct KernelInfo {
    const char* name;             // as the launch log shows it
    const void* address;          // the kernel function, which names its symbol
    ModuleAnchorFn anchor;        // in the kernel's module
    const void* const* pointers;  // the pointer arguments, as passed
    std::size_t pointer_count;
};

// Checks the configuration and the kernel's resources as CUDA does, and every pointer argument
// against the launch device's live allocations; records the launch and runs it to completion.
// A rejected launch runs nothing and leaves its error pending for cudaGetLastError.
void launch_kernel(const LaunchConfig& config, const KernelInfo& kernel, bool cooperative, PlainBlockFn plain,
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
    const uint3* order = block.order;
    // One call site, so the kernel is inlined the same way whatever the order.
    for (unsigned z = 0; z < block.block_dim.z; ++z) {
        for (unsigned y = 0; y < block.block_dim.y; ++y) {
            for (unsigned x = 0; x < block.block_dim.x; ++x) {
                threadIdx = order ? *order++ : uint3{x, y, z};
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

// Hidden, so every module has its own and it returns that module's variable.
[[gnu::visibility("hidden")]] inline const void* module_anchor() { return &threadIdx; }

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

// The arguments of pointer type, in parameter order.
template <class Args, std::size_t... I>
auto pointer_arguments(const Args& params, std::index_sequence<I...>) {
    constexpr std::size_t count = (std::size_t(std::is_pointer_v<std::tuple_element_t<I, Args>>) + ... + 0);
    std::array<const void*, count> out{};
    std::size_t next = 0;
    (
        [&] {
            if constexpr (std::is_pointer_v<std::tuple_element_t<I, Args>>)
                out[next++] = static_cast<const void*>(std::get<I>(params));
        }(),
        ...);
    return out;
}

template <auto Kernel, bool Cooperative, class... A>
void launch(dim3 grid, dim3 block, std::size_t shared_bytes, cudaStream_t stream, A&&... args) {
    using Args = typename KernelParams<decltype(Kernel)>::type;
    // Arguments convert to the parameter types at the launch, as with <<<>>>.
    const Args params(std::forward<A>(args)...);
    const auto pointers = pointer_arguments(params, std::make_index_sequence<std::tuple_size_v<Args>>());
    const KernelInfo kernel{kernel_name<Kernel>(), reinterpret_cast<const void*>(Kernel), &module_anchor,
                            pointers.data(), pointers.size()};
    launch_kernel(LaunchConfig{grid, block, shared_bytes, stream}, kernel, Cooperative, &run_plain_block<Kernel, Args>,
                  &run_thread<Kernel, Args>, &params);
}

}  // namespace detail
}  // namespace hostdevice
