// The order in which the threads of a block run between two barriers (ThreadOrder in control.hpp):
// the setting, its default from HOSTDEVICE_THREAD_ORDER, and the arrangement of a block's threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "hostdevice/control.hpp"

namespace hostdevice::internal {

// HOSTDEVICE_THREAD_ORDER's order, forward when unset; aborts with a message on any other value.
ThreadOrder order_from_environment();

// Restores the environment's order.
void reset_thread_order();

inline std::uint64_t mix(std::uint64_t x) {  // splitmix64's finaliser
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// Puts a block's threads, given in index order, in the order they run. A shuffled order depends
// only on the launch, the block and the phase, so it is the same whatever host thread runs the block.
template <class Thread>
void arrange(std::vector<Thread>& threads, ThreadOrder order, std::uint64_t launch, std::uint64_t block,
             std::uint64_t phase) {
    if (order == ThreadOrder::Reverse) std::reverse(threads.begin(), threads.end());
    if (order != ThreadOrder::Shuffled) return;
    std::uint64_t state = mix(launch) ^ mix(block * 0x100000001b3ull + phase);
    for (std::size_t i = threads.size(); i > 1; --i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;            // a 64-bit LCG; its high bits
        const std::size_t j = static_cast<std::size_t>(((state >> 32) * i) >> 32);  // pick j in [0, i)
        std::swap(threads[i - 1], threads[j]);
    }
}

}  // namespace hostdevice::internal
