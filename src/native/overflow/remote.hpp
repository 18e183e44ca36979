// Remote execution of one call: how its arguments are split, which GPU it
// asks for, which modules travel by value, and the run on the gateway.
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_remote(nb::module_ &m);

// The C++ bodies of the monitor methods of the same names.
nb::object cloud_execute(nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs,
                         bool gpu_pressure);
nb::object partition_call(nb::handle func, nb::handle args, nb::handle kwargs);
bool needs_gpu(nb::handle self, nb::handle func);
bool args_need_gpu(nb::handle args, nb::handle kwargs);
nb::dict gpu_pin(nb::handle self, nb::handle func, bool gpu_pressure, nb::handle args,
                 nb::handle kwargs);
nb::object register_by_value(nb::handle self, nb::handle func);
void unregister_by_value(nb::handle self, nb::handle mod);

}  // namespace corvid::overflow
