#include "common/operation_conversion.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <complex>
#include <stdexcept>
#include <string>

#include "common/python_args.hpp"

namespace korvane::density {
namespace {

using ComplexArray = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>;

// Lists, tuples and NumPy arrays convert directly; any other iterable (a generator, a range) is
// read into a list first. Anything else raises the binding layer's cast error.
template <class V>
V to_vector(const py::object& value) {
    if (!py::isinstance<py::sequence>(value) && py::isinstance<py::iterable>(value)) return py::list(value).cast<V>();
    return value.cast<V>();
}

std::vector<std::int64_t> qubit_list(const py::handle& obj, const char* attribute) {
    return integer_list(obj.attr(attribute), attribute);
}

// An optional attribute: null when reading it raises AttributeError (absent). Any other exception a
// property raises passes through unchanged.
py::object optional_attribute(const py::handle& obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

void convert_kraus(const py::handle& obj, DensityOperation& op) {
    op.kind = OperationKind::Kraus;
    op.targets = qubit_list(obj, "target");
    // None, like an absent attribute, names no channel.
    const py::object channel = optional_attribute(obj, "channel_name");
    if (channel && !channel.is_none()) op.channel_name = text_value(channel, "channel_name");
    const ComplexArray k = obj.attr("kraus_matrices").cast<ComplexArray>();
    if (k.ndim() != 3 || k.shape(0) < 1 || k.shape(1) < 1 || k.shape(2) != k.shape(1))
        throw std::runtime_error("Kraus matrices must have shape (count, dimension, dimension)");
    op.kraus_count = k.shape(0);
    op.kraus_dimension = k.shape(1);
    op.kraus_matrices.assign(k.data(), k.data() + k.size());
}

void convert_gate(const py::handle& obj, DensityOperation& op) {
    op.kind = OperationKind::Gate;
    op.name = text_value(obj.attr("id"), "operation id");
    op.targets = qubit_list(obj, "target");
    op.controls = qubit_list(obj, "control");
    op.control_state = qubit_list(obj, "control_state");
    const py::object parameter = obj.attr("parameter");
    if (!parameter.is_none()) op.parameters = to_vector<std::vector<double>>(parameter);
    op.has_stored_matrix = bool_value(obj.attr("has_stored_matrix"), "has_stored_matrix");
    if (op.has_stored_matrix) {
        const ComplexArray m = obj.attr("stored_matrix").cast<ComplexArray>();
        if (m.ndim() != 2 || m.shape(0) != m.shape(1)) throw std::runtime_error("operation matrix must be square");
        op.stored_matrix.assign(m.data(), m.data() + m.size());
    }
}

}  // namespace

DensityOperation convert_operation(const py::handle& obj) {
    DensityOperation op;
    if (const py::object value = optional_attribute(obj, "operation_kind")) {
        const std::string kind = text_value(value, "operation_kind");
        if (kind != "kraus") throw RuntimeErrorText("unsupported density operation kind '" + kind + "'");
        convert_kraus(obj, op);
    } else {
        convert_gate(obj, op);
    }
    return op;
}

std::vector<DensityOperation> convert_operations(const py::iterable& operations) {
    // The caller's code can run during conversion (a property, an __index__) and change the list
    // being converted: conversion walks a snapshot of its items, which holds a reference to each.
    const py::tuple items(py::reinterpret_borrow<py::object>(operations));
    std::vector<DensityOperation> records;
    records.reserve(items.size());
    for (const py::handle obj : items) records.push_back(convert_operation(obj));
    return records;
}

}  // namespace korvane::density
