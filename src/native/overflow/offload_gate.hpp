// The offload gate: the decision asked for on every dispatched call, and the
// feedback after a call ran (local timing, remote failures).
#pragma once
#include "overflow/call_site.hpp"
#include "overflow/config.hpp"

namespace corvid::overflow {

struct Monitor;

void register_offload_gate(nb::module_ &m);

// The decision on one call as C++ consumes it: a call kept local comes back
// as its reason alone (`decision` empty), so the hot path builds no Decision
// object; any other outcome comes as the Decision.
struct Verdict {
    nb::object decision;
    ReasonId reason = ReasonId::NotHeavy;
};

// The C++ bodies of `_should_offload` (for dispatch, `key` is the signature
// key the wrapper made of the same function; empty: computed here),
// `_record_local_time`, `_note_offload_failure`, `_under_pressure`,
// `_under_gpu_pressure` and `_in_cooldown`.
// `mon` is monitor_of(self), which the callers hold already.
Verdict decide(nb::handle self, Monitor *mon, nb::handle func, CallSite &call, bool is_method,
               nb::handle key);
// `hash`: the key's hash when the caller knows it, else -1.
void record_local_time(nb::handle self, Monitor *mon, nb::handle sig, double dt,
                       nb::handle reason, Py_hash_t hash = -1);
void note_offload_failure(nb::handle self, nb::handle sig);
bool under_pressure(nb::handle self);
bool under_pressure(nb::handle self, Monitor *mon);
bool under_gpu_pressure(nb::handle self);
bool in_cooldown(nb::handle self);

}  // namespace corvid::overflow
