#include "common/env.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>

#include <nanobind/stl/string.h>  // nb::cast<std::string> in env_text

namespace corvid {

static nb::object environ() {
    return nb::module_::import_("os").attr("environ");
}

std::optional<std::string> env_text(const char *name) {
    nb::object value = environ().attr("get")(name);
    if (value.is_none()) return std::nullopt;
    return nb::cast<std::string>(value);
}

bool is_finite(double v) { return std::isfinite(v); }

std::optional<double> parse_finite_float(nb::handle text) {
    PyObject *f = PyFloat_FromString(text.ptr());
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

std::optional<double> env_finite_float(const char *name) {
    nb::object value = environ().attr("get")(name);
    if (value.is_none()) return std::nullopt;
    return parse_finite_float(value);
}

std::optional<bool> env_flag(const char *name) {
    auto text = env_text(name);
    if (!text) return std::nullopt;
    std::string s = *text;
    auto not_space = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), not_space));
    s.erase(std::find_if(s.rbegin(), s.rend(), not_space).base(), s.end());
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s == "1" || s == "true" || s == "yes" || s == "on";
}

}  // namespace corvid
