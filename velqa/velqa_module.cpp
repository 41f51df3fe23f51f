// The velqa Python module: argument conversion and checks, GIL release, calls into the core.
#include <pybind11/native_enum.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <memory>
#include <stdexcept>

#include "common/dlpack_binding.hpp"
#include "common/gpu/runtime.hpp"
#include "common/observables_binding.hpp"
#include "common/parse.hpp"
#include "common/python_args.hpp"
#include "common/python_classes.hpp"
#include "common/python_gil.hpp"
#include "velqa/fusion/fusion.hpp"
#include "velqa/fusion/planner.hpp"
#include "velqa/gate_conversion.hpp"
#include "velqa/run_circuit.hpp"
#include "velqa/state_arrays.hpp"
#include "velqa/trajectory_bindings.hpp"
#include "velqa/velqa_device_state.hpp"
#include "velqa/velqa_measure.hpp"
#include "velqa/velqa_observables.hpp"
#include "velqa/velqa_state_batch.hpp"

namespace py = pybind11;

namespace velqa {
namespace {

using korvane::check_endian;
using korvane::GilRelease;
using korvane::StrArg;
using Int32 = korvane::IntArg<std::int32_t>;
using Int64 = korvane::IntArg<std::int64_t>;
using UInt64 = korvane::IntArg<std::uint64_t>;
using StatePtr = std::shared_ptr<DeviceState>;
using BatchPtr = std::shared_ptr<DeviceStateBatch>;
using ChunkPtr = std::shared_ptr<fusion::PreparedFusionChunk>;

py::dtype numpy_dtype(korvane::Precision dtype) {
    return dtype == korvane::Precision::Complex128 ? py::dtype::of<std::complex<double>>()
                                                   : py::dtype::of<std::complex<float>>();
}

StatePtr from_numpy(Int64 n, const py::array& state, const StrArg& device, bool use_pinned_host) {
    const korvane::Precision dtype = check_state_array(n.value, state, false);
    const std::int32_t device_id = korvane::parse_device(device.value);
    const void* host = state.data();
    const auto count = static_cast<std::uint64_t>(state.size());
    // The allocation too runs without the GIL: on a device it can take as long as the copy.
    GilRelease release;
    auto result = std::make_shared<DeviceState>(static_cast<std::uint64_t>(n.value), dtype, device_id);
    result->copy_from_host(host, count, use_pinned_host);
    return result;
}

StatePtr zero_state(Int64 n, const StrArg& dtype, const StrArg& device) {
    const std::int32_t device_id = korvane::parse_device(device.value);
    const korvane::Precision code = korvane::parse_dtype(dtype.value);
    // A negative n wraps to a huge unsigned value and fails the range check.
    GilRelease release;
    auto result = std::make_shared<DeviceState>(static_cast<std::uint64_t>(n.value), code, device_id);
    result->set_zero_state();
    return result;
}

// Methods and properties take self by reference: pybind11 refuses None for a reference with
// TypeError, where a pointer or holder would arrive as null.
py::array to_numpy(const DeviceState& self, bool use_pinned_host) {
    py::array out(numpy_dtype(self.dtype()), std::vector<py::ssize_t>{static_cast<py::ssize_t>(self.num_state())});
    void* host = out.mutable_data();
    {
        GilRelease release;
        self.copy_to_host(host, self.num_state(), use_pinned_host);
    }
    return out;
}

void copy_to_numpy(const DeviceState& self, const py::array& state, bool use_pinned_host) {
    const korvane::Precision dtype = check_state_array(static_cast<std::int64_t>(self.n()), state, true);
    if (dtype != self.dtype()) throw std::invalid_argument("numpy state dtype does not match DeviceState");
    void* host = const_cast<void*>(state.data());
    const auto count = static_cast<std::uint64_t>(state.size());
    GilRelease release;
    self.copy_to_host(host, count, use_pinned_host);
}

void run_records(const StatePtr& state, const std::vector<GateRecord>& records, KernelMode mode) {
    GilRelease release;
    run_gates(state->view(), records, mode);
}

// endian is only checked: gates act on the same amplitudes for either bit order.
void run_circuit_device(const StatePtr& state, const py::list& gate_ir, const StrArg& endian, KernelMode mode) {
    check_endian(endian.value);
    const std::vector<GateRecord> records = convert_gate_ir(gate_ir);
    run_records(state, records, mode);
}

void run_circuit_device_gates(const StatePtr& state, const py::iterable& gates, const StrArg& endian, KernelMode mode) {
    check_endian(endian.value);
    const std::vector<GateRecord> records = convert_quantum_gates(gates);
    if (records.empty()) return;
    run_records(state, records, mode);
}

ChunkPtr prepare_fusion_chunk_gates(Int64 n, const py::iterable& gates, bool fuse_swap, Int32 sparsesharemem_qubits,
                                    Int32 densemm_min_qubits, Int32 densemm_max_qubits,
                                    double densemm_gate_threshold_scale, Int32 max_gates_per_group,
                                    bool pad_sparsesharemem) {
    if (n.value < 1 || n.value > 62) throw std::invalid_argument("n must be in [1, 62]");
    auto chunk = std::make_shared<fusion::PreparedFusionChunk>();
    chunk->n = n.value;
    chunk->records = convert_quantum_gates(gates);
    fusion::FusionOptions options;
    options.fuse_swap = fuse_swap;
    options.sparsesharemem_qubits = sparsesharemem_qubits.value;
    options.densemm_min_qubits = densemm_min_qubits.value;
    options.densemm_max_qubits = densemm_max_qubits.value;
    options.densemm_gate_threshold_scale = densemm_gate_threshold_scale;
    options.max_gates_per_group = max_gates_per_group.value;
    options.pad_sparsesharemem = pad_sparsesharemem;
    {
        GilRelease release;
        korvane::gpu::hold_point();
        chunk->plan = fusion::plan_fusion_chunk(n.value, chunk->records, options);
    }
    return chunk;
}

void execute_prepared_fusion_chunk(const StatePtr& state, const ChunkPtr& chunk) {
    if (static_cast<std::int64_t>(state->n()) != chunk->n)
        throw std::invalid_argument("DeviceState qubit count does not match prepared fusion chunk");
    GilRelease release;
    fusion::execute_prepared_fusion_chunk(*state, *chunk);
}

// A long run is interrupted by Ctrl-C: the draws poll for signals (KeyboardInterrupt), before any
// collapse, so an interrupted run leaves the state as it was.
std::vector<SampleResult> sample(const StateView& state, const std::vector<std::int64_t>& targets,
                                 const std::string& endian, std::uint64_t shots, std::uint64_t seed, bool collapse) {
    GilRelease release;
    return sample_measure(state, targets, endian, shots, seed, collapse, [&] { release.check_signals(); });
}

SampleResult sample(const StatePtr& state, const std::vector<std::int64_t>& targets, const std::string& endian,
                    std::uint64_t shots, std::uint64_t seed, bool collapse) {
    return std::move(sample(state->view(), targets, endian, shots, seed, collapse).front());
}

std::string measure_on(const StatePtr& state, const std::vector<std::int64_t>& targets, const std::string& endian,
                       std::uint64_t seed) {
    check_endian(endian);
    return sample(state, targets, endian, 1, seed, true).last;
}

std::string measure_device(const StatePtr& state, const std::vector<Int64>& targets, const StrArg& endian,
                           const py::object& seed) {
    check_endian(endian.value);
    return measure_on(state, korvane::values(targets), endian.value, korvane::seed_value(seed));
}

// (counts, last); the typed tuple only names the element types in the signature.
using SampleTuple = py::typing::Tuple<py::typing::Dict<py::str, py::int_>, py::str>;

SampleTuple sample_tuple(const SampleResult& result) {
    py::dict counts;
    for (const auto& [outcome, count] : result.counts) counts[py::str(outcome)] = count;
    return py::make_tuple(counts, result.last);
}

// (counts, last); the typed tuple only names the element types in the signature.
SampleTuple sample_measure_device(const StatePtr& state, const std::vector<Int64>& targets, UInt64 shots,
                                  const StrArg& endian, const py::object& seed, bool collapse_last) {
    check_endian(endian.value);
    check_shots(shots.value);
    return sample_tuple(
        sample(state, korvane::values(targets), endian.value, shots.value, korvane::seed_value(seed), collapse_last));
}

// ---- batches

BatchPtr batch_from_numpy(Int64 n, const py::array& states, const StrArg& device) {
    const korvane::Precision dtype = check_batch_array(n.value, states, false);
    const std::int32_t device_id = korvane::parse_device(device.value);
    // Any memory layout: a copy in C order is what the device receives.
    const py::array source = py::module_::import("numpy").attr("ascontiguousarray")(states);
    const void* host = source.data();
    const auto batch = static_cast<std::uint64_t>(states.shape(0));
    const auto count = static_cast<std::uint64_t>(source.size());
    GilRelease release;
    auto result = std::make_shared<DeviceStateBatch>(static_cast<std::uint64_t>(n.value), batch, dtype, device_id);
    result->copy_from_host(host, count, false);
    return result;
}

BatchPtr batch_zero_state(Int64 n, UInt64 batch, const StrArg& dtype, const StrArg& device) {
    const std::int32_t device_id = korvane::parse_device(device.value);
    const korvane::Precision code = korvane::parse_dtype(dtype.value);
    GilRelease release;
    auto result = std::make_shared<DeviceStateBatch>(static_cast<std::uint64_t>(n.value), batch.value, code, device_id);
    result->set_zero_state();
    return result;
}

py::array batch_to_numpy(const DeviceStateBatch& self) {
    py::array out(numpy_dtype(self.dtype()), std::vector<py::ssize_t>{static_cast<py::ssize_t>(self.batch()),
                                                                      static_cast<py::ssize_t>(self.num_state())});
    void* host = out.mutable_data();
    {
        GilRelease release;
        self.copy_to_host(host, self.elements(), false);
    }
    return out;
}

void batch_copy_to_numpy(const DeviceStateBatch& self, const py::array& states) {
    const korvane::Precision dtype = check_batch_array(static_cast<std::int64_t>(self.n()), states, true, self.batch());
    if (dtype != self.dtype()) throw std::invalid_argument("numpy states dtype does not match DeviceStateBatch");
    void* host = const_cast<void*>(states.data());
    GilRelease release;
    self.copy_to_host(host, self.elements(), false);
}

void run_circuit_batch_device(const BatchPtr& batch, const py::iterable& gates, const StrArg& endian, KernelMode mode) {
    check_endian(endian.value);
    const std::vector<GateRecord> records = convert_batch_gates(gates, batch->batch());
    if (records.empty()) return;
    GilRelease release;
    run_gates(batch->view(), records, mode);
}

py::array_t<double> probabilities_batch_device(const BatchPtr& batch, const std::vector<Int64>& targets,
                                               const StrArg& endian) {
    const std::vector<std::int64_t> qubits = korvane::values(targets);
    std::vector<double> probs;
    {
        GilRelease release;
        probs = probabilities(batch->view(), qubits, endian.value);
    }
    const auto members = static_cast<py::ssize_t>(batch->batch());
    const auto outcomes = static_cast<py::ssize_t>(probs.size()) / members;
    return korvane::float64_array(std::move(probs)).reshape({members, outcomes});
}

py::array_t<double> expectation_pauli_batch_device(const BatchPtr& batch, const py::object& terms) {
    const std::vector<korvane::PauliTerm> records = korvane::convert_pauli_terms(terms, batch->n());
    std::vector<double> values;
    {
        GilRelease release;
        values = expectation_pauli(batch->view(), records);
    }
    return korvane::float64_array(std::move(values));
}

std::vector<std::string> measure_batch_device(const BatchPtr& batch, const std::vector<Int64>& targets,
                                              const StrArg& endian, const py::object& seed) {
    check_endian(endian.value);
    const std::uint64_t first_seed = korvane::seed_value(seed);
    std::vector<SampleResult> results =
        sample(batch->view(), korvane::values(targets), endian.value, 1, first_seed, true);
    std::vector<std::string> outcomes;
    outcomes.reserve(results.size());
    for (SampleResult& r : results) outcomes.push_back(std::move(r.last));
    return outcomes;
}

std::vector<SampleTuple> sample_measure_batch_device(const BatchPtr& batch, const std::vector<Int64>& targets,
                                                     UInt64 shots, const StrArg& endian, const py::object& seed,
                                                     bool collapse_last) {
    check_endian(endian.value);
    check_shots(shots.value);
    const std::uint64_t first_seed = korvane::seed_value(seed);
    const std::vector<SampleResult> results =
        sample(batch->view(), korvane::values(targets), endian.value, shots.value, first_seed, collapse_last);
    std::vector<SampleTuple> out;
    out.reserve(results.size());
    for (const SampleResult& r : results) out.push_back(sample_tuple(r));
    return out;
}

// The temporary device copy of a caller's array used by run_circuit and measure.
StatePtr temporary_state(std::int64_t n, const py::array& state, const std::string& endian, const std::string& device,
                         bool use_pinned_host) {
    check_state_layout(n, state, true);
    check_endian(endian);
    const std::int32_t device_id = korvane::parse_device(device);
    const korvane::Precision dtype = array_dtype(state);
    auto temp = std::make_shared<DeviceState>(static_cast<std::uint64_t>(n), dtype, device_id);
    temp->copy_from_host(state.data(), static_cast<std::uint64_t>(state.size()), use_pinned_host);
    return temp;
}

py::array run_circuit(Int64 n, const py::array& state, const py::list& gate_ir, const StrArg& endian,
                      const StrArg& device, KernelMode mode, bool use_pinned_host) {
    StatePtr temp = temporary_state(n.value, state, endian.value, device.value, use_pinned_host);
    run_circuit_device(temp, gate_ir, endian, mode);
    temp->copy_to_host(const_cast<void*>(state.data()), static_cast<std::uint64_t>(state.size()), use_pinned_host);
    return state;
}

std::string measure(Int64 n, const py::array& state, const std::vector<Int64>& targets, const StrArg& endian,
                    const StrArg& device, bool use_pinned_host) {
    StatePtr temp = temporary_state(n.value, state, endian.value, device.value, use_pinned_host);
    std::string outcome = measure_on(temp, korvane::values(targets), endian.value, korvane::seed_value(py::none()));
    temp->copy_to_host(const_cast<void*>(state.data()), static_cast<std::uint64_t>(state.size()), use_pinned_host);
    return outcome;
}

// A DeviceState as a DLPack tensor: its 2^n amplitudes.
const korvane::TensorForm<DeviceState> kStateTensor{
    {"DeviceState", "(2**n,) with n in [1, 62]",
     [](const std::vector<std::int64_t>& shape) {
         return shape.size() == 1 && korvane::power_of_two_exponent(shape[0], 1, 62) >= 0;
     }},
    [](const DeviceState& s) { return std::vector<std::int64_t>{static_cast<std::int64_t>(s.num_state())}; },
    [](const std::vector<std::int64_t>& shape, korvane::StateBuffer&& buffer) {
        const int n = korvane::power_of_two_exponent(shape[0], 1, 62);
        return std::make_shared<DeviceState>(static_cast<std::uint64_t>(n), std::move(buffer));
    }};

// A DeviceStateBatch as a DLPack tensor: its members as the rows of a (batch, 2^n) matrix.
const korvane::TensorForm<DeviceStateBatch> kBatchTensor{
    {"DeviceStateBatch", "(batch, 2**n) with batch at least 1 and n in [1, 62]",
     [](const std::vector<std::int64_t>& shape) {
         return shape.size() == 2 && shape[0] >= 1 && korvane::power_of_two_exponent(shape[1], 1, 62) >= 0;
     }},
    [](const DeviceStateBatch& b) {
        return std::vector<std::int64_t>{static_cast<std::int64_t>(b.batch()),
                                         static_cast<std::int64_t>(b.num_state())};
    },
    [](const std::vector<std::int64_t>& shape, korvane::StateBuffer&& buffer) {
        const int n = korvane::power_of_two_exponent(shape[1], 1, 62);
        return std::make_shared<DeviceStateBatch>(static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(shape[0]),
                                                  std::move(buffer));
    }};

}  // namespace
}  // namespace velqa

