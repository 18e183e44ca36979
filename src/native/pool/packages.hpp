// Pure helpers over package lists: requirements parsing and merging.
#pragma once
#include "pool/common.hpp"

namespace corvid::pool {

void register_packages(nb::module_ &m);

}  // namespace corvid::pool
