#include "overflow/remote.hpp"

namespace corvid::overflow {

void register_remote(nb::module_ &m) {}

}  // namespace corvid::overflow
