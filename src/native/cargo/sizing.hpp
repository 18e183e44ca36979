#pragma once
#include "cargo/common.hpp"

namespace corvid::cargo {

void register_sizing(nb::module_ &m);

// Never raises for an Exception during estimation (answers 0).
nb::object estimate_arg_size(nb::handle obj);

// _stream_bytes(data, on_progress=None, chunk_size=262144) as a C++ iterator.
nb::object stream_bytes(nb::handle data, nb::handle on_progress, Py_ssize_t chunk_size);

// Request bodies handed to httpx as zero-copy slices of the payload, at most
// kBodyPiece bytes each. Given one large bytes object, the HTTP stack re-copies
// the unsent remainder after every partial socket send (quadratic time, and a
// second copy of the body in memory); given slices, it copies each slice once.
// The request must carry an explicit Content-Length so that the slices go out
// as one plain body rather than chunked.
inline constexpr Py_ssize_t kBodyPiece = 1 << 20;

// Slices [off, end) of `view`, a memoryview of byte format, into a tuple.
nb::tuple body_pieces(nb::handle view, Py_ssize_t off, Py_ssize_t end);

// The whole payload as such a tuple; an object without the buffer interface
// is answered as it is, for httpx to judge.
nb::object payload_body(nb::handle data);

}  // namespace corvid::cargo
