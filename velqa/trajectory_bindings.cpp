#include "velqa/trajectory_bindings.hpp"

#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/cuda_check.hpp"
#include "common/observables_binding.hpp"
#include "common/operation_conversion.hpp"
#include "common/outcomes.hpp"
#include "common/parse.hpp"
#include "common/python_args.hpp"
#include "common/python_classes.hpp"
#include "common/python_gil.hpp"
#include "velqa/trajectories.hpp"
#include "velqa/velqa_device_state.hpp"
#include "velqa/velqa_measure.hpp"
#include "velqa/velqa_state_batch.hpp"

namespace py = pybind11;

namespace velqa {
namespace {

using korvane::GilRelease;
using korvane::StrArg;
using Int64 = korvane::IntArg<std::int64_t>;
using UInt64 = korvane::IntArg<std::uint64_t>;

struct TrajectoryEstimate {
    double mean = 0.0;
    double standard_error = 0.0;
    std::uint64_t trajectories = 0;
    std::uint64_t distinct = 0;
};

// Where this process stands among the communicator's: its rank, their number, and its share of the
// trajectories, a contiguous index range (earlier ranks take the remainder's extra one each).
struct Share {
    py::object comm;
    std::uint64_t rank = 0;
    std::uint64_t size = 1;
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

Share share_of(const py::object& comm, std::uint64_t trajectories) {
    Share s;
    s.comm = comm;
    if (!comm.is_none()) {
        s.rank = comm.attr("Get_rank")().cast<std::uint64_t>();
        s.size = comm.attr("Get_size")().cast<std::uint64_t>();
    }
    const std::uint64_t base = trajectories / s.size;
    const std::uint64_t extra = trajectories % s.size;
    s.begin = s.rank * base + std::min(s.rank, extra);
    s.end = s.begin + base + (s.rank < extra ? 1 : 0);
    return s;
}

// Every rank needs the same seed: with None, rank 0 draws it and sends it to the others.
std::uint64_t shared_seed(const py::object& seed, const Share& share) {
    if (share.comm.is_none() || !seed.is_none()) return korvane::seed_value(seed);
    py::object drawn = share.rank == 0 ? py::int_(korvane::seed_value(seed)) : py::object(py::none());
    return share.comm.attr("bcast")(drawn, py::arg("root") = 0).cast<std::uint64_t>();
}

// device, or with a communicator and device None, cuda:(local rank mod device count).
std::int32_t device_of(const py::object& device, const Share& share) {
    if (!device.is_none()) return korvane::parse_device(korvane::text_value(device, "device"));
    if (share.comm.is_none()) return 0;
    const py::object mpi = py::module_::import("mpi4py.MPI");
    py::object local = share.comm.attr("Split_type")(mpi.attr("COMM_TYPE_SHARED"));
    const auto local_rank = local.attr("Get_rank")().cast<std::int64_t>();
    local.attr("Free")();
    int count = 0;
    korvane::cuda_check(cudaGetDeviceCount(&count));
    return static_cast<std::int32_t>(local_rank % std::max(count, 1));
}

TrajectoryProgress progress_of(const py::object& progress) {
    if (progress.is_none()) return {};
    return [progress](std::uint64_t done, std::uint64_t total) {
        py::gil_scoped_acquire acquire;
        progress(done, total);
    };
}

std::uint64_t batch_of(const py::object& batch_size) {
    if (batch_size.is_none()) return 0;
    const std::uint64_t b = batch_size.cast<UInt64>().value;
    if (b == 0) throw std::invalid_argument("batch_size must be positive");
    return b;
}

struct Common {
    std::vector<korvane::density::DensityOperation> records;
    TrajectoryOptions options;
    Share share;
};

// The arguments every entry point shares, converted and checked in order before any device work.
Common common_arguments(std::int64_t n, const py::iterable& operations, std::uint64_t trajectories,
                        const py::object& seed, const StrArg& dtype, const py::object& batch_size, KernelMode mode,
                        const py::object& device, const py::object& comm, bool deduplicate) {
    if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
    Common c;
    c.records = korvane::density::convert_operations(operations);
    c.options.dtype = korvane::parse_dtype(dtype.value);
    c.options.batch_size = batch_of(batch_size);
    c.options.mode = mode;
    c.options.deduplicate = deduplicate;
    c.share = share_of(comm, trajectories);
    c.options.seed = shared_seed(seed, c.share);
    c.options.device_id = device_of(device, c.share);
    return c;
}

// A DeviceState runs as a batch of one.
void run_trajectories_on(const StateView& view, const py::iterable& operations, const py::object& seed,
                         std::uint64_t first_trajectory, KernelMode mode) {
    const std::vector<korvane::density::DensityOperation> records = korvane::density::convert_operations(operations);
    const std::uint64_t s = korvane::seed_value(seed);
    if (first_trajectory > std::numeric_limits<std::uint64_t>::max() - (view.members - 1))
        throw std::invalid_argument("first_trajectory + batch must be at most 2**64");
    GilRelease release;
    const TrajectoryProgram program(view.n, records, view.dtype);
    std::vector<std::uint64_t> trajectories(view.members);
    std::iota(trajectories.begin(), trajectories.end(), first_trajectory);
    korvane::cuda_check(cudaSetDevice(view.device_id));
    program.run(view, s, trajectories, mode);
}

void run_trajectories_device(const std::shared_ptr<DeviceStateBatch>& batch, const py::iterable& operations,
                             const py::object& seed, UInt64 first_trajectory, KernelMode mode) {
    run_trajectories_on(batch->view(), operations, seed, first_trajectory.value, mode);
}

void run_trajectories_device_state(const std::shared_ptr<DeviceState>& state, const py::iterable& operations,
                                   const py::object& seed, UInt64 first_trajectory, KernelMode mode) {
    run_trajectories_on(state->view(), operations, seed, first_trajectory.value, mode);
}

TrajectoryEstimate estimate_expectation_trajectories(Int64 n, const py::iterable& operations, const py::object& terms,
                                                     UInt64 trajectories, const py::object& seed, const StrArg& dtype,
                                                     const py::object& batch_size, KernelMode mode,
                                                     const py::object& device, const py::object& progress,
                                                     const py::object& comm, bool deduplicate) {
    if (trajectories.value == 0) throw std::invalid_argument("trajectories must be positive");
    Common c = common_arguments(n.value, operations, trajectories.value, seed, dtype, batch_size, mode, device, comm,
                                deduplicate);
    const std::vector<korvane::PauliTerm> pauli =
        korvane::convert_pauli_terms(terms, static_cast<std::uint64_t>(n.value));
    TrajectorySums sums;
    {
        GilRelease release;
        const TrajectoryProgram program(static_cast<std::uint64_t>(n.value), c.records, c.options.dtype);
        (void)korvane::plan_pauli_sum(pauli, static_cast<std::uint64_t>(n.value));  // checked before any device work
        sums = estimate_trajectories(program, pauli, c.options, c.share.begin, c.share.end, progress_of(progress));
    }
    if (!c.share.comm.is_none()) {
        // Gathered and added in rank order, so that every rank returns the same result.
        const py::list all = c.share.comm.attr("allgather")(
            py::make_tuple(sums.sum, sums.sum_squares, sums.trajectories, sums.distinct));
        sums = TrajectorySums{};
        for (const py::handle item : all) {
            const auto t = item.cast<py::tuple>();
            sums.sum += t[0].cast<double>();
            sums.sum_squares += t[1].cast<double>();
            sums.trajectories += t[2].cast<std::uint64_t>();
            sums.distinct += t[3].cast<std::uint64_t>();
        }
    }
    TrajectoryEstimate e;
    e.trajectories = sums.trajectories;
    e.distinct = sums.distinct;
    const auto count = static_cast<double>(sums.trajectories);
    e.mean = sums.sum / count;
    if (sums.trajectories > 1) {
        const double variance = std::max(0.0, (sums.sum_squares - count * e.mean * e.mean) / (count - 1.0));
        e.standard_error = std::sqrt(variance / count);
    }
    return e;
}

py::dict sample_trajectories_binding(Int64 n, const py::iterable& operations, const std::vector<Int64>& targets,
                                     UInt64 shots, const py::object& seed, UInt64 shots_per_trajectory,
                                     const StrArg& endian, const StrArg& dtype, const py::object& batch_size,
                                     KernelMode mode, const py::object& device, const py::object& progress,
                                     const py::object& comm, bool deduplicate) {
    check_shots(shots.value);
    if (shots_per_trajectory.value == 0 || shots_per_trajectory.value > (std::uint64_t(1) << 32))
        throw std::invalid_argument("shots_per_trajectory must be in [1, 2**32]");
    const std::vector<std::int64_t> qubits = korvane::values(targets);
    if (n.value < 1 || n.value > 62) throw std::invalid_argument("n must be in [1, 62]");
    validate_measure_args(static_cast<std::uint64_t>(n.value), std::uint64_t(1) << n.value, qubits, endian.value);
    korvane::check_probability_targets_size(qubits.size());
    const std::uint64_t trajectories = (shots.value - 1) / shots_per_trajectory.value + 1;
    Common c =
        common_arguments(n.value, operations, trajectories, seed, dtype, batch_size, mode, device, comm, deduplicate);
    TrajectoryCounts counts;
    {
        GilRelease release;
        const TrajectoryProgram program(static_cast<std::uint64_t>(n.value), c.records, c.options.dtype);
        counts = sample_trajectories(program, qubits, endian.value, shots.value, shots_per_trajectory.value, c.options,
                                     c.share.begin, c.share.end, progress_of(progress));
    }
    py::dict local;
    for (const auto& [outcome, count] : counts.counts) local[py::int_(outcome)] = count;
    std::map<std::uint64_t, std::uint64_t> merged;
    if (c.share.comm.is_none()) {
        merged = std::move(counts.counts);
    } else {
        for (const py::handle part : c.share.comm.attr("allgather")(local).cast<py::list>())
            for (const auto& [outcome, count] : part.cast<py::dict>())
                merged[outcome.cast<std::uint64_t>()] += count.cast<std::uint64_t>();
    }
    py::dict out;
    for (const auto& [outcome, count] : merged) out[py::str(korvane::outcome_string(outcome, qubits.size()))] = count;
    return out;
}

}  // namespace

void bind_trajectories(py::module_& m) {
    const StrArg cuda0{"cuda:0"};
    py::class_<TrajectoryEstimate> estimate(m, "TrajectoryEstimate");
    estimate.def_readonly("mean", &TrajectoryEstimate::mean)
        .def_readonly("standard_error", &TrajectoryEstimate::standard_error)
        .def_readonly("trajectories", &TrajectoryEstimate::trajectories)
        .def_readonly("distinct", &TrajectoryEstimate::distinct)
        .def("__repr__", [](const TrajectoryEstimate& e) {
            return "TrajectoryEstimate(mean=" + std::to_string(e.mean) +
                   ", standard_error=" + std::to_string(e.standard_error) +
                   ", trajectories=" + std::to_string(e.trajectories) + ", distinct=" + std::to_string(e.distinct) +
                   ")";
        });
    korvane::factory_only(estimate);

    const char* run_doc =
        "Run noisy trajectories of dormeth operations on the members of a DeviceStateBatch (or on a\n"
        "DeviceState, a batch of one), in place: member b runs trajectory first_trajectory + b.\n\n"
        "operations are those dormeth.run_density_operations_device accepts, with its checks and\n"
        "messages. A gate U maps psi to U psi; a Kraus set applies K_i with probability\n"
        "||K_i psi||^2 / ||psi||^2 and psi becomes K_i psi / ||K_i psi||. A trajectory's draws depend\n"
        "only on (seed, trajectory). A Kraus set whose sum K_i^dagger K_i differs from the identity by\n"
        "more than 1e-8 (Frobenius norm) raises ValueError naming the operation. Every check precedes\n"
        "any device work, so a refused call leaves every member unchanged.";
    m.def("run_trajectories_device", &run_trajectories_device, py::arg("batch").none(false), py::arg("operations"),
          py::arg("seed"), py::arg("first_trajectory") = UInt64{0}, py::arg("mode") = KernelMode::PairAutoFusion,
          run_doc);
    m.def("run_trajectories_device", &run_trajectories_device_state, py::arg("batch").none(false),
          py::arg("operations"), py::arg("seed"), py::arg("first_trajectory") = UInt64{0},
          py::arg("mode") = KernelMode::PairAutoFusion, run_doc);
    m.def("estimate_expectation_trajectories", &estimate_expectation_trajectories, py::arg("n"), py::arg("operations"),
          py::arg("terms"), py::arg("trajectories"), py::arg("seed") = py::none(),
          py::arg("dtype") = StrArg{"complex128"}, py::arg("batch_size") = py::none(),
          py::arg("mode") = KernelMode::PairAutoFusion, py::arg("device") = py::str("cuda:0"),
          py::arg("progress") = py::none(), py::arg("comm") = py::none(), py::arg("deduplicate").noconvert() = true,
          "Estimate a Pauli sum's expectation value over noisy trajectories from |0...0>.\n\n"
          "Returns a TrajectoryEstimate: mean, standard_error (of the mean), trajectories, and distinct\n"
          "(the noise realisations simulated). Trajectory t uses the draws of (seed, t), so the result\n"
          "depends on neither batch_size nor the number of processes. With deduplicate and every channel\n"
          "a mixture of unitaries, identical realisations are simulated once and weighted by their\n"
          "count. progress(done, total) is called after each batch. comm, an mpi4py communicator,\n"
          "splits the trajectories by index range over its ranks and returns the same result on each;\n"
          "with device None each rank uses cuda:(local rank mod device count).");
    m.def("sample_trajectories", &sample_trajectories_binding, py::arg("n"), py::arg("operations"), py::arg("targets"),
          py::arg("shots"), py::arg("seed") = py::none(), py::arg("shots_per_trajectory") = UInt64{1},
          py::arg("endian") = StrArg{"little"}, py::arg("dtype") = StrArg{"complex128"},
          py::arg("batch_size") = py::none(), py::arg("mode") = KernelMode::PairAutoFusion,
          py::arg("device") = py::str("cuda:0"), py::arg("progress") = py::none(), py::arg("comm") = py::none(),
          py::arg("deduplicate").noconvert() = true,
          "Sample target qubits over noisy trajectories from |0...0>: outcome counts as\n"
          "sample_measure_device returns them.\n\n"
          "Trajectory t draws shots_per_trajectory outcomes (the last may draw fewer) from its final\n"
          "state, keyed by (seed, t), so counts are identical whatever batch_size, deduplicate or the\n"
          "number of processes. Other keywords as estimate_expectation_trajectories.");
}

}  // namespace velqa
