#pragma once
#include "cargo/common.hpp"

namespace corvid::cargo {

// Creates DataOffloader with its sizing, single-PUT and legacy routes and key
// bookkeeping; the multipart route is attached afterwards by register_multipart.
void register_offloader(nb::module_ &m);

}  // namespace corvid::cargo
