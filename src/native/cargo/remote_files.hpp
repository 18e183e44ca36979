#pragma once
#include "cargo/common.hpp"

namespace corvid::cargo {

void register_remote_files(nb::module_ &m);

}  // namespace corvid::cargo
