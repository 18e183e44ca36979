#include "common/env.hpp"

#include <nanobind/stl/string.h>

#include <cmath>

namespace corvid {

nb::object env_value(nb::handle name) {
    return nb::module_::import_("os").attr("environ").attr("get")(name);
}

std::optional<std::string> env_text(const char *name) {
    nb::object value = env_value(nb::str(name));
    if (value.is_none()) return std::nullopt;
    return nb::cast<std::string>(value);
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
