#include "velqa/gate_conversion.hpp"

#include <pybind11/numpy.h>

#include <stdexcept>
#include <string>

#include "common/python_args.hpp"
#include "velqa/gate_traits.hpp"

namespace velqa {

namespace {

using Matrix = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>;

std::string gate_label(std::size_t index) { return "gate " + std::to_string(index); }

Matrix matrix_array(const py::handle& value) {
    Matrix array = Matrix::ensure(value);
    if (!array) throw std::invalid_argument("unitary matrix must be array-like.");
    return array;
}

void set_matrix(GateRecord& record, const std::complex<double>* data, py::ssize_t rows) {
    record.matrix.assign(data, data + rows * rows);
    record.matrix_dim = rows;
    record.has_matrix = true;
}

// A matrix for the members of a batch: (d, d) for every member, or (members, d, d), member b's
// block b.
void convert_member_matrices(const py::handle& value, GateRecord& record, std::uint64_t members, std::size_t index) {
    if (value.is_none()) return;
    const Matrix array = matrix_array(value);
    if (array.ndim() != 3) {
        convert_unitary_matrix(array, record);
        return;
    }
    const auto rows = array.shape(1);
    if (rows < 1 || rows != array.shape(2))
        throw std::invalid_argument("unitary matrices must be non-empty square arrays of shape (batch, d, d).");
    if (static_cast<std::uint64_t>(array.shape(0)) != members)
        throw std::invalid_argument("unitary matrices must match the batch (" + gate_label(index) + ": " +
                                    std::to_string(array.shape(0)) + " matrices, batch " + std::to_string(members) +
                                    ")");
    set_matrix(record, array.data(), rows);
    if (members > 1) record.member_matrix.assign(array.data(), array.data() + array.size());
}

// A gate's parameters for the members of a batch: a sequence of floats for every member (the single
// state's conversion), or a real array of shape (members, p), member b's row b.
void convert_member_parameters(const py::handle& value, GateRecord& record, std::uint64_t members, std::size_t index) {
    if (!py::isinstance<py::array>(value) || py::reinterpret_borrow<py::array>(value).ndim() < 2) {
        record.parameter = value.cast<std::vector<double>>();
        return;
    }
    const auto array = py::reinterpret_borrow<py::array>(value);
    if (array.ndim() != 2)
        throw std::invalid_argument("parameter must be a sequence of floats or an array of shape (batch, p) (" +
                                    gate_label(index) + ")");
    const char kind = array.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
        throw py::type_error("parameter array must hold real numbers, not " +
                             py::str(array.dtype()).cast<std::string>() + " (" + gate_label(index) + ")");
    if (static_cast<std::uint64_t>(array.shape(0)) != members)
        throw std::invalid_argument("parameter rows must match the batch (" + gate_label(index) + ": " +
                                    std::to_string(array.shape(0)) + " rows, batch " + std::to_string(members) + ")");
    using Rows = py::array_t<double, py::array::c_style | py::array::forcecast>;
    const Rows rows = Rows::ensure(array);
    if (!rows) throw py::error_already_set();
    const auto width = static_cast<std::size_t>(rows.shape(1));
    record.parameter.assign(rows.data(), rows.data() + width);
    if (members > 1 && width > 0) record.member_parameter.assign(rows.data(), rows.data() + rows.size());
}

}  // namespace

void convert_unitary_matrix(const py::handle& value, GateRecord& record) {
    if (value.is_none()) return;
    const Matrix array = matrix_array(value);
    if (array.ndim() != 2 || array.shape(0) < 1 || array.shape(0) != array.shape(1))
        throw std::invalid_argument("unitary matrix must be a non-empty square 2-D array.");
    set_matrix(record, array.data(), array.shape(0));
}

namespace {

// The caller's code can run during conversion (an __index__, a dict subclass's __getitem__, a
// property) and change the list being converted: conversion walks a snapshot of its items, which
// holds a reference to each, so the records are the gates the list held when the call began.
py::tuple snapshot(const py::handle& sequence) { return py::tuple(py::reinterpret_borrow<py::object>(sequence)); }

void finish_record(GateRecord& record) {
    rewrite_t_gate(record);
    record.id = gate_id_from_name(record.name);
}

// One gate dict (or what dict() makes of the item); members > 0 reads per-member values.
GateRecord dict_record(const py::handle& element, std::uint64_t members, std::size_t index) {
    py::dict gate = py::isinstance<py::dict>(element) ? py::reinterpret_borrow<py::dict>(element)
                                                      : py::dict(py::reinterpret_borrow<py::object>(element));
    GateRecord record;
    record.name = korvane::text_value(py::object(gate["id"]), "gate id");
    record.target = korvane::integer_list(py::object(gate["target"]), "target");
    record.control = korvane::integer_list(py::object(gate["control"]), "control");
    record.control_state = korvane::integer_list(py::object(gate["control_state"]), "control_state");
    if (members > 0)
        convert_member_parameters(py::object(gate["parameter"]), record, members, index);
    else
        record.parameter = py::object(gate["parameter"]).cast<std::vector<double>>();
    finish_record(record);
    if (gate.contains("matrix")) {
        if (members > 0)
            convert_member_matrices(gate["matrix"], record, members, index);
        else
            convert_unitary_matrix(gate["matrix"], record);
    }
    check_unitary_record(record);
    return record;
}

// One QuantumGate-like object; members > 0 reads per-member values.
GateRecord object_record(const py::handle& gate, std::uint64_t members, std::size_t index) {
    GateRecord record;
    record.name = korvane::text_value(gate.attr("id"), "gate id");
    record.target = korvane::integer_list(gate.attr("target"), "target");
    record.control = korvane::integer_list(gate.attr("control"), "control");
    record.control_state = korvane::integer_list(gate.attr("control_state"), "control_state");
    const py::object parameter = gate.attr("parameter");
    if (!parameter.is_none()) {
        if (members > 0)
            convert_member_parameters(parameter, record, members, index);
        else
            record.parameter = parameter.cast<std::vector<double>>();
    }
    finish_record(record);
    if (record.id == kGateUnitary) {
        if (members > 0)
            convert_member_matrices(gate.attr("matrix"), record, members, index);
        else
            convert_unitary_matrix(gate.attr("matrix"), record);
    }
    check_unitary_record(record);
    return record;
}

}  // namespace

std::vector<GateRecord> convert_gate_ir(const py::list& gate_ir) {
    const py::tuple gates = snapshot(gate_ir);
    std::vector<GateRecord> records;
    records.reserve(gates.size());
    for (std::size_t i = 0; i < gates.size(); ++i) records.push_back(dict_record(gates[i], 0, i));
    return records;
}

std::vector<GateRecord> convert_quantum_gates(const py::iterable& gates) {
    const py::tuple items = snapshot(gates);
    std::vector<GateRecord> records;
    records.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) records.push_back(object_record(items[i], 0, i));
    return records;
}

std::vector<GateRecord> convert_batch_gates(const py::iterable& gates, std::uint64_t members) {
    const py::tuple items = snapshot(gates);
    std::vector<GateRecord> records;
    records.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        records.push_back(py::isinstance<py::dict>(items[i]) ? dict_record(items[i], members, i)
                                                             : object_record(items[i], members, i));
    return records;
}

}  // namespace velqa
