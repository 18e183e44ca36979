// Shared declarations of the corvid.cargo module.
#pragma once
#include <nanobind/nanobind.h>

#include <utility>

#include "common/compat.hpp"
#include "common/gil.hpp"
#include "common/log.hpp"
#include "common/methods.hpp"

namespace corvid::cargo {
namespace nb = nanobind;

inline constexpr const char *kLogger = "corvid.cargo";

// DataOffloader's methods are spread over several files (routes, multipart);
// each attaches its own after register_offloader has created the class.
template <typename Func, typename... Extra>
void def_offloader_method(nb::module_ &m, const char *name, Func &&f, const Extra &...extra) {
    def_method(m.attr("DataOffloader"), name, std::forward<Func>(f), extra...);
}

// Module-level value of corvid.cargo, read at call time the way a Python
// global is, so a value replaced on the module is seen by every route.
inline nb::object module_value(const char *name) {
    return nb::module_::import_("corvid.cargo").attr(name);
}

// Logs through the module's `logger` value, looked up when the message is
// logged the way a module global is, by the level's own method
// (logger.debug/info/warning), so a logger put in its place receives the
// same calls.
template <typename... Args>
void log_event(LogLevel level, const char *fmt, Args &&...args) {
    const char *method = level == LogLevel::Debug  ? "debug"
                         : level == LogLevel::Info ? "info"
                         : level == LogLevel::Warning ? "warning"
                                                      : "error";
    module_value("logger").attr(method)(fmt, std::forward<Args>(args)...);
}

// The same, for clean-up paths that must not fail because logging did.
template <typename... Args>
void log_event_quiet(LogLevel level, const char *fmt, Args &&...args) noexcept {
    try {
        log_event(level, fmt, std::forward<Args>(args)...);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable(kLogger);
    } catch (...) {
    }
}

// The module's ordinary classes hold all their state in the instance dict;
// __init__ and __setstate__ are plain methods so that, as on a Python class,
// they may be called again on a live instance. The C++ part (empty) is
// constructed on first use: unpickling calls __setstate__ on a bare instance
// made by __new__.
template <typename T>
void ensure_constructed(nb::handle self) {
    if (!nb::inst_ready(self)) {
        new (nb::inst_ptr<T>(self)) T();
        nb::inst_mark_ready(self);
    }
}

template <typename T>
void restore_state(nb::handle self, nb::handle state) {
    ensure_constructed<T>(self);
    self.attr("__dict__").attr("update")(state);
}

// str(obj), the builtin conversion.
inline nb::str to_str(nb::handle obj) { return nb::steal<nb::str>(check(PyObject_Str(obj.ptr()))); }

// Exceptions of the Exception family are the ones the routes turn into a
// fallback; anything else (KeyboardInterrupt, SystemExit) keeps propagating.
inline bool is_ordinary_error(nb::python_error &e) { return e.matches(PyExc_Exception); }

// Call only inside a catch block: turns the exception in flight (Python or
// C++) into the Python exception object when it belongs to the Exception
// family, and rethrows anything else.
inline nb::object caught_ordinary_error() {
    restore_error_from_current_exception();
    nb::python_error err;
    if (!is_ordinary_error(err)) throw err;
    return nb::borrow(err.value());
}

// Runs `f`; answers the Exception it raised (empty object when none).
template <typename F>
nb::object try_ordinary(F &&f) {
    try {
        f();
        return {};
    } catch (...) {
        return caught_ordinary_error();
    }
}

}  // namespace corvid::cargo
