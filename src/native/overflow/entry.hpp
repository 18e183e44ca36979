// The entry point `overflow(...)`: resolves the policy and thresholds,
// retires the previous monitor, builds and starts the new one.
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_entry(nb::module_ &m);

}  // namespace corvid::overflow
