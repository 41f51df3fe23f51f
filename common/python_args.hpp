// Strict conversion of Python values at both modules' boundaries, with the GIL held.
//
// - An integer is an int (bool included), a NumPy integer or any object with __index__; a float,
//   a NumPy float, Decimal or Fraction is never truncated to one. Function arguments declared
//   `IntArg` refuse anything else as the binding layer refuses an argument of the wrong type
//   (TypeError "incompatible function arguments"), as they refuse a value outside the C++ type;
//   integers read from records (`integer_list`) refuse it with a TypeError naming the field.
// - A boolean is True, False or a numpy.bool_: `py::arg(...).noconvert()` for arguments,
//   `bool_value` for record fields. None and 2 are refused.
// - A string is a str: `StrArg` for arguments, `text_value` for record fields. bytes are refused,
//   and the text keeps every character, NUL included.
// - A Python error raised by the caller's own code while a value is read (an __index__ that raises)
//   passes through unchanged.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/text_error.hpp"

namespace korvane {

template <class T>
struct IntArg {
    T value{};
};

struct StrArg {
    std::string value;
};

namespace detail {

inline std::string type_name(pybind11::handle value) { return Py_TYPE(value.ptr())->tp_name; }

// Whether the value is an integer by the rule above (it is an int or has __index__).
inline bool integer_like(pybind11::handle value) {
    return PyLong_Check(value.ptr()) || (PyIndex_Check(value.ptr()) && !PyFloat_Check(value.ptr()));
}

// The int the value's __index__ gives; the caller's exception passes through.
inline pybind11::object as_int(pybind11::handle value) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (!index) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::object>(index);
}

// The value of an int in T, or nothing when it lies outside T.
template <class T>
std::optional<T> int_value(pybind11::handle integer) {
    if constexpr (std::is_signed_v<T>) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw pybind11::error_already_set();
        if (overflow || v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) return std::nullopt;
        return static_cast<T>(v);
    } else {
        const unsigned long long v = PyLong_AsUnsignedLongLong(integer.ptr());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            // negative or above 2^64
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw pybind11::error_already_set();
            PyErr_Clear();
            return std::nullopt;
        }
        if (v > std::numeric_limits<T>::max()) return std::nullopt;
        return static_cast<T>(v);
    }
}

inline bool is_numpy_bool(pybind11::handle value) {
    const char* name = Py_TYPE(value.ptr())->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

}  // namespace detail

// A record's list of integers (targets, controls, control states): any iterable but a string,
// read through the iterator protocol. A value that does not fit 64 bits raises Python's
// OverflowError.
inline std::vector<std::int64_t> integer_list(pybind11::handle value, const char* field) {
    namespace py = pybind11;
    const auto refuse = [&] {
        return py::type_error(std::string(field) + " must be a sequence of integers, not " + detail::type_name(value));
    };
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr())) throw refuse();
    PyObject* iterator = PyObject_GetIter(value.ptr());
    if (!iterator) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        throw refuse();
    }
    std::vector<std::int64_t> out;
    for (const py::handle item : py::reinterpret_steal<py::iterator>(iterator)) {
        if (!detail::integer_like(item))
            throw py::type_error(std::string(field) + " entries must be integers, not " + detail::type_name(item));
        const py::object integer = detail::as_int(item);
        const long long v = PyLong_AsLongLong(integer.ptr());
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        out.push_back(v);
    }
    return out;
}

inline std::string text_value(pybind11::handle value, const char* field) {
    if (!PyUnicode_Check(value.ptr()))
        throw pybind11::type_error(std::string(field) + " must be a str, not " + detail::type_name(value));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!data) throw pybind11::error_already_set();
    return {data, static_cast<std::size_t>(size)};
}

inline bool bool_value(pybind11::handle value, const char* field) {
    if (value.ptr() == Py_True) return true;
    if (value.ptr() == Py_False) return false;
    if (!detail::is_numpy_bool(value))
        throw pybind11::type_error(std::string(field) + " must be a bool, not " + detail::type_name(value));
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw pybind11::error_already_set();
    return truth != 0;
}

template <class T>
std::vector<T> values(const std::vector<IntArg<T>>& arguments) {
    std::vector<T> out;
    out.reserve(arguments.size());
    for (const IntArg<T>& a : arguments) out.push_back(a.value);
    return out;
}

// A measurement seed, converted after the endian check: None draws one 32-bit value from the random
// device; an integer must lie in [0, 2^64) ("seed must be in [0, 2**64)", ValueError); anything else
// is a TypeError.
inline std::uint64_t seed_value(pybind11::handle seed) {
    if (seed.is_none()) return static_cast<std::uint64_t>(std::random_device{}());
    if (!detail::integer_like(seed))
        throw pybind11::type_error("seed must be None or an integer, not " + detail::type_name(seed));
    const std::optional<std::uint64_t> value = detail::int_value<std::uint64_t>(detail::as_int(seed));
    if (!value) throw std::invalid_argument("seed must be in [0, 2**64)");
    return *value;
}

// Raises TextError messages whole (NUL bytes included) as ValueError and RuntimeError.
inline void register_text_errors() {
    pybind11::register_local_exception_translator([](std::exception_ptr error) {
        const auto raise = [](PyObject* kind, const std::string& message) {
            PyObject* text =
                PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogateescape");
            if (!text) return;  // the decoding error is raised instead
            PyErr_SetObject(kind, text);
            Py_DECREF(text);
        };
        try {
            if (error) std::rethrow_exception(std::move(error));
        } catch (const InvalidArgumentText& e) {
            raise(PyExc_ValueError, e.message());
        } catch (const RuntimeErrorText& e) {
            raise(PyExc_RuntimeError, e.message());
        }
    });
}

}  // namespace korvane

namespace pybind11::detail {

template <class T>
struct type_caster<korvane::IntArg<T>> {
    PYBIND11_TYPE_CASTER(korvane::IntArg<T>, io_name("typing.SupportsIndex", "int"));

    bool load(handle src, bool) {
        if (!src || !korvane::detail::integer_like(src)) return false;
        const std::optional<T> v = korvane::detail::int_value<T>(korvane::detail::as_int(src));
        if (!v) return false;
        value.value = *v;
        return true;
    }

    static handle cast(const korvane::IntArg<T>& src, return_value_policy, handle) {
        if constexpr (std::is_signed_v<T>)
            return PyLong_FromLongLong(src.value);
        else
            return PyLong_FromUnsignedLongLong(src.value);
    }
};

template <>
struct type_caster<korvane::StrArg> {
    PYBIND11_TYPE_CASTER(korvane::StrArg, const_name("str"));

    bool load(handle src, bool) {
        if (!src || !PyUnicode_Check(src.ptr())) return false;
        value.value = korvane::text_value(src, "");
        return true;
    }

    static handle cast(const korvane::StrArg& src, return_value_policy, handle) {
        return PyUnicode_DecodeUTF8(src.value.data(), static_cast<Py_ssize_t>(src.value.size()), nullptr);
    }
};

}  // namespace pybind11::detail
