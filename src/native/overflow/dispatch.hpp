// Dispatch of every wrapped call while the monitor runs: the late-definition
// watch, the per-thread re-entrancy guard, and carrying out the decision
// (local run and timing, or remote run with local fallback).
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_dispatch(nb::module_ &m);

// One wrapped call as dispatch sees it. The argument tuple, keyword dict and
// thunk exist only once something asks for them: a call that stays local on
// the plain C++ path runs straight from the caller's argument vector.
class CallSite {
public:
    virtual nb::handle args() = 0;
    virtual nb::handle kwargs() = 0;
    virtual nb::handle thunk() = 0;
    // Runs the user's call here; its errors are the user's.
    virtual nb::object run() = 0;

protected:
    ~CallSite() = default;
};

// A call handed over as Python objects (the monitor methods called from Python).
class ThunkSite final : public CallSite {
public:
    ThunkSite(nb::handle args, nb::handle kwargs, nb::handle thunk)
        : args_(args), kwargs_(kwargs), thunk_(thunk) {}
    nb::handle args() override { return args_; }
    nb::handle kwargs() override { return kwargs_; }
    nb::handle thunk() override { return thunk_; }
    nb::object run() override { return thunk_(); }

private:
    nb::handle args_, kwargs_, thunk_;
};

// The monitor methods `_dispatch` / `_executing` / `_dispatch_inner`.
nb::object dispatch(nb::handle self, nb::handle func, CallSite &call, nb::handle sig,
                    nb::handle name, bool is_method);
nb::object executing(nb::handle self);
nb::object dispatch_inner(nb::handle self, nb::handle func, CallSite &call, nb::handle sig,
                          nb::handle name, bool is_method);

// monitor._dispatch(...) from a wrapper: the C++ function itself when the
// monitor is exactly _OverflowMonitor and has no instance override.
nb::object route_dispatch(nb::handle monitor, nb::handle func, CallSite &call, nb::handle sig,
                          nb::handle name, bool is_method);

// The module's _SubmitError / _StateSyncError classes (borrowed).
nb::handle submit_error_type();
nb::handle state_sync_error_type();

}  // namespace corvid::overflow
