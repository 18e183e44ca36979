#include "overflow/safety.hpp"

namespace corvid::overflow {

void register_safety(nb::module_ &m) {}

}  // namespace corvid::overflow
