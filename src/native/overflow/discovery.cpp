#include "overflow/discovery.hpp"

namespace corvid::overflow {

void register_discovery(nb::module_ &m) {}

}  // namespace corvid::overflow
