#include "cargo/sizing.hpp"

namespace corvid::cargo {

void register_sizing(nb::module_ &m) {}

}  // namespace corvid::cargo
