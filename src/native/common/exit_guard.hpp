// Calls into Python code from native frames that must survive interpreter
// exit.
//
// A daemon thread that wants the GIL back after the interpreter began to
// finalise is ended by CPython from where it waits (the thread exits, which
// unwinds its stack like an exception). Every native frame on the way would
// run its destructors, and ours release Python objects: with no interpreter
// left the process segfaults or aborts. So each call from this package into
// code that may block, sleep or release the GIL (the user's functions and
// handlers, replaced methods, HTTP transfers, lock waits) goes through
// exit_safe(): the unwind is stopped right there, before any frame of ours,
// and the thread is parked for the rest of the process's short life. It
// holds nothing another thread waits for: the process is ending.
#pragma once
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace corvid {

// Blocks the calling thread for good, touching nothing of the interpreter.
[[noreturn]] void park_thread() noexcept;

// Runs `f` (which holds no Python references of its own in C++ objects) and
// returns what it returns; a thread ended by interpreter exit stops here.
template <typename F>
decltype(auto) exit_safe(F &&f) {
#if defined(__GLIBCXX__)
    try {
        return std::forward<F>(f)();
    } catch (abi::__forced_unwind &) {
        park_thread();
    }
#else
    return std::forward<F>(f)();
#endif
}

// PyObject_Vectorcall / PyObject_Call through exit_safe.
inline PyObject *safe_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                                 PyObject *kwnames) {
    // Straight through the callee's vectorcall slot when it has one: the
    // interpreter checks what comes back when our caller returns it.
    vectorcallfunc direct = PyVectorcall_Function(callable);
    if (direct) return exit_safe([&] { return direct(callable, args, nargsf, kwnames); });
    return exit_safe([&] { return PyObject_Vectorcall(callable, args, nargsf, kwnames); });
}

inline PyObject *safe_call(PyObject *callable, PyObject *args, PyObject *kwargs) {
    return exit_safe([&] { return PyObject_Call(callable, args, kwargs); });
}

inline PyObject *safe_vectorcall_method(PyObject *name, PyObject *const *args, size_t nargsf,
                                        PyObject *kwnames) {
    return exit_safe([&] { return PyObject_VectorcallMethod(name, args, nargsf, kwnames); });
}

// fn(*args, **kwargs) for a call that may block (a network transfer, a user
// handler): the arguments are built and owned here, outside the guarded call.
nanobind::object call_blocking(
    nanobind::handle fn, std::initializer_list<nanobind::handle> args,
    std::initializer_list<std::pair<const char *, nanobind::handle>> kwargs = {});

}  // namespace corvid
