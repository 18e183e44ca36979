#pragma once
#include "cargo/common.hpp"

namespace corvid::cargo {

void register_sizing(nb::module_ &m);

// Never raises for an Exception during estimation (answers 0).
nb::object estimate_arg_size(nb::handle obj);

// _stream_bytes(data, on_progress=None, chunk_size=262144) as a C++ iterator.
nb::object stream_bytes(nb::handle data, nb::handle on_progress, Py_ssize_t chunk_size);

}  // namespace corvid::cargo
