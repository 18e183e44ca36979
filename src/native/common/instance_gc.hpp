// GC support for nanobind classes that hold Python references in C++ fields.
//
// A class that supplies its own Py_tp_traverse / Py_tp_clear replaces the
// ones nanobind installs for nb::dynamic_attr(), so it must visit and clear
// the instance __dict__ itself; these helpers find that slot.
#pragma once
#include <Python.h>

namespace corvid {

// Address of the instance-dict slot, or nullptr when the type has none.
inline PyObject **instance_dict_slot(PyObject *self) noexcept {
    Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
    if (offset <= 0) return nullptr;
    return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + offset);
}

inline int visit_instance_dict(PyObject *self, visitproc visit, void *arg) noexcept {
    PyObject **slot = instance_dict_slot(self);
    if (slot) Py_VISIT(*slot);
    return 0;
}

inline void clear_instance_dict(PyObject *self) noexcept {
    PyObject **slot = instance_dict_slot(self);
    if (slot) Py_CLEAR(*slot);
}

}  // namespace corvid
