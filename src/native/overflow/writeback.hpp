// State write-back: which argument objects can carry a remote run's changes
// back into the caller's own objects, and the all-or-nothing copy itself.
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

void register_writeback(nb::module_ &m);

// The sync function chosen for an object (`_roundtrippable`), in the order
// the rules are tried; None: the object has no sync function of its own.
enum class SyncKind : int { None, Bytearray, Ndarray, Module, Optimizer, Tensor, List, Dict, Set, Count };

enum class StateClass : int { Immutable, Sync, Unsyncable };

bool is_immutable_atom(nb::handle obj);
SyncKind roundtrippable(nb::handle obj);
StateClass arg_state_class(nb::handle obj);
// Whether `_object_attr_syncs(obj)` is non-empty (stops at the first).
bool has_attr_syncs(nb::handle obj);
bool fully_syncable(nb::handle obj);

// The C++ body of `_OverflowMonitor._apply_writeback`.
void apply_writeback(nb::handle self, nb::handle args, nb::handle kwargs, nb::handle post_args,
                     nb::handle post_kwargs);

}  // namespace corvid::overflow
