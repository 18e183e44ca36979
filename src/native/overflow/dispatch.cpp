#include "overflow/dispatch.hpp"

namespace corvid::overflow {

void register_dispatch(nb::module_ &m) {}

}  // namespace corvid::overflow
