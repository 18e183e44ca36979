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

}  // namespace corvid::overflow
