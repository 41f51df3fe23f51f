// reset(): every part of the host device back to its start.
#include "hostdevice/control.hpp"
#include "hostdevice/kernel_resources.hpp"
#include "hostdevice/launch_log.hpp"
#include "hostdevice/thread_order.hpp"
#include "hostdevice/workers.hpp"

namespace hostdevice {

void reset() {
    configure_devices(1, kDefaultCapacityBytes);
    set_host_register_fails(false);
    set_max_grid_y(kDefaultMaxGridY);
    internal::reset_workers();
    internal::reset_launches();
    internal::reset_thread_order();
    internal::reset_kernel_resources();
    release_held_operations();
}

}  // namespace hostdevice
