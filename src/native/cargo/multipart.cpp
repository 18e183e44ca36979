#include "cargo/multipart.hpp"

namespace corvid::cargo {

void register_multipart(nb::module_ &m) {}

}  // namespace corvid::cargo
