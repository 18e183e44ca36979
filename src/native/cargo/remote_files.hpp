#pragma once
#include "cargo/common.hpp"

namespace corvid::cargo {

// Local file and directory arguments replaced by objects that carry their
// content and write it out again, lazily, where they are used as paths.
void register_remote_files(nb::module_ &m);

}  // namespace corvid::cargo
