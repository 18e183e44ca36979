#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_offload_gate(nb::module_ &m);

}  // namespace corvid::overflow
