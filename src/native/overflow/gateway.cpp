#include "overflow/gateway.hpp"

namespace corvid::overflow {

void register_gateway(nb::module_ &m) {}

}  // namespace corvid::overflow
