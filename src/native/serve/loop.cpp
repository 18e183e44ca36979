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

// The liveness context of a turn: the module's own _TurnAlive is driven
// directly; a replacement is used as a `with` statement would use it.
class Liveness {
public:
    Liveness(nb::handle globals, nb::handle turn) {
        nb::object alt = replaced_global(globals, names().turn_alive, own_globals().turn_alive);
        if (!alt.is_valid()) {
            alive_ = start_turn_alive(turn);
            return;
        }
        manager_ = call(alt, turn);
        nb::handle type = reinterpret_cast<PyObject *>(Py_TYPE(manager_.ptr()));
        exit_ = type.attr(names().exit);  // looked up before entering, as `with` does
        alive_ = call(type.attr(names().enter), manager_);
    }
    Liveness(const Liveness &) = delete;
    Liveness &operator=(const Liveness &) = delete;

    // Called for every piece. Our own object stops at the first one (stopping
    // is idempotent); a replacement sees every call.
    void piece() {
        if (!manager_.is_valid()) {
            if (!stopped_) stop_turn_alive(alive_);
            stopped_ = true;
            return;
        }
        call_method(alive_, names().stop);
    }

    // Leaves the block; with `error` the block failed, and true means the
    // context manager swallowed the error (only a replacement can).
    // Leaving twice does nothing (false): an error raised by leaving
    // propagates as it is.
    bool leave(const nb::python_error *error) {
        if (left_) return false;
        left_ = true;
        if (!manager_.is_valid()) {
            // Our own __exit__ stops and joins (see _TurnAlive.__exit__).
            if (!error) {
                finish_turn_alive(alive_);
                return false;
            }
            try {
                finish_turn_alive(alive_);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception)) throw;
                e.discard_as_unraisable("corvid.serve");
            }
            return false;
        }
        nb::object type = error ? nb::borrow(error->type()) : nb::none();
        nb::object value = error ? nb::borrow(error->value()) : nb::none();
        nb::object tb = error ? error->traceback() : nb::none();
        if (!tb.is_valid()) tb = nb::none();
        PyObject *args[] = {manager_.ptr(), type.ptr(), value.ptr(), tb.ptr()};
        nb::object r = nb::steal(check(safe_vectorcall(exit_.ptr(), args, 4, nullptr)));
        return error && truthy(r);
    }

    ~Liveness() {
        if (left_) return;
        ErrorGuard keep_error;
        try {
            leave(nullptr);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("corvid.serve");
        } catch (...) {
        }
    }

private:
    nb::object manager_, exit_;  // set for a replacement only
    nb::object alive_;
    bool stopped_ = false, left_ = false;
};

// Streams one turn. Handler failures become a TURN_ERROR line; only
// non-Exception errors (KeyboardInterrupt, SystemExit) escape.
void run_turn(Session &s, nb::handle text, nb::handle turn) {
    std::string turn_text = str_of(turn);
    nb::handle globals = s.lock.globals();
    try {
        nb::list pieces;
        {
            Liveness alive(globals, turn);
            try {
                nb::object response;
                if (nb::object alt = replaced_global(globals, names().call_handler, own_globals().call_handler);
                    alt.is_valid())
                    response = call(alt, s.handler, text, s.history);
                else
                    response = call_handler(s.handler, s.form, text, s.history);
                std::string prefix = std::string(kTurnToken) + " " + turn_text + " ";
                auto each_piece = [&](nb::handle chunk) {
                    alive.piece();
                    check(PyList_Append(pieces.ptr(), chunk.ptr()));
                    emit_token(s.lock, turn, prefix, chunk, s.sys_dict);
                };
                if (nb::object alt = replaced_global(globals, names().iter_response, own_globals().iter_response);
                    alt.is_valid()) {
                    nb::object it = nb::steal(check(PyObject_GetIter(call(alt, response).ptr())));
                    for (;;) {
                        nb::object chunk = nb::steal(exit_safe([&] { return PyIter_Next(it.ptr()); }));
                        if (!chunk.is_valid()) {
                            if (PyErr_Occurred()) throw nb::python_error();
                            break;
                        }
                        each_piece(chunk);
                    }
                } else {
                    PieceSource source(std::move(response));
                    for (nb::object chunk = source.next(); chunk.is_valid(); chunk = source.next())
                        each_piece(chunk);
                }
                alive.leave(nullptr);
            } catch (nb::python_error &e) {
                if (!alive.leave(&e)) throw;
            }
        }
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

// request.get(key) (`fallback` when missing): a dict is read directly, any
// other request object through its own get().
nb::object request_get(nb::handle request, nb::handle key, nb::handle fallback) {
    if (PyDict_Check(request.ptr())) {
        PyObject *found = nullptr;
        check(dict_get_ref(request.ptr(), key.ptr(), &found));
        return found ? nb::steal(found) : nb::borrow(fallback);
    }
    return call_method(request, names().get, key, fallback);
}

// Handles one input line; false when it asks the loop to stop.
bool handle_line(Session &s, nb::handle raw) {
    nb::object msg;
    if (nb::object alt = replaced_global(s.lock.globals(), names().parse_input, own_globals().parse_input);
        alt.is_valid())
        msg = call(alt, raw);
    else
        msg = parse_input(raw, s.loads);
    if (msg.is_none()) return true;
    if (truthy(request_get(msg, names().stop, nb::none()))) return false;
    nb::object text = request_get(msg, names().text, nb::none());
    if (!truthy(text)) return true;

    s.last_activity = s.now();
    nb::object turn_value = request_get(msg, names().turn, nb::int_(0));
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
        PyObject *r = safe_vectorcall_method(names().close.ptr(), args,
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
    std::string info;
    if (nb::object alt = replaced_global(s.lock.globals(), names().session_info, own_globals().session_info);
        alt.is_valid()) {
        nb::object text = call(alt, path);
        if (!PyUnicode_Check(text.ptr())) {
            PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%s\") to str", Py_TYPE(text.ptr())->tp_name);
            throw nb::python_error();
        }
        info = str_of(text);
    } else {
        info = session_info(path);
    }
    emit_text(s.lock, std::string(kSessionInfo) + " " + info);
    emit_text(s.lock, kSessionReady);
    s.form = handler_form(handler);

    nb::object pause = nb::float_(poll_interval);
    for (;;) {
        nb::object lines;
        if (nb::object alt = replaced_global(s.lock.globals(), names().read_new_lines, own_globals().read_new_lines);
            alt.is_valid())
            lines = call(alt, input.fh);
        else
            lines = read_new_lines(input.fh);
        if (!truthy(lines)) {
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
