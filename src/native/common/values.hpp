// Conversions of Python values that raise the pending Python error as a C++
// exception (nb::python_error) instead of returning a status.
#pragma once
#include <nanobind/nanobind.h>

#include "common/gil.hpp"

namespace corvid {

inline bool truthy(nb::handle v) { return check(PyObject_IsTrue(v.ptr())) != 0; }

inline double as_double(nb::handle v) {
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

}  // namespace corvid
