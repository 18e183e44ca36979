#pragma once
#include "cargo/common.hpp"

namespace corvid::cargo {

void register_config(nb::module_ &m);

}  // namespace corvid::cargo
