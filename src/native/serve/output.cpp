#include "serve/output.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstring>

namespace corvid::serve {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

size_t base64_size(size_t n) { return 4 * ((n + 2) / 3); }

void base64_encode(const unsigned char *in, size_t n, char *out) {
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | unsigned(in[i + 2]);
        *out++ = kAlphabet[(v >> 18) & 63];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = kAlphabet[(v >> 6) & 63];
        *out++ = kAlphabet[v & 63];
    }
    size_t rest = n - i;
    if (rest == 0) return;
    unsigned v = unsigned(in[i]) << 16;
    if (rest == 2) v |= unsigned(in[i + 1]) << 8;
    *out++ = kAlphabet[(v >> 18) & 63];
    *out++ = kAlphabet[(v >> 12) & 63];
    *out++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    *out++ = '=';
}

// The functions this module defines under `_emit` and `_emit_token`; kept
// for the life of the process, like the module itself.
PyObject *g_emit_function = nullptr;
PyObject *g_emit_token_function = nullptr;

nb::object replaced(nb::handle globals, nb::handle name, PyObject *own) {
    return replaced_global(globals, name, own);
}

void call_replacement(nb::handle f, nb::handle a) {
    PyObject *args[] = {a.ptr()};
    nb::steal(check(safe_vectorcall(f.ptr(), args, 1, nullptr)));
}

std::string_view utf8_of(nb::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<size_t>(size)};
}

nb::object current_stdout(nb::handle sys_dict) {
    // Looked up on every line: a driver or a test may replace sys.stdout.
    nb::object out;
    if (sys_dict.is_valid()) {
        PyObject *found = nullptr;
        check(dict_get_ref(sys_dict.ptr(), names().stdout_.ptr(), &found));
        out = nb::steal(found);
    } else {
        out = nb::borrow(PySys_GetObject("stdout"));
    }
    if (!out.is_valid() || out.is_none()) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        throw nb::python_error();
    }
    return out;
}

// The names a token reads, cached while their dicts are unchanged.
//
// A session reads `_emit_token`, `_emit` and `_emit_lock` from the module's
// globals and `stdout` from sys.__dict__ for every token. Where dicts can be
// watched, the values found are kept (borrowed: the dict holds them) and any
// change to either dict drops them, so an assignment is still seen from the
// next line on; elsewhere every read is a dict look-up.
enum Slot { kEmitToken, kEmit, kEmitLock, kStdout, kSlots };

struct GlobalsCache {
    PyObject *globals = nullptr, *sys_dict = nullptr;  // the watched dicts; null when not watched
    unsigned long long changes = 0, filled_at = ~0ull;
    PyObject *values[kSlots] = {};
};
GlobalsCache g_cache;

#if PY_VERSION_HEX >= 0x030C0000
int on_watched_dict_event(PyDict_WatchEvent event, PyObject *dict, PyObject *, PyObject *) {
    ++g_cache.changes;
    // A freed dict's address may be reused by another, unwatched one.
    if (event == PyDict_EVENT_DEALLOCATED) {
        if (dict == g_cache.globals) g_cache.globals = nullptr;
        if (dict == g_cache.sys_dict) g_cache.sys_dict = nullptr;
    }
    return 0;
}

void watch_stream_globals(nb::handle globals, nb::handle sys_dict) {
    int id = PyDict_AddWatcher(on_watched_dict_event);
    if (id < 0) {  // every watcher slot taken: plain look-ups then
        PyErr_Clear();
        return;
    }
    if (PyDict_Watch(id, globals.ptr()) < 0 || PyDict_Watch(id, sys_dict.ptr()) < 0) {
        PyErr_Clear();
        PyDict_Unwatch(id, globals.ptr());
        PyErr_Clear();
        return;
    }
    g_cache.globals = globals.ptr();
    g_cache.sys_dict = sys_dict.ptr();
}
#else
void watch_stream_globals(nb::handle, nb::handle) {}
#endif

