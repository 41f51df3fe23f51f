// Zero-copy interchange of both modules' states with other array libraries: DLPack both ways
// (__dlpack__, __dlpack_device__, from_dlpack) and, on the cuda backend, __cuda_array_interface__.
// Written once over a state's buffer and its shape as a tensor; a state kind adds it with
// def_dlpack and a TensorForm (its shape rule and how it adopts a buffer), with the GIL held.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/state_buffer.hpp"

namespace korvane {

// A state's memory as a tensor: its buffer, kept alive through the state's owner, and its row-major shape.
struct StateTensor {
    std::shared_ptr<const StateBuffer> buffer;
    std::vector<std::int64_t> shape;
};

// __dlpack__(stream, max_version, dl_device, copy) as the Python array API standard gives it.
pybind11::capsule dlpack_export(const StateTensor& tensor, pybind11::handle stream, pybind11::handle max_version,
                                pybind11::handle dl_device, pybind11::handle copy);
// __dlpack_device__: (device_type, device_id) of the state's memory.
pybind11::typing::Tuple<pybind11::int_, pybind11::int_> dlpack_device(const StateBuffer& buffer);
// __cuda_array_interface__ (version 3) of CUDA memory.
pybind11::typing::Dict<pybind11::str, pybind11::object> cuda_array_interface(const StateTensor& tensor);

// The shapes a state kind takes as a tensor: `accepts` decides, `form` says which in messages
// ("(2**n,) with n in [1, 62]").
struct ShapeRule {
    const char* kind;  // the class name, "DeviceState"
    const char* form;
    bool (*accepts)(const std::vector<std::int64_t>& shape);
};

// A DLPack producer's tensor as a state's buffer: borrowed, or copied into memory the buffer owns.
struct ImportedTensor {
    std::vector<std::int64_t> shape;
    StateBuffer buffer;
};
// from_dlpack(source, copy): every refusal (ValueError or TypeError naming the problem) comes
// before any allocation and leaves a capsule unconsumed.
ImportedTensor dlpack_import(pybind11::handle source, pybind11::handle copy, const ShapeRule& rule);

// The exponent of a power of two in [min_exponent, max_exponent], or -1.
int power_of_two_exponent(std::int64_t length, int min_exponent, int max_exponent);

std::string dlpack_doc(const ShapeRule& rule);
std::string dlpack_device_doc();
std::string from_dlpack_doc(const ShapeRule& rule);
std::string cuda_array_interface_doc();

// What def_dlpack needs of a state kind besides the state's `buffer()` and `shared_from_this()`.
template <class State>
struct TensorForm {
    ShapeRule rule;
    std::vector<std::int64_t> (*shape)(const State& state);
    // The state over a buffer of an accepted shape.
    std::shared_ptr<State> (*adopt)(const std::vector<std::int64_t>& shape, StateBuffer&& buffer);
};

// Adds __dlpack__, __dlpack_device__, from_dlpack and, on the cuda backend, __cuda_array_interface__
// to the class. Methods take self by reference, so None is refused as elsewhere.
template <class State, class Class>
void def_dlpack(Class& cls, const TensorForm<State>& form) {
    namespace py = pybind11;
    using OptionalInt = py::typing::Optional<py::int_>;
    using OptionalPair = py::typing::Optional<py::typing::Tuple<py::int_, py::int_>>;
    using OptionalBool = py::typing::Optional<py::bool_>;
    // pybind11 keeps the docstrings' pointers: they live as long as the module.
    static const std::string export_doc = dlpack_doc(form.rule);
    static const std::string device_doc = dlpack_device_doc();
    static const std::string import_doc = from_dlpack_doc(form.rule);
    const auto tensor = [shape = form.shape](const State& self) {
        return StateTensor{std::shared_ptr<const StateBuffer>(self.shared_from_this(), &self.buffer()), shape(self)};
    };
    cls.def(
        "__dlpack__",
        [tensor](const State& self, const OptionalInt& stream, const OptionalPair& max_version,
                 const OptionalPair& dl_device, const OptionalBool& copy) {
            return dlpack_export(tensor(self), stream, max_version, dl_device, copy);
        },
        py::kw_only(), py::arg("stream") = py::none(), py::arg("max_version") = py::none(),
        py::arg("dl_device") = py::none(), py::arg("copy") = py::none(), export_doc.c_str());
    cls.def(
        "__dlpack_device__", [](const State& self) { return dlpack_device(self.buffer()); }, device_doc.c_str());
    cls.def_static(
        "from_dlpack",
        [rule = form.rule, adopt = form.adopt](const py::object& obj, const OptionalBool& copy) {
            ImportedTensor imported = dlpack_import(obj, copy, rule);
            return adopt(imported.shape, std::move(imported.buffer));
        },
        py::arg("obj"), py::pos_only(), py::kw_only(), py::arg("copy") = py::none(), import_doc.c_str());
#if defined(KORVANE_GPU_CUDA)
    static const std::string interface_doc = cuda_array_interface_doc();
    cls.def_property_readonly(
        "__cuda_array_interface__", [tensor](const State& self) { return cuda_array_interface(tensor(self)); },
        interface_doc.c_str());
#endif
}

}  // namespace korvane
