// The observables' bindings, shared by both modules: conversion of a Python Pauli sum into
// PauliTerm records (GIL held; no semantic check happens there, plan_pauli_sum makes them), and the
// two entry points, which release the GIL around the device work. `probabilities`,
// `expectation_pauli` and `qubit_count` are found in the state's own module by argument-dependent
// lookup.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/pauli.hpp"
#include "common/python_args.hpp"
#include "common/python_gil.hpp"

namespace korvane {

namespace detail {

// A tuple copy of any iterable. Reading the copy is safe whatever caller code (an __iter__,
// __float__ or __index__) does to the original meanwhile.
inline pybind11::tuple tuple_snapshot(pybind11::handle object) {
    PyObject* copy = PySequence_Tuple(object.ptr());
    if (!copy) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::tuple>(copy);
}

}  // namespace detail

// terms: an iterable of (coefficient, paulis, qubits) triples: a real number, a str, an iterable of
// integers. Errors Python raises while reading them pass through unchanged; an item that is not a
// triple is a ValueError and paulis that is not a str a TypeError, both naming the term's index, as
// is a qubit beyond 64 bits (out of range for the num_qubits of any state).
inline std::vector<PauliTerm> convert_pauli_terms(pybind11::handle terms, std::uint64_t num_qubits) {
    namespace py = pybind11;
    const py::tuple items = detail::tuple_snapshot(terms);
    std::vector<PauliTerm> out;
    out.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string name = "Pauli term " + std::to_string(i);
        const py::tuple triple = detail::tuple_snapshot(items[i]);
        if (triple.size() != 3) throw std::invalid_argument(name + " must be a (coefficient, paulis, qubits) triple");
        PauliTerm term;
        term.coefficient = PyFloat_AsDouble(triple[0].ptr());
        if (term.coefficient == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        if (!PyUnicode_Check(triple[1].ptr())) throw py::type_error(name + ": paulis must be a str");
        term.paulis = triple[1].cast<std::string>();
        const py::tuple qubits = detail::tuple_snapshot(triple[2]);
        term.qubits.reserve(qubits.size());
        for (const py::handle qubit : qubits) {
            const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(qubit.ptr()));
            if (!index) throw py::error_already_set();
            const std::optional<std::int64_t> value = detail::int_value<std::int64_t>(index);
            if (!value)
                throw std::invalid_argument(name + ": qubit " + py::str(index).cast<std::string>() +
                                            " is out of range for " + std::to_string(num_qubits) + " qubits");
            term.qubits.push_back(*value);
        }
        out.push_back(std::move(term));
    }
    return out;
}

// A float64 array that takes over the vector's memory: 2^30 probabilities are not copied again.
inline pybind11::array_t<double> float64_array(std::vector<double>&& values) {
    auto* owned = new std::vector<double>(std::move(values));
    pybind11::capsule owner(owned, [](void* p) { delete static_cast<std::vector<double>*>(p); });
    return pybind11::array_t<double>(static_cast<pybind11::ssize_t>(owned->size()), owned->data(), owner);
}

template <class State>
pybind11::array_t<double> probabilities_device(const std::shared_ptr<State>& state,
                                               const std::vector<IntArg<std::int64_t>>& targets, const StrArg& endian) {
    const std::vector<std::int64_t> qubits = values(targets);
    std::vector<double> probs;
    {
        GilRelease release;
        probs = probabilities(*state, qubits, endian.value);
    }
    return float64_array(std::move(probs));
}

template <class State>
double expectation_pauli_device(const std::shared_ptr<State>& state, const pybind11::object& terms) {
    const std::vector<PauliTerm> records = convert_pauli_terms(terms, qubit_count(*state));
    GilRelease release;
    return expectation_pauli(*state, records);
}

}  // namespace korvane
