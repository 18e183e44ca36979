// The serve loop: follow the input file, run one turn per request.
#pragma once
#include "serve/common.hpp"

namespace corvid::serve {

void register_loop(nb::module_ &m);

}  // namespace corvid::serve
