// Offload safety: whether a call that passed the offload gate may leave the
// process, and whether its arguments' state must come back.
#pragma once
#include "overflow/call_site.hpp"

namespace corvid::overflow {

void register_safety(nb::module_ &m);

// The C++ bodies of `_offload_safety` and `_needs_writeback`.
nb::object offload_safety(nb::handle self, nb::handle func, CallSite &call, bool is_method);
bool needs_writeback(nb::handle self, nb::handle args, nb::handle kwargs);

}  // namespace corvid::overflow
