#include "overflow/offload_gate.hpp"

namespace corvid::overflow {

void register_offload_gate(nb::module_ &m) {}

}  // namespace corvid::overflow
