#include "hostdevice/thread_order.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hostdevice/fatal.hpp"

namespace hostdevice {
namespace internal {

ThreadOrder order_from_environment() {
    const char* value = std::getenv("HOSTDEVICE_THREAD_ORDER");
    ThreadOrder order = ThreadOrder::Forward;
    if (value && *value && !parse_thread_order(value, &order))
        fatal(std::string("HOSTDEVICE_THREAD_ORDER must be forward, reverse or shuffled, not '") + value + "'",
              nullptr);
    return order;
}

namespace {
std::atomic<int>& order_setting() {
    static std::atomic<int> order{static_cast<int>(order_from_environment())};
    return order;
}
}  // namespace

void reset_thread_order() { set_thread_order(order_from_environment()); }

}  // namespace internal

bool parse_thread_order(const char* name, ThreadOrder* order) {
    for (ThreadOrder o : {ThreadOrder::Forward, ThreadOrder::Reverse, ThreadOrder::Shuffled})
        if (std::strcmp(name, thread_order_name(o)) == 0) {
            *order = o;
            return true;
        }
    return false;
}

const char* thread_order_name(ThreadOrder order) {
    switch (order) {
        case ThreadOrder::Forward: return "forward";
        case ThreadOrder::Reverse: return "reverse";
        case ThreadOrder::Shuffled: return "shuffled";
    }
    return "?";
}

void set_thread_order(ThreadOrder order) { internal::order_setting().store(static_cast<int>(order)); }

ThreadOrder thread_order() { return static_cast<ThreadOrder>(internal::order_setting().load()); }

}  // namespace hostdevice
