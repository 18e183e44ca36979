// Discovery of the user's code and its replacement by wrappers: namespace
// walks, the late-definition watch (source scan + first-sight trace hook) and
// the undo. All of it is attached to _OverflowMonitor as methods; the other
// concerns reach it through attribute look-up on the monitor.
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_discovery(nb::module_ &m);

// monitor._is_user_code(filename) by the monitor-method rule: a file of the
// user's own code, not of the standard library or an installed package.
bool is_user_file(nb::handle self, nb::handle filename);

// The same operations as the monitor methods of the same name, callable from
// C++ without a Python-level method call. Each one still dispatches to an
// override when the instance or a subclass replaces the method.

// One walk of the caller's namespace for the late-definition watch, under the
// scope lock and only while the monitor runs; answers whether it walked.
bool walk_caller_scope(nb::handle self);

// One step of the watch outside the hook (a wrapped call, the load gate's
// rescan): before the deadline, walk the caller's namespace and keep the
// watch open while announced names are missing; after it, close the watch.
// Errors reach the caller, which decides what they mean for the watch.
void watch_late_definitions(nb::handle self);

}  // namespace corvid::overflow
