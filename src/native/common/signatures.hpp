// Real signatures for inspect.signature(), help() and editors' tooltips.
//
// nanobind's function objects carry their parameters only as text
// (__nb_signature__), so inspect sees (*args, **kwargs). register_signatures
// gives nanobind's function, method and bound method types a __signature__
// getter that reads that text on each access: parameter names, kinds and the
// default values themselves (types are left to the .pyi stubs). A default
// nanobind knows only as text (nb::arg().sig(), a custom nb::sig()) renders as
// that text; a function with several overloads keeps the generic signature.
//
// The three types belong to this package's nanobind domain (NB_DOMAIN in
// CMakeLists.txt), so no other extension's functions are touched; the first
// module imported installs the getters and the others find them in place.
#pragma once
#include <nanobind/nanobind.h>

namespace corvid {
namespace nb = nanobind;

void register_signatures(nb::module_ &m);

}  // namespace corvid
