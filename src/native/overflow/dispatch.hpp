// Dispatch of every wrapped call while the monitor runs: the late-definition
// watch, the per-thread re-entrancy guard, and carrying out the decision
// (local run and timing, or remote run with local fallback).
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_dispatch(nb::module_ &m);

// The monitor methods `_dispatch` / `_executing` / `_dispatch_inner`.
nb::object dispatch(nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs,
                    nb::handle sig, nb::handle name, nb::handle thunk, bool is_method);
nb::object executing(nb::handle self);
nb::object dispatch_inner(nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs,
                          nb::handle sig, nb::handle name, nb::handle thunk, bool is_method);

// monitor._dispatch(...) from a wrapper: the C++ function itself when the
// monitor is exactly _OverflowMonitor and has no instance override.
nb::object route_dispatch(nb::handle monitor, nb::handle func, nb::handle args,
                          nb::handle kwargs, nb::handle sig, nb::handle name, nb::handle thunk,
                          bool is_method);

// The module's _SubmitError / _StateSyncError classes (borrowed).
nb::handle submit_error_type();
nb::handle state_sync_error_type();

}  // namespace corvid::overflow
