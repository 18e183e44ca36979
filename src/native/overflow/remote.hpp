// Remote execution of one call, and what it needs of the user's process:
// the lazy loaders of the optional libraries.
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_remote(nb::module_ &m);

// _torch() / _numpy(): the module when the program already imported it (never
// imported here), else None. _pynvml(): imported with warnings silenced, else
// None.
nb::object torch_module();
nb::object numpy_module();
nb::object pynvml_module();

}  // namespace corvid::overflow