PyObject *lookup(PyObject *dict, nb::handle name) {
    PyObject *value = PyDict_GetItemWithError(dict, name.ptr());
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return value;
}

// The current value of `slot` (borrowed, null when the name is missing);
// use it before any Python code runs.
PyObject *stream_global(Slot slot, nb::handle globals, nb::handle sys_dict) {
    GlobalsCache &c = g_cache;
    bool watched = globals.ptr() == c.globals && sys_dict.ptr() == c.sys_dict && c.globals;
    if (watched && c.filled_at == c.changes) return c.values[slot];
    // Counted before reading: a change made meanwhile (by a key's __eq__)
    // leaves the values stale, and the next read fetches them again.
    unsigned long long at = c.changes;
    PyObject *values[kSlots];
    values[kEmitToken] = lookup(globals.ptr(), names().emit_token);
    values[kEmit] = lookup(globals.ptr(), names().emit);
    values[kEmitLock] = lookup(globals.ptr(), names().emit_lock);
    values[kStdout] = lookup(sys_dict.ptr(), names().stdout_);
    if (watched) {
        std::copy(values, values + kSlots, c.values);
        c.filled_at = at;
    }
    return values[slot];
}

// Runs `f` while `held` (already acquired) is held, then releases it. When
// `f` fails, its error is what the caller sees; a lock that also fails to
// release is only reported.
template <typename F>
void while_held(const EmitLock &lock, nb::handle held, F &&f) {
    try {
        f();
    } catch (...) {
        ErrorGuard keep_error;
        try {
            lock.release(held);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(held);
        }
        throw;
    }
    lock.release(held);
}

}  // namespace

void write_line(const EmitLock &lock, nb::handle line, nb::handle sys_dict) {
    nb::object held = lock.acquire();
    while_held(lock, held, [&] {
        nb::object out = current_stdout(sys_dict);
        call_method(out, names().write, line);
        call_method(out, names().flush);
    });
}

void emit_text(const EmitLock &lock, std::string_view text) {
    if (nb::object emit = replaced(lock.globals(), names().emit, g_emit_function); emit.is_valid()) {
        call_replacement(emit, make_str(text));
        return;
    }
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text).push_back('\n');
    write_line(lock, make_str(line));
}

void base64_append(std::string &out, std::string_view data) {
    size_t at = out.size();
    out.resize(at + base64_size(data.size()));
    base64_encode(reinterpret_cast<const unsigned char *>(data.data()), data.size(), out.data() + at);
}

nb::object token_line(std::string_view prefix, nb::handle chunk, bool newline) {
    std::string_view bytes = utf8_of(chunk);
    size_t size = prefix.size() + base64_size(bytes.size()) + (newline ? 1 : 0);
    nb::object line = nb::steal(check(PyUnicode_New(static_cast<Py_ssize_t>(size), 127)));
    char *out = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(line.ptr()));
    std::memcpy(out, prefix.data(), prefix.size());
    base64_encode(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), out + prefix.size());
    if (newline) out[size - 1] = '\n';
    return line;
}

