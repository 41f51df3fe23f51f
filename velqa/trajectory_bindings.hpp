// The trajectory functions of the velqa module: run_trajectories_device, estimate_expectation_trajectories,
// sample_trajectories, and the estimate's result type. Their communicator (an mpi4py Comm) is used
// through its Python methods only, so mpi4py stays optional.
#pragma once

#include <pybind11/pybind11.h>

namespace velqa {

void bind_trajectories(pybind11::module_& m);

}  // namespace velqa
