#include "cargo/remote_files.hpp"

namespace corvid::cargo {

void register_remote_files(nb::module_ &m) {}

}  // namespace corvid::cargo
