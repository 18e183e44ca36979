// The optional libraries of the user's process, as the remote road and the
// safety analysis see them: loaded only when the program loaded them (pynvml
// excepted), their classes, and the probes for live CUDA state.
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_libraries(nb::module_ &m);

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

// The live-CUDA probes (`_has_live_cuda_tensor`, `_obj_has_live_cuda`,
// `_closure_has_live_cuda`).
bool has_live_cuda_tensor(nb::handle args, nb::handle kwargs);
bool obj_has_live_cuda(nb::handle o);
bool closure_has_live_cuda(nb::handle func);

}  // namespace corvid::overflow
