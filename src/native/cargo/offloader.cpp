#include "cargo/offloader.hpp"

namespace corvid::cargo {

void register_offloader(nb::module_ &m) {}

}  // namespace corvid::cargo
