#include "serve/loop.hpp"

#include <nanobind/stl/optional.h>

#include <cmath>
#include <optional>

#include "serve/exit_guard.hpp"
#include "serve/handler.hpp"
#include "serve/input.hpp"
#include "serve/output.hpp"
#include "serve/turn_alive.hpp"

namespace corvid::serve {

namespace {

double to_double(nb::handle value) {
    double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// Everything a session needs, looked up once when it starts.
struct Session {
    nb::handle handler;
    HandlerForm form;
    nb::object history;
    EmitLock lock = EmitLock::for_stream();
    nb::object sys_dict;
    nb::object loads;
    // The time module's functions are found by name at each use, as module
    // code finds them, so a clock or sleep put there later is honoured.
    nb::object time_module;
    double last_activity = 0.0;
    double last_heartbeat = 0.0;

    double now() const { return to_double(call_method(time_module, names().monotonic)); }
    void sleep(nb::handle seconds) const { call_method(time_module, names().sleep, seconds); }
};

nb::dict history_entry(nb::handle role, nb::handle content) {
    nb::dict entry;
    entry[names().role] = role;
    entry[names().content] = content;
    return entry;
}

void append_history(nb::handle history, nb::handle entry) {
    if (PyList_CheckExact(history.ptr())) check(PyList_Append(history.ptr(), entry.ptr()));
    else call_method(history, names().append, entry);
}

nb::object exception_text(const nb::python_error &e) {
    PyObject *text = PyObject_Str(e.value().ptr());
    if (text) return nb::steal(text);
    // An exception that cannot describe itself is still reported as a failed turn.
    PyErr_Clear();
    return make_str(std::string("<unprintable ") + Py_TYPE(e.value().ptr())->tp_name + ">");
}

// Streams one turn. Handler failures become a TURN_ERROR line; only
// non-Exception errors (KeyboardInterrupt, SystemExit) escape.
void run_turn(Session &s, nb::handle text, nb::handle turn) {
    std::string turn_text = str_of(turn);
    try {
        nb::list pieces;
        nb::object alive = start_turn_alive(turn);
        // Stops the liveness thread at the first piece, and stops and joins
        // it however the block is left (see _TurnAlive.__exit__ for why it
        // is joined).
        struct AliveGuard {
            nb::handle alive;
            bool stopped = false, finished = false;
            void stop() {
                if (!stopped) stop_turn_alive(alive);
                stopped = true;
            }
            void finish() {
                finish_turn_alive(alive);
                finished = true;
            }
            ~AliveGuard() {
                if (finished) return;
                ErrorGuard keep_error;
                try {
                    finish_turn_alive(alive);
                } catch (nb::python_error &e) {
                    e.discard_as_unraisable("corvid.serve");
                } catch (...) {
                }
            }
        } alive_guard{alive};

        PieceSource source(call_handler(s.handler, s.form, text, s.history));
        std::string prefix = std::string(kTurnToken) + " " + turn_text + " ";
        for (nb::object chunk = source.next(); chunk.is_valid(); chunk = source.next()) {
            alive_guard.stop();  // idempotent; only the first piece pays for it
            check(PyList_Append(pieces.ptr(), chunk.ptr()));
            emit_token(s.lock, turn, prefix, chunk, s.sys_dict);
        }
        alive_guard.finish();
        s.last_activity = s.now();
        nb::object answer = nb::str("").attr("join")(pieces);
        append_history(s.history, history_entry(names().user, text));
        append_history(s.history, history_entry(names().assistant, answer));
        emit_text(s.lock, std::string(kTurnEnd) + " " + turn_text);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        emit_turn_error(s.lock, turn_text, exception_text(e));
        s.last_activity = s.now();
    }
}

// int(value); on failure a TURN_ERROR under kUnreadableTurn names the problem
// and nothing is returned, so the session goes on with the next request.
std::optional<nb::object> read_turn(Session &s, nb::handle value) {
    PyObject *turn = PyNumber_Long(value.ptr());
    if (turn) return nb::steal(turn);
    nb::python_error e;
    if (!e.matches(PyExc_Exception)) throw e;
    nb::object repr = nb::steal(PyObject_Repr(value.ptr()));
    if (!repr.is_valid()) {
        PyErr_Clear();
        repr = make_str("?");
    }
    nb::object message = nb::str("invalid turn number {}: {}").attr("format")(repr, exception_text(e));
    emit_turn_error(s.lock, std::to_string(kUnreadableTurn), message);
    return std::nullopt;
}

// Handles one input line; false when it asks the loop to stop.
bool handle_line(Session &s, nb::handle raw) {
    nb::object msg = parse_input(raw, s.loads);
    if (msg.is_none()) return true;
    nb::dict request = nb::borrow<nb::dict>(msg);
    PyObject *stop = nullptr;
    check(dict_get_ref(request.ptr(), names().stop.ptr(), &stop));
    nb::object stop_value = nb::steal(stop);
    if (stop_value.is_valid() && truthy(stop_value)) return false;

    PyObject *text_ptr = nullptr;
    check(dict_get_ref(request.ptr(), names().text.ptr(), &text_ptr));
    nb::object text = nb::steal(text_ptr);
    if (!text.is_valid() || !truthy(text)) return true;

    s.last_activity = s.now();
    PyObject *turn_ptr = nullptr;
    check(dict_get_ref(request.ptr(), names().turn.ptr(), &turn_ptr));
    nb::object turn_value = turn_ptr ? nb::steal(turn_ptr) : nb::int_(0);
    std::optional<nb::object> turn = read_turn(s, turn_value);
    if (!turn) {
        s.last_activity = s.now();
        return true;
    }
    emit_text(s.lock, std::string(kTurnStart) + " " + str_of(*turn));
    run_turn(s, text, *turn);
    return true;
}

// Closes the input file on every way out; a close failure never hides the
// error that is already propagating.
struct CloseOnExit {
    nb::object fh;
    ~CloseOnExit() {
        ErrorGuard keep_error;
        PyObject *args[] = {fh.ptr()};
        PyObject *r = PyObject_VectorcallMethod(names().close.ptr(), args,
                                                1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(fh.ptr());
    }
};

nb::object open_input(nb::handle io_open, nb::handle path) {
    // Created when missing; a failure here shows up when it is opened.
    try {
        nb::object fh = io_open(path, "a");
        call_method(fh, names().close);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
    // Undecodable bytes become U+FFFD: a malformed line is a prompt, not the
    // end of the session.
    nb::object fh = io_open(path, "r", nb::arg("encoding") = "utf-8", nb::arg("errors") = "replace");
    call_method(fh, names().seek, nb::int_(0), nb::int_(2));  // earlier lines are never processed
    return fh;
}

nb::object serve_loop(nb::object handler, nb::object history, std::optional<double> idle_timeout,
                      double poll_interval, nb::object input_path) {
    // Outermost local: released only after every other one is gone.
    ActiveFrame active(poll_interval);
    nb::object time = nb::module_::import_("time");
    Session s;
    s.handler = handler;
    s.history = history.is_none() ? nb::list() : history;
    s.time_module = time;
    s.last_activity = s.now();
    s.last_heartbeat = s.now();

    nb::object path = nb::module_::import_("os").attr("fspath")(input_path);
    CloseOnExit input{open_input(nb::module_::import_("builtins").attr("open"), path)};
    s.loads = nb::module_::import_("json").attr("loads");
    s.sys_dict = nb::borrow(PyModule_GetDict(nb::module_::import_("sys").ptr()));
    emit_text(s.lock, std::string(kSessionInfo) + " " + session_info(path));
    emit_text(s.lock, kSessionReady);
    s.form = handler_form(handler);

    nb::object pause = nb::float_(poll_interval);
    for (;;) {
        nb::list lines = read_new_lines(input.fh);
        if (nb::len(lines) == 0) {
            double now = s.now();
            if (idle_timeout && now - s.last_activity > *idle_timeout) return s.history;
            double interval = to_double(module_global(names().heartbeat_interval));
            if (now - s.last_heartbeat >= interval) {
                emit_text(s.lock, std::string(kHeartbeat) + " " + std::to_string(static_cast<long long>(std::trunc(now))));
                s.last_heartbeat = now;
            }
            s.sleep(pause);
            // The interpreter is exiting (this loop runs on a daemon
            // thread): leave before it finalizes.
            if (exiting()) return s.history;
            continue;
        }
        for (nb::handle raw : lines)
            if (exiting() || !handle_line(s, raw)) return s.history;
    }
}

}  // namespace

void register_loop(nb::module_ &m) {
    m.def("serve_loop", &serve_loop, nb::arg("handler").none(), nb::kw_only(),
          nb::arg("history") = nb::none(), nb::arg("idle_timeout") = nb::none(),
          nb::arg("poll_interval") = 0.2, nb::arg("input_path") = kInputPath,
          "Serve turns from the JSON-lines input file until a stop request or the idle time-out; "
          "returns the conversation history.");
}

}  // namespace corvid::serve
