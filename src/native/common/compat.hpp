// Small shims over C API differences between CPython 3.11, 3.12 and 3.13.
#pragma once
#include <Python.h>

namespace corvid {

// Attribute look-up that reports a miss without raising: 1 found (*result set),
// 0 missing (*result null, no error), -1 error.
inline int get_optional_attr(PyObject *obj, PyObject *name, PyObject **result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// Dictionary look-up returning a new reference: 1 found, 0 missing, -1 error.
inline int dict_get_ref(PyObject *dict, PyObject *key, PyObject **result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    PyObject *item = PyDict_GetItemWithError(dict, key);
    if (item) {
        Py_INCREF(item);
        *result = item;
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

#if PY_VERSION_HEX < 0x030D0000
// The monotonic clock in integer nanoseconds (public from 3.13).
using PyTime_t = _PyTime_t;
inline int PyTime_Monotonic(PyTime_t *result) {
    *result = _PyTime_GetMonotonicClock();
    return 0;
}
inline double PyTime_AsSecondsDouble(PyTime_t t) { return _PyTime_AsSecondsDouble(t); }
#endif

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
// Exported by 3.13 though no longer declared in its public headers.
extern "C" PyAPI_FUNC(int) _PyDict_SetItem_KnownHash(PyObject *mp, PyObject *key, PyObject *item,
                                                     Py_hash_t hash);
#endif

// dict[key] = value for an exact dict whose key's hash is already known;
// any other mapping, or an unknown hash (-1), takes the ordinary road.
inline int mapping_set_hashed(PyObject *mapping, PyObject *key, PyObject *value, Py_hash_t hash) {
#if PY_VERSION_HEX < 0x030E0000
    if (hash != -1 && PyDict_CheckExact(mapping))
        return _PyDict_SetItem_KnownHash(mapping, key, value, hash);
#endif
    return PyObject_SetItem(mapping, key, value);
}

inline PyObject *new_ref(PyObject *obj) {
    Py_INCREF(obj);
    return obj;
}

}  // namespace corvid
