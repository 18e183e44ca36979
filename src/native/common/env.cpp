#include "common/env.hpp"

#include <nanobind/stl/string.h>

#include <cmath>

namespace corvid {

nb::object env_value(nb::handle name) {
    return nb::module_::import_("os").attr("environ").attr("get")(name);
}

std::optional<std::string> env_text(const char *name) {
    nb::object value = env_value(nb::str(name));
    if (!PyUnicode_Check(value.ptr())) return std::nullopt;
    // Bytes that are not UTF-8 reach os.environ as lone surrogates: such a
    // value is malformed and counts as unset.
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!utf8) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(utf8, static_cast<size_t>(size));
}

std::optional<double> parse_finite_float(nb::handle value) {
    PyObject *f = PyNumber_Float(value.ptr());
    if (!f) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return std::nullopt;
        }
        throw nb::python_error();
    }
    double v = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

}  // namespace corvid
