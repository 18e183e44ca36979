#include <nanobind/nanobind.h>

#include "serve/constants.hpp"
#include "serve/emit_lock.hpp"
#include "serve/exit_guard.hpp"
#include "serve/handler.hpp"
#include "serve/input.hpp"
#include "serve/loop.hpp"
#include "serve/output.hpp"
#include "serve/turn_alive.hpp"
#include "common/signatures.hpp"

namespace sv = corvid::serve;

// Constants first: they also intern the names the other parts use.
NB_MODULE(serve, m) {
    sv::register_constants(m);
    sv::register_emit_lock(m);
    sv::register_output(m);
    sv::register_input(m);
    sv::register_handler(m);
    sv::register_turn_alive(m);
    sv::register_loop(m);
    sv::register_exit_guard(m);
    corvid::register_signatures(m);
}
