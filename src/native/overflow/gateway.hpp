// Gateway sessions: one long-lived client per monitor, opened on first need
// under `_gateway_lock`, with a growing retry cooldown after a failed open;
// the optional pre-warm thread; the announcement of an offload; the pip
// packages and the warm session handed to the client.
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_gateway(nb::module_ &m);

// The C++ bodies of the monitor methods of the same names.
nb::object get_gateway(nb::handle self);
nb::object infer_pip(nb::handle self, nb::handle gw, nb::handle func);
void apply_warm_session(nb::handle self, nb::handle gw);
void announce_offload(nb::handle self, nb::handle func);
void maybe_prewarm(nb::handle self);

// Closes a session the way the monitor does when it stops: progress display
// off, then the client's context exit with three nones. Ordinary errors of
// either step are swallowed; a session must never keep a monitor from stopping.
void close_gateway_session(nb::handle session);

}  // namespace corvid::overflow
