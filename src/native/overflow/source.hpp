// Signature keys and source text of user functions: the key every
// per-function record of the monitor is filed under, and the memoised source
// the analyses read.
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_source(nb::module_ &m);

// _sig_key(func): (file name, qualified name, first line) for a function with
// code, else (text representation, name or "?", 0).
nb::object sig_key(nb::handle func);

// The code object of `func` (a function's own, else its `__code__`), or an
// empty object.
nb::object code_of(nb::handle func);

// monitor._get_src(func): the source text, memoised per signature key; empty
// when unavailable.
nb::object get_src(nb::handle self, nb::handle func);
// The same for a caller that already holds `key == sig_key(func)`.
nb::object get_src_keyed(nb::handle self, nb::handle func, nb::handle key);

}  // namespace corvid::overflow
