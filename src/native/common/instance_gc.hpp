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

#include <nanobind/nanobind.h>

namespace corvid {

// The GC slots of a nanobind class with a __dict__ whose C++ state `T` holds
// Python references: `T::for_each_ref(f)` calls `f(nb::object &)` on each.
// Traverse visits the type, the dict and every reference; clear drops them,
// each member null before its decref runs. An instance whose constructor has
// not run holds nothing yet.
template <typename T>
int traverse_state(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    if (int r = visit_instance_dict(self, visit, arg)) return r;
    if (!nanobind::inst_ready(nanobind::handle(self))) return 0;
    int found = 0;
    nanobind::inst_ptr<T>(nanobind::handle(self))->for_each_ref([&](nanobind::object &o) {
        if (!found && o.ptr()) found = visit(o.ptr(), arg);
    });
    return found;
}

template <typename T>
int clear_state(PyObject *self) noexcept {
    clear_instance_dict(self);
    if (!nanobind::inst_ready(nanobind::handle(self))) return 0;
    nanobind::inst_ptr<T>(nanobind::handle(self))->for_each_ref([](nanobind::object &o) {
        nanobind::object dropped = std::move(o);
    });
    return 0;
}

template <typename T>
inline PyType_Slot state_gc_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(traverse_state<T>)},
    {Py_tp_clear, reinterpret_cast<void *>(clear_state<T>)},
    {0, nullptr},
};

}  // namespace corvid
