// Gateway sessions: what the monitor relies on of the gateway client (the
// client itself comes from corvid.client or the monitor's gateway_factory).
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_gateway(nb::module_ &m);

// Closes a session the way the monitor does when it stops: progress display
// off, then the client's context exit with three nones. Ordinary errors of
// either step are swallowed; a session must never keep a monitor from stopping.
void close_gateway_session(nb::handle session);

}  // namespace corvid::overflow
