// Attaching methods to a bound class from several source files.
//
// A class whose methods are spread over one file per concern is created in
// one file; the others add their methods afterwards with def_method. Methods
// take `nb::handle self` first and reach each other through attribute look-up
// on self, so an instance attribute or a subclass can replace any of them.
#pragma once
#include <nanobind/nanobind.h>

#include <utility>

namespace corvid {
namespace nb = nanobind;

template <typename Func, typename... Extra>
void def_method(nb::handle cls, const char *name, Func &&f, const Extra &...extra) {
    nb::setattr(cls, name,
                nb::cpp_function(std::forward<Func>(f), nb::name(name), nb::is_method(),
                                 nb::scope(cls), extra...));
}

// Exceptions of the Exception family are the ones best-effort code turns into
// a fallback; anything else (KeyboardInterrupt, SystemExit) keeps propagating.
inline bool is_ordinary(const nb::python_error &e) { return e.matches(PyExc_Exception); }

}  // namespace corvid
