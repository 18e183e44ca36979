// Dispatch of every wrapped call while the monitor runs: the late-definition
// watch, the per-thread re-entrancy guard, and carrying out the decision
// (local run and timing, or remote run with local fallback).
#pragma once
#include "overflow/call_site.hpp"

namespace corvid::overflow {

void register_dispatch(nb::module_ &m);

// monitor._dispatch(...) for a wrapped call: the C++ body unless the method
// was replaced on the monitor or its class.
nb::object dispatch_call(nb::handle monitor, nb::handle func, CallSite &call, nb::handle sig,
                         bool is_method);

}  // namespace corvid::overflow
