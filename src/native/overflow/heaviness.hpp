#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_heaviness(nb::module_ &m);

}  // namespace corvid::overflow
