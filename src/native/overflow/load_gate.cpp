#include "overflow/load_gate.hpp"

namespace corvid::overflow {

void register_load_gate(nb::module_ &m) {}

}  // namespace corvid::overflow
