// The lock that keeps output lines whole.
#pragma once
#include "serve/common.hpp"

namespace corvid::serve {

// Takes the module's `_emit_lock` around one output line. The global is read
// afresh for every line, as module code reads its globals, so a test or an
// embedder may put any object with acquire() and release() there at any
// time.
class EmitLock {
public:
    // For a few lines: the lock's methods are found by name on each call.
    EmitLock();
    // For a stream of lines (a session): threading.Lock's own acquire and
    // release are looked up once here and called directly whenever the
    // global holds a threading.Lock.
    static EmitLock for_stream();

    // Acquires the lock the global holds now and returns it; release() must
    // get that same object, whatever the global holds by then.
    nb::object acquire() const;
    void release(nb::handle lock) const;
    // Acquires `lock`, found by the caller in the global.
    void acquire(nb::handle lock) const { call(acquire_, names().acquire, lock); }

    // The module's globals, where the lock (and the output functions) are found.
    nb::handle globals() const { return globals_; }

private:
    nb::object call(nb::handle method, nb::handle name, nb::handle lock) const;

    nb::object globals_;
    // Set by for_stream(): the threading.Lock type and its unbound methods.
    nb::object lock_type_, acquire_, release_;
};

void register_emit_lock(nb::module_ &m);

}  // namespace corvid::serve
