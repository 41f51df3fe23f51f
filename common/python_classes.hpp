// Classes whose instances come only from their module's factories (the states and the prepared
// chunk), shared by both modules.
//
// A pybind11 class without a constructor still has a __new__ that makes an instance holding no
// object, whose methods would then read memory nobody wrote. Such a class gets a __new__ that
// refuses, both as its type slot and in its dictionary, so that neither Cls(), Cls.__new__(Cls) nor
// a base class's __new__ applied to it makes one. The dictionary's __new__ is bound to the class,
// as Python binds the __new__ of its own types, which also makes copyreg's pickling path for
// protocols 0 and 1 refuse the class instead of calling pybind11's base class (which aborts). A
// __reduce_ex__ refuses to pickle or copy at every protocol with one message: the objects hold
// device memory, which a pickle cannot carry.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace korvane {

namespace detail {

inline PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

// The dictionary's __new__, called with the class as self (keyword arguments are refused by Python).
inline PyObject* refuse_new_method(PyObject* type, PyObject*) {
    return refuse_new(reinterpret_cast<PyTypeObject*>(type), nullptr, nullptr);
}

}  // namespace detail

template <class Class>
void factory_only(Class& cls) {
    namespace py = pybind11;
    static PyMethodDef refuse_def = {"__new__", detail::refuse_new_method, METH_VARARGS,
                                     "Refuses: instances come from the factories."};
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    const py::object new_method = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&refuse_def, cls.ptr(), nullptr));
    if (!new_method || PyDict_SetItemString(type->tp_dict, "__new__", new_method.ptr()) != 0)
        throw py::error_already_set();
    type->tp_new = detail::refuse_new;
    PyType_Modified(type);
    const std::string name = type->tp_name;
    cls.def(
        "__reduce_ex__",
        [name](const py::handle&, const py::handle&) -> py::object {
            throw py::type_error("cannot pickle '" + name + "' object");
        },
        py::arg("protocol"));
}

}  // namespace korvane
