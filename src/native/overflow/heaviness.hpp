// Static heaviness prediction: signature keys, source retrieval, the library,
// compute, name and loop signals, the installation prefixes that are not user
// code, and the rescan driven by the load gate's sampling thread.
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_heaviness(nb::module_ &m);

// (code file name, qualified name, first line) for an object with code,
// else (repr, __name__ or "?", 0). Every per-function record is keyed by it.
nb::object sig_key(nb::handle func);

// The monitor methods `_predict_heavy` / `_relaxed_heavy` / `_get_src`.
// `self` is the monitor; its fields and its other methods are reached by
// attribute look-up. A prediction already made costs one key computation and
// one look-up in the memo map.
bool predict_heavy(nb::handle self, nb::handle func);
bool relaxed_heavy(nb::handle self, nb::handle func);
nb::object get_src(nb::handle self, nb::handle func);

// The same answers for a caller that already holds `key == sig_key(func)`
// (the wrappers compute it once, at construction): the cached path is then
// attribute look-ups and one memo probe, with nothing allocated.
bool predict_heavy_keyed(nb::handle self, nb::handle func, nb::handle key);
bool relaxed_heavy_keyed(nb::handle self, nb::handle func, nb::handle key);

// Absolute directories of the standard library, installed packages and this
// package, longest first (a tuple of str).
nb::object compute_exclude_prefixes();

}  // namespace corvid::overflow
