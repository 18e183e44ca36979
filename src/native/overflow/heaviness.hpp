// Static heaviness prediction: the library, compute, name and loop signals
// over a function's source.
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

struct Monitor;

void register_heaviness(nb::module_ &m);

// The monitor methods `_predict_heavy` / `_relaxed_heavy`. A prediction
// already made costs one key computation and one look-up in the memo map.
bool predict_heavy(nb::handle self, nb::handle func);
bool relaxed_heavy(nb::handle self, nb::handle func);

// The same answers for a caller that already holds `key == sig_key(func)`
// (the wrappers compute it once, at construction).
// `hash`: the key's hash when the caller knows it, else -1.
bool predict_heavy_keyed(nb::handle self, nb::handle func, nb::handle key, Py_hash_t hash = -1);
// The same for a caller that holds `mon` = monitor_of(self).
bool predict_heavy_keyed(nb::handle self, Monitor *mon, nb::handle func, nb::handle key,
                         Py_hash_t hash);
bool relaxed_heavy_keyed(nb::handle self, nb::handle func, nb::handle key);

}  // namespace corvid::overflow
