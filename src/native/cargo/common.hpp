// Shared declarations of the corvid.cargo module.
#pragma once
#include <nanobind/nanobind.h>

#include <utility>

#include "common/api_key.hpp"
#include "common/compat.hpp"
#include "common/exit_guard.hpp"
#include "common/gil.hpp"
#include "common/values.hpp"
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

// The module's ordinary classes hold all their state in the instance dict;
// __init__ and __setstate__ are plain methods so that, as on a Python class,
// they may be called again on a live instance. The C++ part (empty) is
// constructed on first use: unpickling calls __setstate__ on a bare instance
// made by __new__.
//
// Called unbound (`DataOffloader.__init__(other, ...)`), `self` can be any
// object; it is refused as a built-in method refuses a foreign instance.
template <typename T>
void ensure_constructed(nb::handle self, const char *method) {
    if (!nb::isinstance<T>(self)) {
        auto *cls = reinterpret_cast<PyTypeObject *>(nb::type<T>().ptr());
        PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object", method,
                     cls->tp_name, Py_TYPE(self.ptr())->tp_name);
        throw nb::python_error();
    }
    if (!nb::inst_ready(self)) {
        new (nb::inst_ptr<T>(self)) T();
        nb::inst_mark_ready(self);
    }
}

template <typename T>
void restore_state(nb::handle self, nb::handle state) {
    ensure_constructed<T>(self, "__setstate__");
    self.attr("__dict__").attr("update")(state);
}

// Pickled as `copyreg.__newobj__(cls)` followed by __setstate__(state), the
// form protocol 2 uses by default, at every protocol: the older ones would
// otherwise rebuild the instance through object.__new__, which refuses an
// extension type.
inline nb::tuple reduce_by_state(nb::handle self) {
    nb::object newobj = nb::module_::import_("copyreg").attr("__newobj__");
    return nb::make_tuple(newobj, nb::make_tuple(self.type()), self.attr("__getstate__")());
}

// str(obj), the builtin conversion.
inline nb::str to_str(nb::handle obj) { return nb::steal<nb::str>(check(PyObject_Str(obj.ptr()))); }

// The status code as a number; a response object that is not httpx's (a
// caller's replacement) may hold anything there.
inline long status_of(nb::handle resp) {
    nb::object code = resp.attr("status_code");
    long status = PyLong_AsLong(code.ptr());
    if (status == -1 && PyErr_Occurred()) throw nb::python_error();
    return status;
}

// Exceptions of the Exception family are the ones the routes turn into a
// fallback; anything else (KeyboardInterrupt, SystemExit) keeps propagating.

// The offloader's key as it is now (an invalid object when it has none).
inline nb::object current_key(nb::handle self) {
    PyObject *key = nullptr;
    check(get_optional_attr(self.ptr(), nb::str("api_key").ptr(), &key));
    return nb::steal(key);
}

// str(exc) for a message, without the offloader's key in it.
inline nb::str error_text(nb::handle self, nb::handle exc) { return redact_key(exc, current_key(self)); }

// Call only inside a catch block: turns the exception in flight (Python or
// C++) into the Python exception object when it belongs to the Exception
// family, and rethrows anything else.
inline nb::object caught_ordinary_error() {
    restore_error_from_current_exception();
    nb::python_error err;
    if (!is_ordinary(err)) throw err;
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
