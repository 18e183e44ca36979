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

// numpy.ndarray and numpy.copyto when the program imported numpy, else empty
// objects.
nb::object ndarray_type();
nb::object numpy_copyto();

// torch's classes when the program imported torch (false otherwise).
struct TorchTypes {
    nb::object tensor, module, optimizer, no_grad;
};
bool torch_types(TorchTypes &out);

// The live-CUDA probes (`_has_live_cuda_tensor`, `_closure_has_live_cuda`).
bool has_live_cuda_tensor(nb::handle args, nb::handle kwargs);
bool closure_has_live_cuda(nb::handle func);

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
