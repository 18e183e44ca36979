// Shared declarations of the corvid.serve module.
#pragma once
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "common/compat.hpp"
#include "common/exit_guard.hpp"
#include "common/gil.hpp"
#include "common/values.hpp"

namespace corvid::serve {
namespace nb = nanobind;

// Marker words of the output protocol; the module exports the same texts.
inline constexpr const char *kInputPath = "/tmp/gw_session_input.jsonl";
inline constexpr const char *kSessionInfo = "GATEWAY_SESSION_INFO";
inline constexpr const char *kSessionReady = "GATEWAY_SESSION_READY";
inline constexpr const char *kHeartbeat = "GATEWAY_HEARTBEAT";
inline constexpr double kHeartbeatInterval = 15.0;
inline constexpr const char *kTurnStart = "GATEWAY_TURN_START";
inline constexpr const char *kTurnToken = "GATEWAY_TOKEN";
inline constexpr const char *kTurnAlive = "GATEWAY_TURN_ALIVE";
inline constexpr const char *kTurnEnd = "GATEWAY_TURN_END";
inline constexpr const char *kTurnError = "GATEWAY_TURN_ERROR";
inline constexpr const char *kStopLine = "__STOP__";

// Turn number reported for a request whose "turn" is not an integer.
inline constexpr long kUnreadableTurn = -1;

// Interned names used on the per-line paths. Interned strings live for the
// whole process, so borrowed handles to them stay valid.
struct Names {
    nb::handle write, flush, acquire, release, stdout_, tell, readline, seek, close, strip, set,
        wait, start, stop, text, turn, role, content, user, assistant, append, run, emit_lock,
        heartbeat_interval, module, monotonic, sleep, emit, emit_token, call_handler, iter_response,
        turn_alive, parse_input, read_new_lines, session_info, get, enter, exit;
};
const Names &names();
void init_names(nb::module_ &m);

// Calls obj.<name>(args...) through vectorcall; returns a new reference.
nb::object call_method(nb::handle obj, nb::handle name);
nb::object call_method(nb::handle obj, nb::handle name, nb::handle a);
nb::object call_method(nb::handle obj, nb::handle name, nb::handle a, nb::handle b);

// The module's current global `name` (read at use time, like module code does).
nb::object module_global(nb::handle name);

// The module's globals (its __dict__).
nb::object module_dict();

// The module's own objects under the names the serve loop calls through its
// globals; set when the module is initialised and kept for the life of the
// process, like the module itself.
struct OwnGlobals {
    PyObject *call_handler = nullptr, *iter_response = nullptr, *turn_alive = nullptr,
             *parse_input = nullptr, *read_new_lines = nullptr, *session_info = nullptr;
};
OwnGlobals &own_globals();

// globals[name] when it holds something other than `own` (a test's or an
// embedder's replacement); invalid otherwise, a deleted name included (the
// caller then uses the module's own code).
nb::object replaced_global(nb::handle globals, nb::handle name, PyObject *own);

// f(args...) through vectorcall; returns a new reference.
nb::object call(nb::handle f, nb::handle a);
nb::object call(nb::handle f, nb::handle a, nb::handle b);
nb::object call(nb::handle f, nb::handle a, nb::handle b, nb::handle c);

// str(value) as UTF-8 text.
std::string str_of(nb::handle value);

// A new str from ASCII/UTF-8 bytes.
nb::object make_str(std::string_view text);


}  // namespace corvid::serve