void emit_token(const EmitLock &lock, nb::handle turn, std::string_view prefix, nb::handle chunk,
                nb::handle sys_dict) {
    nb::handle globals = lock.globals();
    if (!sys_dict.is_valid()) {
        if (nb::object alt = replaced(globals, names().emit_token, g_emit_token_function); alt.is_valid()) {
            PyObject *args[] = {turn.ptr(), chunk.ptr()};
            nb::steal(check(safe_vectorcall(alt.ptr(), args, 2, nullptr)));
            return;
        }
        if (nb::object emit = replaced(globals, names().emit, g_emit_function); emit.is_valid()) {
            call_replacement(emit, token_line(prefix, chunk, false));
            return;
        }
        write_line(lock, token_line(prefix, chunk));
        return;
    }
    // A session's stream: the same steps, each name read at its point of use.
    PyObject *f = stream_global(kEmitToken, globals, sys_dict);
    if (f && f != g_emit_token_function) {
        nb::object alt = nb::borrow(f);
        PyObject *args[] = {turn.ptr(), chunk.ptr()};
        nb::steal(check(safe_vectorcall(alt.ptr(), args, 2, nullptr)));
        return;
    }
    f = stream_global(kEmit, globals, sys_dict);
    if (f && f != g_emit_function) {
        nb::object emit = nb::borrow(f);
        call_replacement(emit, token_line(prefix, chunk, false));
        return;
    }
    nb::object line = token_line(prefix, chunk);
    PyObject *found = stream_global(kEmitLock, globals, sys_dict);
    if (!found) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", names().emit_lock.ptr());
        throw nb::python_error();
    }
    nb::object held = nb::borrow(found);
    lock.acquire(held);
    while_held(lock, held, [&] {
        // Read after acquiring: a replaced lock may have run code that
        // changed sys.stdout.
        PyObject *current = stream_global(kStdout, globals, sys_dict);
        if (!current || current == Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
            throw nb::python_error();
        }
        nb::object out = nb::borrow(current);
        call_method(out, names().write, line);
        call_method(out, names().flush);
    });
}

void emit_turn_error(const EmitLock &lock, std::string_view turn_text, nb::handle message) {
    // Text that cannot be encoded as UTF-8 (lone surrogates) is escaped
    // rather than turning the error report itself into a failure.
    nb::object encoded = nb::steal(check(PyUnicode_AsEncodedString(message.ptr(), "utf-8", "backslashreplace")));
    std::string line = std::string(kTurnError) + " ";
    line.append(turn_text).push_back(' ');
    base64_append(line, {PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr()))});
    emit_text(lock, line);
}

std::string session_info(nb::handle input_path) {
    nb::object version;
    try {
        version = nb::module_::import_("corvid").attr("__version__");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        version = nb::str("unknown");
    }
    nb::object sys = nb::module_::import_("sys");
    nb::object vi = sys.attr("version_info");
    std::string python = str_of(vi[0]) + "." + str_of(vi[1]) + "." + str_of(vi[2]);

    nb::dict info;  // insertion order is the key order of the JSON text
    info["corvid"] = version;
    info["python"] = python;
    info["pid"] = nb::module_::import_("os").attr("getpid")();
    info["input"] = input_path;
    nb::object dumps = nb::module_::import_("json").attr("dumps");
    return nb::cast<std::string>(dumps(info, nb::arg("separators") = nb::make_tuple(",", ":")));
}

void register_output(nb::module_ &m) {

    m.def("_emit", [](nb::str line) {
        nb::object full = nb::steal(check(PyUnicode_Concat(line.ptr(), make_str("\n").ptr())));
        write_line(EmitLock(), full);
    }, nb::arg("line"), "Write one output line and flush it, under `_emit_lock`.");

    m.def("_session_info", &session_info, nb::arg("input_path"),
          "Compact JSON describing this worker: package version, interpreter, pid, input file.");

    m.def("_emit_token", [](nb::handle turn, nb::str chunk) {
        std::string prefix = std::string(kTurnToken) + " " + str_of(turn) + " ";
        EmitLock lock;
        if (nb::object emit = replaced(lock.globals(), names().emit, g_emit_function); emit.is_valid()) {
            call_replacement(emit, token_line(prefix, chunk, false));
            return;
        }
        write_line(lock, token_line(prefix, chunk));
    }, nb::arg("turn"), nb::arg("chunk"), "Emit one streamed piece of a turn as Base64.");
    g_emit_function = nb::object(m.attr("_emit")).release().ptr();
    g_emit_token_function = nb::object(m.attr("_emit_token")).release().ptr();
    own_globals().session_info = nb::object(m.attr("_session_info")).release().ptr();
    watch_stream_globals(m.attr("__dict__"), nb::module_::import_("sys").attr("__dict__"));
}

}  // namespace corvid::serve
