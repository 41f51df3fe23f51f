// Holding device operations for tests (control.hpp): a call stopped at a known point while another
// thread runs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "hostdevice/control.hpp"

namespace hostdevice {
namespace {

struct Holds {
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<bool> armed{false};  // read without the lock by every operation
    int remaining = 0;               // operations still to hold
    int held = 0;                    // operations waiting now
    int reached = 0;                 // operations held since hold_operations(), waiting or not
    int timed_out = 0;
    std::uint64_t releases = 0;  // a waiting operation goes when this changes
    std::chrono::duration<double> timeout{0.0};
};

Holds& holds() {
    static auto* h = new Holds();  // never destroyed: a held thread may outlive static destruction
    return *h;
}

}  // namespace

void hold_operations(int count, double timeout_seconds) {
    Holds& h = holds();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.remaining = std::max(count, 0);
    h.timeout = std::chrono::duration<double>(std::max(timeout_seconds, 0.0));
    h.timed_out = 0;
    h.reached = 0;
    h.armed = h.remaining > 0;
}

int held_operations() {
    Holds& h = holds();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.held;
}

bool wait_for_held_operations(int count, double timeout_seconds) {
    Holds& h = holds();
    std::unique_lock<std::mutex> lock(h.mutex);
    const std::uint64_t releases = h.releases;
    h.changed.wait_for(lock, std::chrono::duration<double>(std::max(timeout_seconds, 0.0)),
                       [&] { return h.reached >= count || h.releases != releases; });
    return h.reached >= count;
}

void release_held_operations() {
    Holds& h = holds();
    {
        std::lock_guard<std::mutex> lock(h.mutex);
        h.remaining = 0;
        h.armed = false;
        ++h.releases;
    }
    h.changed.notify_all();
}

int held_operation_timeouts() {
    Holds& h = holds();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.timed_out;
}

void hold_point() {
    Holds& h = holds();
    if (!h.armed) return;
    std::unique_lock<std::mutex> lock(h.mutex);
    if (h.remaining == 0) return;
    if (--h.remaining == 0) h.armed = false;
    ++h.held;
    ++h.reached;
    const std::uint64_t releases = h.releases;
    h.changed.notify_all();
    if (!h.changed.wait_for(lock, h.timeout, [&] { return h.releases != releases; })) ++h.timed_out;
    --h.held;
    h.changed.notify_all();
}

}  // namespace hostdevice
