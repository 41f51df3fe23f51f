// Cooperative execution of a block's threads on fibers, so that __syncthreads is a real barrier,
// with the discipline a GPU requires of it: every thread of a block waits at the same barrier, and
// none waits at one after another has returned. Fiber stacks are pooled per host thread and carry
// the sanitizers' fiber annotations.
#pragma once

#include <cstdint>
#include <memory>

#include "hostdevice/control.hpp"
#include "hostdevice/launch.hpp"

namespace hostdevice::internal {

// Names the kernel whose blocks this host thread runs while it lives, for the message of a barrier
// called in a launch that is not cooperative.
class RunningKernel {
  public:
    explicit RunningKernel(const char* name);
    ~RunningKernel();
    RunningKernel(const RunningKernel&) = delete;
    RunningKernel& operator=(const RunningKernel&) = delete;

  private:
    const char* previous_;
};

// The threads of one block as fibers, reused for every block this host thread runs of one launch.
class FiberBlock {
  public:
    FiberBlock(dim3 block_dim, ThreadFn fn, const void* args, const BlockContext* block, const char* kernel);
    ~FiberBlock();
    FiberBlock(const FiberBlock&) = delete;
    FiberBlock& operator=(const FiberBlock&) = delete;

    // Runs every thread of the current block (*block) to its end, phase by phase: each phase
    // resumes the threads in the given order until each waits at a barrier or has returned.
    // Returns whether the threads met at a barrier; aborts with a message when they break the
    // barrier discipline.
    bool run(ThreadOrder order, std::uint64_t launch, std::uint64_t block_number);

  private:
    class Threads;
    std::unique_ptr<Threads> threads_;
};

}  // namespace hostdevice::internal
