// RAII helpers around the GIL and the Python error indicator.
#pragma once
#include <nanobind/nanobind.h>

namespace corvid {
namespace nb = nanobind;

// Holds the GIL for the lifetime of the object, from any thread.
class GilHold {
public:
    GilHold() : state_(PyGILState_Ensure()) {}
    ~GilHold() { PyGILState_Release(state_); }
    GilHold(const GilHold &) = delete;
    GilHold &operator=(const GilHold &) = delete;

private:
    PyGILState_STATE state_;
};

// Releases the GIL around pure C++ work.
using GilRelease = nb::gil_scoped_release;

// Saves the pending Python error (if any) and restores it on scope exit, so
// clean-up code that calls into Python cannot clobber the original error.
class ErrorGuard {
public:
    ErrorGuard() { PyErr_Fetch(&type_, &value_, &tb_); }
    ~ErrorGuard() { PyErr_Restore(type_, value_, tb_); }
    ErrorGuard(const ErrorGuard &) = delete;
    ErrorGuard &operator=(const ErrorGuard &) = delete;

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

// Throws the pending Python error when a C API call signalled failure.
inline PyObject *check(PyObject *result) {
    if (!result) throw nb::python_error();
    return result;
}
inline int check(int status) {
    if (status < 0) throw nb::python_error();
    return status;
}

// Converts a C++ exception escaping a raw slot into a Python error.
// Use inside the outer catch of every raw CPython slot.
void restore_error_from_current_exception() noexcept;

}  // namespace corvid
