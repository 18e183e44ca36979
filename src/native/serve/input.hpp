// Input side of the turn protocol: following the request file and parsing
// its lines.
#pragma once
#include "serve/common.hpp"

namespace corvid::serve {

// Complete lines appended to `fh` since the last call, without their "\n";
// a partially written last line is left for the next call.
nb::list read_new_lines(nb::handle fh);

// One input line as a request dict, or None for a blank line. `loads` is
// json.loads.
nb::object parse_input(nb::handle line, nb::handle loads);

void register_input(nb::module_ &m);

}  // namespace corvid::serve
