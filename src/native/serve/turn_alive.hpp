// Liveness lines while a turn has produced nothing yet.
#pragma once
#include "serve/common.hpp"

namespace corvid::serve {

// Context manager: entering starts a daemon threading.Thread that emits
// "GATEWAY_TURN_ALIVE <turn>" every `interval` seconds until stop().
struct TurnAlive {
    nb::object turn;
    double interval = kHeartbeatInterval;
    nb::object done;    // threading.Event
    nb::object thread;  // None until entered

    TurnAlive(nb::object turn_arg, nb::handle interval_arg);

    template <typename F>
    void for_each_ref(F &&f) {
        f(turn);
        f(done);
        f(thread);
    }

    void stop();
    // The liveness thread's body; `self` is this object's Python handle.
    void run(nb::handle self);
    // Waits for the liveness thread to end (after stop()).
    void join();
};

// Builds a _TurnAlive object and enters it (starts its thread).
nb::object start_turn_alive(nb::handle turn);
// Stops the object made by start_turn_alive (idempotent).
void stop_turn_alive(nb::handle alive);
// Stops it and waits for its thread to end.
void finish_turn_alive(nb::handle alive);

void register_turn_alive(nb::module_ &m);

}  // namespace corvid::serve
