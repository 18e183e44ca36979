// Offload safety: whether a call that passed the offload gate may leave the
// process, and whether its arguments' state must come back.
#pragma once
#include "overflow/call_site.hpp"

namespace corvid::overflow {

void register_safety(nb::module_ &m);

// The C++ bodies of `_offload_safety` and `_needs_writeback`.
nb::object offload_safety(nb::handle self, nb::handle func, CallSite &call, bool is_method);
bool needs_writeback(nb::handle self, nb::handle args, nb::handle kwargs);

// _self_mutates(src): the first function defined in `src` assigns to, or
// deletes, an attribute of its first parameter. Never raises for bad source.
bool self_mutates(nb::handle src);

}  // namespace corvid::overflow
