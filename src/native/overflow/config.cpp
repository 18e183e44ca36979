#include "overflow/config.hpp"

namespace corvid::overflow {

void register_config(nb::module_ &m) {}

}  // namespace corvid::overflow
