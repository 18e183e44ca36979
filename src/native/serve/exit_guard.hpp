// Keeps interpreter exit from finding a thread inside this module.
//
// A daemon thread that is resumed after the interpreter began to finalize is
// unwound from wherever it blocked. Inside this module that means native
// frames whose destructors release Python objects with no interpreter left:
// the process aborts or segfaults. A serve loop driven from a daemon thread,
// or a liveness thread whose _TurnAlive was entered and never left, would
// do that at every exit. So every such frame is counted here, and an atexit
// hook (it runs after non-daemon threads were joined and before
// finalization) asks them to end and waits a bounded time for them to leave.
#pragma once
#include "serve/common.hpp"

namespace corvid::serve {

// True once the exit hook ran: loops and liveness threads end at their next
// check instead of blocking again.
bool exiting();

// Marks the current thread as running native code of this module that may
// block. `latency` is how long the frame may take to notice exiting() (a
// loop's poll interval); the exit hook waits that long plus a margin.
class ActiveFrame {
public:
    explicit ActiveFrame(double latency = 0.0);
    ~ActiveFrame();
    ActiveFrame(const ActiveFrame &) = delete;
    ActiveFrame &operator=(const ActiveFrame &) = delete;

private:
    unsigned long ident_;
};

// A running _TurnAlive (its Python object): the exit hook calls its stop().
// Both need the GIL.
void track_alive(nb::handle alive);
void untrack_alive(nb::handle alive);

void register_exit_guard(nb::module_ &m);

}  // namespace corvid::serve
