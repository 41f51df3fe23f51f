#include "velqa/gate_conversion.hpp"

#include <pybind11/numpy.h>

#include <stdexcept>

#include "common/python_args.hpp"
#include "velqa/gate_traits.hpp"

namespace velqa {

void convert_unitary_matrix(const py::handle& value, GateRecord& record) {
    if (value.is_none()) return;
    using Matrix = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>;
    Matrix array = Matrix::ensure(value);
    if (!array) throw std::invalid_argument("unitary matrix must be array-like.");
    if (array.ndim() != 2 || array.shape(0) < 1 || array.shape(0) != array.shape(1))
        throw std::invalid_argument("unitary matrix must be a non-empty square 2-D array.");
    const auto rows = array.shape(0);
    record.matrix.assign(array.data(), array.data() + rows * rows);
    record.matrix_dim = rows;
    record.has_matrix = true;
}

namespace {

// The caller's code can run during conversion (an __index__, a dict subclass's __getitem__, a
// property) and change the list being converted: conversion walks a snapshot of its items, which
// holds a reference to each, so the records are the gates the list held when the call began.
py::tuple snapshot(const py::handle& sequence) { return py::tuple(py::reinterpret_borrow<py::object>(sequence)); }

void finish_record(GateRecord& record) {
    rewrite_t_gate(record.name, record.parameter);
    record.id = gate_id_from_name(record.name);
}

}  // namespace

std::vector<GateRecord> convert_gate_ir(const py::list& gate_ir) {
    const py::tuple gates = snapshot(gate_ir);
    std::vector<GateRecord> records;
    records.reserve(gates.size());
    for (const py::handle element : gates) {
        py::dict gate = py::isinstance<py::dict>(element) ? py::reinterpret_borrow<py::dict>(element)
                                                          : py::dict(py::reinterpret_borrow<py::object>(element));
        GateRecord record;
        record.name = korvane::text_value(py::object(gate["id"]), "gate id");
        record.target = korvane::integer_list(py::object(gate["target"]), "target");
        record.control = korvane::integer_list(py::object(gate["control"]), "control");
        record.control_state = korvane::integer_list(py::object(gate["control_state"]), "control_state");
        record.parameter = py::object(gate["parameter"]).cast<std::vector<double>>();
        finish_record(record);
        if (gate.contains("matrix")) convert_unitary_matrix(gate["matrix"], record);
        check_unitary_record(record);
        records.push_back(std::move(record));
    }
    return records;
}

std::vector<GateRecord> convert_quantum_gates(const py::iterable& gates) {
    const py::tuple items = snapshot(gates);
    std::vector<GateRecord> records;
    records.reserve(items.size());
    for (const py::handle gate : items) {
        GateRecord record;
        record.name = korvane::text_value(gate.attr("id"), "gate id");
        record.target = korvane::integer_list(gate.attr("target"), "target");
        record.control = korvane::integer_list(gate.attr("control"), "control");
        record.control_state = korvane::integer_list(gate.attr("control_state"), "control_state");
        const py::object parameter = gate.attr("parameter");
        if (!parameter.is_none()) record.parameter = parameter.cast<std::vector<double>>();
        finish_record(record);
        if (record.id == kGateUnitary) convert_unitary_matrix(gate.attr("matrix"), record);
        check_unitary_record(record);
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace velqa
