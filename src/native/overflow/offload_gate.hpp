// The offload gate: the decision asked for on every dispatched call, and the
// feedback after a call ran (local timing, remote failures).
#pragma once
#include "overflow/common.hpp"
#include "overflow/config.hpp"
#include "overflow/dispatch.hpp"

namespace corvid::overflow {

void register_offload_gate(nb::module_ &m);

// The monitor methods `_should_offload` / `_record_local_time` /
// `_note_offload_failure` / `_under_pressure` / `_under_gpu_pressure` /
// `_in_cooldown`.
nb::object should_offload(nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs,
                          bool is_method);
void record_local_time(nb::handle self, nb::handle func, nb::handle sig, double dt,
                       nb::handle reason);
void note_offload_failure(nb::handle self, nb::handle sig);
bool under_pressure(nb::handle self);
bool under_gpu_pressure(nb::handle self);
bool in_cooldown(nb::handle self);

// The decision on one call as C++ consumes it: a call kept local comes back
// as its reason alone (`decision` empty), so the hot path builds no Decision
// object; any other outcome comes as the Decision.
struct Verdict {
    nb::object decision;
    ReasonId reason = ReasonId::NotHeavy;
};
Verdict decide(nb::handle self, nb::handle func, CallSite &call, bool is_method);

// self._should_offload(...) as a Verdict, calling the C++ function directly
// unless an instance attribute or the class replaced it;
// self._record_local_time(...) likewise.
Verdict should_offload_route(nb::handle self, nb::handle func, CallSite &call, bool is_method);
void record_local_time_route(nb::handle self, nb::handle func, nb::handle sig, double dt,
                             nb::handle reason);

}  // namespace corvid::overflow
