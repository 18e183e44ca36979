// One request to the service: URL assembly, the httpx call, status mapping.
#pragma once
#include <string>

#include "pool/common.hpp"

namespace corvid::pool {

// `ident` percent-encoded as a single URL path segment: "/", "?", "#", "%"
// and every other reserved byte are escaped, and the dot segments "." and
// ".." are escaped too, since the HTTP client would otherwise fold them into
// the parent path. `what` names the argument in error messages.
std::string path_segment(nb::handle ident, const char *what);

// The decoded JSON body of a response, or PoolError for a status >= 400.
nb::object raise_for_status(nb::handle resp);

// Sends `method` ("get", "post", "delete") to base URL + `path`. `params`
// (may be invalid) is added to the team selection; `json` (may be invalid)
// becomes the body.
nb::object send(const char *method, const std::string &path, const CallOptions &opts,
                nb::handle params = nb::handle(), nb::handle json = nb::handle());

void register_transport(nb::module_ &m);

}  // namespace corvid::pool
