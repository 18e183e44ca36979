// The wrapper types that stand in for user callables (_OverflowCallable,
// _OverflowMethod, _BoundOverflow), the thunk that runs one call locally, and
// the small shim functions shipped to the remote side.
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_wrappers(nb::module_ &m);

// New _OverflowCallable / _OverflowMethod for C++ callers (discovery uses the
// module attributes, which come to the same thing).
nb::object make_callable_wrapper(nb::handle original, nb::handle monitor);
nb::object make_method_wrapper(nb::handle func, nb::handle monitor, nb::handle name);

// A function of no arguments that performs func(*args, **kwargs). Whether it
// has been called is remembered: an error raised before the user's code ran
// is the monitor's own and must not reach the caller.
nb::object make_thunk(nb::handle func, nb::handle args, nb::handle kwargs);
bool thunk_started(nb::handle thunk);

}  // namespace corvid::overflow
