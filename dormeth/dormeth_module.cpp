// The dormeth Python module: argument conversion and checks, GIL release, calls into the core.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <complex>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/dlpack_binding.hpp"
#include "common/gpu/runtime.hpp"
#include "common/observables_binding.hpp"
#include "common/operation_conversion.hpp"
#include "common/parse.hpp"
#include "common/python_args.hpp"
#include "common/python_classes.hpp"
#include "common/python_gil.hpp"
#include "dormeth/device_targets.hpp"
#include "dormeth/dormeth_device_state.hpp"
#include "dormeth/dormeth_measure.hpp"
#include "dormeth/dormeth_observables.hpp"
#include "dormeth/run_density.hpp"

namespace py = pybind11;

namespace korvane::dormeth {
namespace {

using StatePtr = std::shared_ptr<DeviceDensityState>;
using Int64 = IntArg<std::int64_t>;

py::dtype numpy_dtype(Precision dtype) {
    return dtype == Precision::Complex128 ? py::dtype::of<std::complex<double>>()
                                          : py::dtype::of<std::complex<float>>();
}

StatePtr from_numpy(Int64 qubits, const py::array& state, const StrArg& device) {
    const std::int64_t n = qubits.value;
    if (n < 0 || n > kMaxDensityQubits)
        throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
    const py::ssize_t dim = py::ssize_t(1) << n;
    if (state.ndim() != 2 || state.shape(0) != dim || state.shape(1) != dim)
        throw std::invalid_argument("state shape must be (2**n, 2**n)");
    if (!(state.flags() & py::array::c_style)) throw std::invalid_argument("state must be C-contiguous");
    if (!state.writeable()) throw std::invalid_argument("state must be writable");
    const Precision dtype = parse_dtype(py::str(state.dtype()).cast<std::string>());
    const std::int32_t device_id = parse_device(device.value);
    const void* host = state.data();
    const auto count = static_cast<std::uint64_t>(state.size());
    // The allocation too runs without the GIL: on a device it can take as long as the copy.
    GilRelease release;
    auto result = std::make_shared<DeviceDensityState>(static_cast<std::uint64_t>(n), dtype, device_id);
    result->upload(host, count);
    return result;
}

StatePtr zero_state(Int64 n, const StrArg& dtype, const StrArg& device) {
    const std::int32_t device_id = parse_device(device.value);
    const Precision code = parse_dtype(dtype.value);
    // A negative n wraps to a huge unsigned value and fails the range check.
    GilRelease release;
    auto result = std::make_shared<DeviceDensityState>(static_cast<std::uint64_t>(n.value), code, device_id);
    result->set_zero_state();
    return result;
}

// Methods and properties take self by reference: pybind11 refuses None for a reference with
// TypeError, where a pointer or holder would arrive as null.
py::array to_numpy(const DeviceDensityState& self) {
    const auto dim = static_cast<py::ssize_t>(self.dimension());
    py::array out(numpy_dtype(self.dtype()), std::vector<py::ssize_t>{dim, dim});
    void* host = out.mutable_data();
    {
        GilRelease release;
        self.download(host, self.num_elements());
    }
    return out;
}

StatePtr copy_state(const DeviceDensityState& self) { return StatePtr(self.copy()); }

void run_density_operations_device(const StatePtr& state, Int64 num_qubits, const py::iterable& operations) {
    const std::vector<density::DensityOperation> records = density::convert_operations(operations);
    if (records.empty()) return;
    GilRelease release;
    run_density_operations(*state, num_qubits.value, records);
}

std::string measure_device(const StatePtr& state, const std::vector<Int64>& targets, const StrArg& endian,
                           const py::object& seed) {
    check_endian(endian.value);
    const std::uint64_t value = seed_value(seed);
    const std::vector<std::int64_t> qubits = values(targets);
    GilRelease release;
    return measure(*state, qubits, endian.value, value);
}

// A DeviceDensityState as a DLPack tensor: its 2^n x 2^n matrix, row-major.
const TensorForm<DeviceDensityState> kDensityTensor{
    {"DeviceDensityState", "(2**n, 2**n) with n in [0, 15]",
     [](const std::vector<std::int64_t>& shape) {
         return shape.size() == 2 && shape[0] == shape[1] &&
                power_of_two_exponent(shape[0], 0, static_cast<int>(kMaxDensityQubits)) >= 0;
     }},
    [](const DeviceDensityState& s) {
        return std::vector<std::int64_t>{s.dimension(), s.dimension()};
    },
    [](const std::vector<std::int64_t>& shape, StateBuffer&& buffer) {
        const int n = power_of_two_exponent(shape[0], 0, static_cast<int>(kMaxDensityQubits));
        return std::make_shared<DeviceDensityState>(static_cast<std::uint64_t>(n), std::move(buffer));
    }};

}  // namespace
}  // namespace korvane::dormeth

