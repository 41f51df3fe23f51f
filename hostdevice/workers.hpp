// The blocks of a launch spread over host worker threads: the launching thread and a pool of
// helpers take chunks of blocks in turn. Each host thread gives every block fresh shared memory
// (filled with a pattern that reads as NaN), and runs its threads in the set order, plainly or, in
// a cooperative launch, as fibers.
#pragma once

#include <cstdint>

#include "hostdevice/control.hpp"
#include "hostdevice/kernel_image.hpp"
#include "hostdevice/launch.hpp"

namespace hostdevice::internal {

// Runs every block of an accepted launch to completion; launch_number fixes its shuffled orders.
// Returns whether the threads of a block met at a barrier.
bool run_blocks(const LaunchConfig& config, const KernelInfo& kernel, const KernelImage& image, bool cooperative,
                PlainBlockFn plain, ThreadFn thread, const void* args, std::uint64_t launch_number);

// Back to one worker per hardware thread.
void reset_workers();

}  // namespace hostdevice::internal
