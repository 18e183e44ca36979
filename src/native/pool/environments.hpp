// Saved environments of a team: save, list, get, delete.
#pragma once
#include "pool/common.hpp"

namespace corvid::pool {

void register_environments(nb::module_ &m);

}  // namespace corvid::pool