PYBIND11_MODULE(dormeth, m) {
    using namespace korvane::dormeth;
    m.doc() = "CUDA dense density-matrix backend for korvane";
    m.attr("backend") = korvane::gpu::kBackendName;
    korvane::register_text_errors();
    korvane::install_shutdown_gate();

    const korvane::StrArg cuda0{"cuda:0"};
    const korvane::StrArg little{"little"};
    py::class_<DeviceDensityState, std::shared_ptr<DeviceDensityState>> state(m, "DeviceDensityState");
    state.def_static("from_numpy", &from_numpy, py::arg("n"), py::arg("state"), py::arg("device") = cuda0)
        .def_static("zero_state", &zero_state, py::arg("n"), py::arg("dtype") = korvane::StrArg{"complex128"},
                    py::arg("device") = cuda0)
        .def("to_numpy", &to_numpy)
        .def("copy", &copy_state)
        .def_property_readonly("num_qubits", [](const DeviceDensityState& s) { return s.num_qubits(); })
        .def_property_readonly("dimension", [](const DeviceDensityState& s) { return s.dimension(); })
        .def_property_readonly("dtype",
                               [](const DeviceDensityState& s) { return std::string(korvane::dtype_name(s.dtype())); })
        .def_property_readonly("device_id", [](const DeviceDensityState& s) { return s.device_id(); });
    korvane::def_dlpack(state, kDensityTensor);
    korvane::factory_only(state);

    m.def("run_density_operations_device", &run_density_operations_device, py::arg("state").none(false),
          py::arg("num_qubits"), py::arg("operations"),
          "Apply density operations (gates, noise channels, Kraus channels) to a DeviceDensityState in place.");
    m.def("measure_device", &measure_device, py::arg("state").none(false), py::arg("targets"),
          py::arg("endian") = little, py::arg("seed") = py::none(),
          "Measure target qubits of a DeviceDensityState once, collapse it and return the bit string.\n\n"
          "A collapse that would leave an element that is not finite in the state's precision raises\n"
          "RuntimeError 'density matrix gives a non-finite collapse.' and leaves the state unchanged.");
    m.def("probabilities_device", &korvane::probabilities_device<DeviceDensityState>, py::arg("state").none(false),
          py::arg("targets"), py::arg("endian") = little,
          "Outcome probabilities of target qubits of a DeviceDensityState, without changing it.\n\n"
          "Returns a float64 array of length 2**k (k = len(targets)): entry o is the probability that\n"
          "measuring the targets gives outcome o, divided by the trace. With endian 'little' target j is\n"
          "bit j of o, with 'big' bit k-1-j (as in measure_device). More than 30 targets raise ValueError;\n"
          "then targets and endian are checked as measure_device checks them, except that an empty list\n"
          "gives [1.0]. A zero, NaN or infinite trace raises RuntimeError 'density matrix has zero or\n"
          "invalid trace.'.");
    m.def("expectation_pauli_device", &korvane::expectation_pauli_device<DeviceDensityState>,
          py::arg("state").none(false), py::arg("terms"),
          "Expectation value of a Pauli sum on a DeviceDensityState, without changing it.\n\n"
          "terms is a sequence of (coefficient, paulis, qubits) triples: a real coefficient, a string\n"
          "over 'I', 'X', 'Y', 'Z' and as many distinct qubits; paulis[j] acts on qubits[j]. Returns\n"
          "sum_t coefficient_t Re Tr(rho P_t) / Tr(rho) as a float (0.0 for no terms). A bad letter, a\n"
          "length mismatch, a qubit out of range or repeated and a coefficient that is not finite raise\n"
          "ValueError naming the term's index; a zero, NaN or infinite trace raises RuntimeError\n"
          "'density matrix has zero or invalid trace.', a non-finite element read RuntimeError 'density\n"
          "matrix gives a non-finite expectation value.'. Terms with the same X/Y positions share one pass.\n"
          "Any finite coefficients give the sum when it is a finite float, else OverflowError 'Pauli sum\n"
          "expectation value is out of the float range'.");
}
