#include "overflow/writeback.hpp"

namespace corvid::overflow {

void register_writeback(nb::module_ &m) {}

}  // namespace corvid::overflow
