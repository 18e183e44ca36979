// Output side of the turn protocol: one marker line per write, flushed at
// once, serialised by the module's `_emit_lock`.
#pragma once
#include "serve/common.hpp"
#include "serve/emit_lock.hpp"

namespace corvid::serve {

// Writes `line` (which already ends with "\n") to the current sys.stdout and
// flushes it, holding `lock` for both calls. A caller that writes many lines
// passes sys.__dict__ to spare the by-name look-up of sys.stdout.
void write_line(const EmitLock &lock, nb::handle line, nb::handle sys_dict = nb::handle());

// write_line with `text` + "\n", or the replaced `_emit` called with `text`.
void emit_text(const EmitLock &lock, std::string_view text);

// Standard Base64 (with padding) of `data`, appended to `out`.
void base64_append(std::string &out, std::string_view data);

// `prefix` + Base64(UTF-8 of `chunk`) + "\n" (without it when `newline`
// is false), built in one allocation.
nb::object token_line(std::string_view prefix, nb::handle chunk, bool newline = true);

// Every line goes out through the module's `_emit`, and every token through
// its `_emit_token`, as module code calling its globals would: when either
// name holds something else than the function defined here (a test's or an
// embedder's replacement), that is called instead. While both hold their
// own functions the lines are written directly.

// One token line of turn `turn` (`prefix` is "GATEWAY_TOKEN <turn> ").
void emit_token(const EmitLock &lock, nb::handle turn, std::string_view prefix, nb::handle chunk,
                nb::handle sys_dict = nb::handle());

// "GATEWAY_TURN_ERROR <turn> <b64 of text>" for an error text.
void emit_turn_error(const EmitLock &lock, std::string_view turn_text, nb::handle message);

std::string session_info(nb::handle input_path);

void register_output(nb::module_ &m);

}  // namespace corvid::serve