PYBIND11_MODULE(velqa, m) {
    using namespace velqa;
    m.doc() = "CUDA gate backend for korvane";
    m.attr("backend") = korvane::gpu::kBackendName;
    korvane::register_text_errors();
    korvane::install_shutdown_gate();

    // A Python enum: pickled by name at every protocol, and no instance exists but the four.
    py::native_enum<KernelMode>(m, "KernelMode", "enum.IntEnum",
                                "How gates are applied: per-gate kernels (AllState, Pair, PairAuto) or fused groups "
                                "planned first (PairAutoFusion).")
        .value("AllState", KernelMode::AllState)
        .value("Pair", KernelMode::Pair)
        .value("PairAuto", KernelMode::PairAuto)
        .value("PairAutoFusion", KernelMode::PairAutoFusion)
        .export_values()
        .finalize();

    const StrArg cuda0{"cuda:0"};
    const StrArg little{"little"};
    py::class_<DeviceState, std::shared_ptr<DeviceState>> device_state(m, "DeviceState");
    device_state
        .def_static("from_numpy", &from_numpy, py::arg("n"), py::arg("state"), py::arg("device") = cuda0,
                    py::arg("use_pinned_host").noconvert() = false)
        .def_static("zero_state", &zero_state, py::arg("n"), py::arg("dtype") = StrArg{"complex128"},
                    py::arg("device") = cuda0)
        .def("to_numpy", &to_numpy, py::arg("use_pinned_host").noconvert() = false)
        .def("copy_to_numpy", &copy_to_numpy, py::arg("state"), py::arg("use_pinned_host").noconvert() = false)
        .def_property_readonly("n", [](const DeviceState& s) { return s.n(); })
        .def_property_readonly("num_state", [](const DeviceState& s) { return s.num_state(); })
        .def_property_readonly("device_id", [](const DeviceState& s) { return s.device_id(); })
        .def_property_readonly("dtype", [](const DeviceState& s) { return korvane::dtype_name(s.dtype()); });
    korvane::def_dlpack(device_state, kStateTensor);
    korvane::factory_only(device_state);

    py::class_<DeviceStateBatch, BatchPtr> state_batch(
        m, "DeviceStateBatch",
        "A batch of statevectors of n qubits each (its members) on one CUDA device, stored as one contiguous\n"
        "(batch, 2**n) array. run_circuit_batch_device and the *_batch_device readouts treat every member as\n"
        "its own state, with its own parameters and seeds.");
    state_batch
        .def_static("zero_state", &batch_zero_state, py::arg("n"), py::arg("batch"),
                    py::arg("dtype") = StrArg{"complex128"}, py::arg("device") = cuda0,
                    "batch members, each |0...0>. n as for DeviceState, batch at least 1; a batch larger than the\n"
                    "device's free memory raises RuntimeError 'CUDA error: out of memory'.")
        .def_static("from_numpy", &batch_from_numpy, py::arg("n"), py::arg("states"), py::arg("device") = cuda0,
                    "The rows of states, a complex64 or complex128 array of shape (batch, 2**n) in any memory\n"
                    "layout (copied), as the members.")
        .def("to_numpy", &batch_to_numpy, "The members as a new array of shape (batch, 2**n).")
        .def("copy_to_numpy", &batch_copy_to_numpy, py::arg("states"),
             "Copy the members into states: a writable, C-contiguous array of shape (batch, 2**n) and the\n"
             "batch's dtype.")
        .def_property_readonly("n", [](const DeviceStateBatch& s) { return s.n(); })
        .def_property_readonly("batch", [](const DeviceStateBatch& s) { return s.batch(); })
        .def_property_readonly(
            "num_state", [](const DeviceStateBatch& s) { return s.num_state(); }, "Amplitudes per member, 2**n.")
        .def_property_readonly("device_id", [](const DeviceStateBatch& s) { return s.device_id(); })
        .def_property_readonly("dtype", [](const DeviceStateBatch& s) { return korvane::dtype_name(s.dtype()); });
    korvane::def_dlpack(state_batch, kBatchTensor);
    korvane::factory_only(state_batch);

    py::class_<fusion::PreparedFusionChunk, std::shared_ptr<fusion::PreparedFusionChunk>> chunk(m,
                                                                                                "PreparedFusionChunk");
    chunk.def_property_readonly("n", [](const fusion::PreparedFusionChunk& c) { return c.n; })
        .def_property_readonly("gate_count", [](const fusion::PreparedFusionChunk& c) { return c.records.size(); });
    korvane::factory_only(chunk);

    m.def("run_circuit_device", &run_circuit_device, py::arg("state").none(false), py::arg("gate_ir"),
          py::arg("endian") = little, py::arg("mode") = KernelMode::PairAuto,
          "Run a gate_ir chunk on an existing CUDA DeviceState.");
    m.def("prepare_fusion_chunk_gates", &prepare_fusion_chunk_gates, py::arg("n"), py::arg("gates"),
          py::arg("fuse_swap").noconvert() = true, py::arg("sparsesharemem_qubits") = Int32{10},
          py::arg("densemm_min_qubits") = Int32{1}, py::arg("densemm_max_qubits") = Int32{7},
          py::arg("densemm_gate_threshold_scale") = 1.0, py::arg("max_gates_per_group") = Int32{512},
          py::arg("pad_sparsesharemem").noconvert() = true,
          "Parse and plan one streamed chunk on the CPU without launching CUDA.");
    m.def("execute_prepared_fusion_chunk", &execute_prepared_fusion_chunk, py::arg("state").none(false),
          py::arg("chunk").none(false), "Execute one CPU-prepared fusion chunk and wait for its CUDA work.");
    m.def("run_circuit_device_gates", &run_circuit_device_gates, py::arg("state").none(false), py::arg("gates"),
          py::arg("endian") = little, py::arg("mode") = KernelMode::PairAuto,
          "Run a QuantumGate object chunk on an existing CUDA DeviceState.");
    m.def("measure_device", &measure_device, py::arg("state").none(false), py::arg("targets"),
          py::arg("endian") = little, py::arg("seed") = py::none(),
          "Measure target qubits on an existing CUDA DeviceState.");
    m.def("sample_measure_device", &sample_measure_device, py::arg("state").none(false), py::arg("targets"),
          py::arg("shots"), py::arg("endian") = little, py::arg("seed") = py::none(),
          py::arg("collapse_last").noconvert() = true,
          "Batch-sample target qubits and optionally collapse to the final outcome.\n\n"
          "shots must be in [1, 2**48] (ValueError before any work: more draws would take months). A long\n"
          "run on the main thread answers Ctrl-C with KeyboardInterrupt within a fraction of a second,\n"
          "leaving the state unchanged.");
    m.def("probabilities_device", &korvane::probabilities_device<DeviceState>, py::arg("state").none(false),
          py::arg("targets"), py::arg("endian") = little,
          "Outcome probabilities of target qubits on an existing CUDA DeviceState, without changing it.\n\n"
          "Returns a float64 array of length 2**k (k = len(targets)): entry o is the probability that\n"
          "measuring the targets gives outcome o, divided by the squared norm of the state. With endian\n"
          "'little' target j is bit j of o, with 'big' bit k-1-j (as in measure_device). More than 30\n"
          "targets raise ValueError; then targets and endian are checked as measure_device checks them,\n"
          "except that an empty list gives [1.0]. A zero, NaN or infinite norm raises RuntimeError\n"
          "'Quantum state has zero or invalid norm.'.");
    m.def("expectation_pauli_device", &korvane::expectation_pauli_device<DeviceState>, py::arg("state").none(false),
          py::arg("terms"),
          "Expectation value of a Pauli sum on an existing CUDA DeviceState, without changing it.\n\n"
          "terms is a sequence of (coefficient, paulis, qubits) triples: a real coefficient, a string\n"
          "over 'I', 'X', 'Y', 'Z' and as many distinct qubits; paulis[j] acts on qubits[j]. Returns\n"
          "sum_t coefficient_t <psi|P_t|psi> / <psi|psi> as a float (0.0 for no terms). A bad letter, a\n"
          "length mismatch, a qubit out of range or repeated and a coefficient that is not finite raise\n"
          "ValueError naming the term's index; a zero, NaN or infinite norm raises RuntimeError\n"
          "'Quantum state has zero or invalid norm.'. Terms with the same X/Y positions share one pass\n"
          "over the state. Any finite coefficients give the sum when it is a finite float, else\n"
          "OverflowError 'Pauli sum expectation value is out of the float range'.");
    m.def("run_circuit_batch_device", &run_circuit_batch_device, py::arg("batch").none(false), py::arg("gates"),
          py::arg("endian") = little, py::arg("mode") = KernelMode::PairAuto,
          "Run a gate list on every member of a DeviceStateBatch.\n\n"
          "gates holds gate dicts (as run_circuit_device takes) or QuantumGate objects (as\n"
          "run_circuit_device_gates takes). A gate's parameter may be a sequence of floats, used by every\n"
          "member, or a real array of shape (batch, p) whose row b member b uses; a stored matrix may be\n"
          "(d, d) or (batch, d, d). Member b ends as running the gates on it alone with its own values would\n"
          "leave it, in every mode (PairAutoFusion plans once, from the gates' kinds and qubits). Every gate is\n"
          "checked before any device work: a refused list (a wrong leading dimension or parameter count, a\n"
          "value that is not finite, naming the gate and the member, any check of the single-state run)\n"
          "raises and leaves every member unchanged.");
    m.def("probabilities_batch_device", &probabilities_batch_device, py::arg("batch").none(false), py::arg("targets"),
          py::arg("endian") = little,
          "probabilities_device of every member: a float64 array of shape (batch, 2**k), row b member b's.\n"
          "The checks and messages are probabilities_device's; a member whose norm is zero, NaN or infinite\n"
          "raises RuntimeError naming the member.");
    m.def("expectation_pauli_batch_device", &expectation_pauli_batch_device, py::arg("batch").none(false),
          py::arg("terms"),
          "expectation_pauli_device of every member: a float64 array of shape (batch,). The checks and\n"
          "messages are expectation_pauli_device's; a member whose norm is zero, NaN or infinite raises\n"
          "RuntimeError naming the member.");
    m.def("measure_batch_device", &measure_batch_device, py::arg("batch").none(false), py::arg("targets"),
          py::arg("endian") = little, py::arg("seed") = py::none(),
          "Measure the targets of every member and collapse each: a list of bit strings, member b's what\n"
          "measure_device gives for a state equal to member b with seed (seed + b) mod 2**64 (seed None draws\n"
          "one seed for the call). A member whose norm is zero, NaN or infinite raises RuntimeError naming\n"
          "the member before any member is collapsed.");
    m.def("sample_measure_batch_device", &sample_measure_batch_device, py::arg("batch").none(false), py::arg("targets"),
          py::arg("shots"), py::arg("endian") = little, py::arg("seed") = py::none(),
          py::arg("collapse_last").noconvert() = true,
          "sample_measure_device of every member: a list of (counts, last outcome), member b's what a state\n"
          "equal to member b gives with seed (seed + b) mod 2**64 (seed None draws one seed for the call).\n"
          "shots as for sample_measure_device (per member); Ctrl-C during the draws raises\n"
          "KeyboardInterrupt with every member unchanged. A member whose norm is zero, NaN or infinite raises\n"
          "RuntimeError naming the member before any member is collapsed.");
    m.def("run_circuit", &run_circuit, py::arg("n"), py::arg("state"), py::arg("gate_ir"), py::arg("endian") = little,
          py::arg("device") = cuda0, py::arg("mode") = KernelMode::PairAuto,
          py::arg("use_pinned_host").noconvert() = false,
          "Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned.");
    m.def("measure", &measure, py::arg("n"), py::arg("state"), py::arg("targets"), py::arg("endian") = little,
          py::arg("device") = cuda0, py::arg("use_pinned_host").noconvert() = false,
          "Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit string is "
          "returned.");
    bind_trajectories(m);
}
