// Interned strings for attribute names and other fixed texts.
#pragma once
#include <nanobind/nanobind.h>

#include "common/gil.hpp"

namespace corvid {

// `text` as an interned str. The reference is kept for the life of the
// process, like the interpreter's own names: look-ups through it hit the
// cached hash and the identity fast path of dict probing, and no destructor
// touches it after the interpreter is gone.
inline PyObject *intern_name(const char *text) { return check(PyUnicode_InternFromString(text)); }

}  // namespace corvid
