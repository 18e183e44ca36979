// Credentials, base URL and team selection for every pool request.
#pragma once
#include "pool/common.hpp"

namespace corvid::pool {

struct Credentials {
    nb::str key;
    nb::str base_url;  // without trailing "/"
};

// Argument, then CORVID_API_KEY, then GATEWAY_API_KEY for the key;
// argument, then CORVID_API_URL, then DEFAULT_API_URL for the base URL.
Credentials resolve_auth(nb::handle api_key, nb::handle api_url);

// {"org_id": org_id} for a truthy org_id, else {}.
nb::dict team_params(nb::handle org_id);

void register_auth(nb::module_ &m);

}  // namespace corvid::pool
