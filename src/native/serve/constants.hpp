// Protocol constants and the handler type.
#pragma once
#include "serve/common.hpp"

namespace corvid::serve {

void register_constants(nb::module_ &m);

}  // namespace corvid::serve
