// The host device's controls and accounting, seen from Python.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "hostdevice/control.hpp"

namespace py = pybind11;

PYBIND11_MODULE(hostdevice, m) {
    m.doc() = "Controls and accounting of the host device that stands in for a CUDA GPU";
    m.def("configure", &hostdevice::configure_devices, py::arg("device_count") = 1,
          py::arg("capacity_bytes") = hostdevice::kDefaultCapacityBytes,
          "Set the number of devices and the memory capacity of each.");
    m.def("device_count", &hostdevice::configured_device_count);
    m.def("capacity", &hostdevice::device_capacity, py::arg("device") = 0);
    m.def(
        "set_device",
        [](int device) {
            if (cudaSetDevice(device) != cudaSuccess) {
                (void)cudaGetLastError();  // the refusal is reported here, not at the next launch check
                throw std::invalid_argument("invalid device ordinal");
            }
        },
        py::arg("device"), "Make the device current on the calling thread, as cudaSetDevice does.");
    m.def("current_device", [] {
        int device = -1;
        (void)cudaGetDevice(&device);
        return device;
    });
    m.def("set_max_grid_y", &hostdevice::set_max_grid_y, py::arg("extent"),
          "Set the device's grid y bound (cudaDevAttrMaxGridDimY, launches are checked against it): 65535 "
          "as on a GPU, or a smaller planted bound.");
    m.def("max_grid_y", &hostdevice::max_grid_y);
    m.def("set_workers", &hostdevice::set_worker_count, py::arg("count"),
          "Host threads that run the blocks of one launch (0: one per processor).");
    m.def("workers", &hostdevice::worker_count);
    m.def("set_host_register_fails", &hostdevice::set_host_register_fails, py::arg("fails"));
    m.def("live_bytes", &hostdevice::live_bytes, py::arg("device") = 0);
    m.def("live_allocations", &hostdevice::live_allocations, py::arg("device") = 0);
    m.def("registered_host_ranges", &hostdevice::registered_host_ranges);
    m.def("registered_device_ranges", &hostdevice::registered_device_ranges,
          "Ranges of memory another library allocated that the system uses as device memory now.");
    m.def("host_register_count", &hostdevice::host_register_count);
    m.def("live_blas_handles", &hostdevice::live_blas_handles, py::arg("device") = 0);
    m.def("launch_count", &hostdevice::launch_count);
    m.def("synchronize_count", &hostdevice::synchronize_count);
    m.def("clear_launches", &hostdevice::clear_launch_log);
    m.def(
        "launches",
        [] {
            py::list out;
            for (const auto& r : hostdevice::launch_log()) {
                py::dict d;
                d["kernel"] = r.kernel;
                d["grid"] = py::make_tuple(r.grid.x, r.grid.y, r.grid.z);
                d["block"] = py::make_tuple(r.block.x, r.block.y, r.block.z);
                d["shared_bytes"] = r.shared_bytes;
                d["device"] = r.device;
                d["accepted"] = r.accepted;
                out.append(d);
            }
            return out;
        },
        "The recent kernel launches, oldest first, as dicts.");
    m.def(
        "inject_launch_failures",
        [](int count, int error, int skip) {
            hostdevice::inject_launch_failures(count, static_cast<cudaError_t>(error), skip);
        },
        py::arg("count"), py::arg("error") = static_cast<int>(cudaErrorLaunchOutOfResources), py::arg("skip") = 0,
        "Refuse count kernel launches with the given CUDA error code, after skip launches that run.");
    m.def(
        "set_thread_order",
        [](const std::string& name) {
            hostdevice::ThreadOrder order;
            if (!hostdevice::parse_thread_order(name.c_str(), &order))
                throw std::invalid_argument("thread order must be forward, reverse or shuffled");
            hostdevice::set_thread_order(order);
        },
        py::arg("order"),
        "Order in which a block's threads run between barriers and in launches without them: "
        "forward, reverse or shuffled.");
    m.def("thread_order", [] { return std::string(hostdevice::thread_order_name(hostdevice::thread_order())); });
    m.def(
        "set_kernel_resources",
        [](const std::string& kernel, unsigned registers, std::size_t static_shared_bytes, unsigned max_threads) {
            hostdevice::set_kernel_resources(kernel, {registers, static_shared_bytes, max_threads});
        },
        py::arg("kernel"), py::arg("registers"), py::arg("static_shared_bytes") = 0, py::arg("max_threads") = 1024,
        "Check launches of the kernel (by its launch-log name) against these figures until reset().");
    m.def(
        "kernel_resources",
        [](const std::string& kernel) -> py::object {
            hostdevice::KernelResources r;
            if (!hostdevice::kernel_resources(kernel, &r)) return py::none();
            py::dict d;
            d["registers"] = r.registers;
            d["static_shared_bytes"] = r.static_shared_bytes;
            d["max_threads"] = r.max_threads;
            return d;
        },
        py::arg("kernel"), "The figures launches of this kernel are checked against, or None.");
    m.def("unlisted_kernels", &hostdevice::unlisted_kernels,
          "Kernels launched since reset() that the cuda build's resource table does not list.");
    m.def("unlist_kernel", &hostdevice::unlist_kernel, py::arg("kernel"),
          "Until reset(), run the kernel (by its launch-log name) as if the table had no row for it.");
    m.def("listed_kernel_count", &hostdevice::listed_kernel_count);
    m.def("hold_operations", &hostdevice::hold_operations, py::arg("count"), py::arg("timeout_seconds"),
          "Hold the next count device operations (launches, copies, memsets, hold points) until "
          "release_held_operations() or the timeout.");
    m.def("held_operations", &hostdevice::held_operations);
    m.def("wait_for_held_operations", &hostdevice::wait_for_held_operations, py::arg("count"),
          py::arg("timeout_seconds"), py::call_guard<py::gil_scoped_release>(),
          "Wait, without the GIL, until count operations have been held; False when the timeout passes first.");
    m.def("release_held_operations", &hostdevice::release_held_operations);
    m.def("held_operation_timeouts", &hostdevice::held_operation_timeouts);
    m.def("reset", &hostdevice::reset,
          "Return the host device to its start: default configuration, no planted, unlisted or hidden "
          "kernels, an empty launch log.");
}
