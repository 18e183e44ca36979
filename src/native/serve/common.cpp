#include "serve/common.hpp"

#include <nanobind/stl/string.h>

#include "common/interned.hpp"

namespace corvid::serve {

namespace {
Names g_names;
}  // namespace

const Names &names() { return g_names; }

void init_names(nb::module_ &m) {
    Names &n = g_names;
    n.write = intern_name("write");
    n.flush = intern_name("flush");
    n.acquire = intern_name("acquire");
    n.release = intern_name("release");
    n.stdout_ = intern_name("stdout");
    n.tell = intern_name("tell");
    n.readline = intern_name("readline");
    n.seek = intern_name("seek");
    n.close = intern_name("close");
    n.strip = intern_name("strip");
    n.set = intern_name("set");
    n.wait = intern_name("wait");
    n.start = intern_name("start");
    n.stop = intern_name("stop");
    n.text = intern_name("text");
    n.turn = intern_name("turn");
    n.role = intern_name("role");
    n.content = intern_name("content");
    n.user = intern_name("user");
    n.assistant = intern_name("assistant");
    n.append = intern_name("append");
    n.run = intern_name("_run");
    n.emit_lock = intern_name("_emit_lock");
    n.heartbeat_interval = intern_name("HEARTBEAT_INTERVAL");
    n.monotonic = intern_name("monotonic");
    n.sleep = intern_name("sleep");
    n.emit = intern_name("_emit");
    n.emit_token = intern_name("_emit_token");
    n.call_handler = intern_name("_call_handler");
    n.iter_response = intern_name("_iter_response");
    n.turn_alive = intern_name("_TurnAlive");
    n.parse_input = intern_name("_parse_input");
    n.read_new_lines = intern_name("_read_new_lines");
    n.session_info = intern_name("_session_info");
    n.get = intern_name("get");
    n.enter = intern_name("__enter__");
    n.exit = intern_name("__exit__");
    n.module = intern_name(nb::cast<std::string>(m.attr("__name__")).c_str());
}

nb::object call_method(nb::handle obj, nb::handle name) {
    PyObject *args[] = {obj.ptr()};
    return nb::steal(check(safe_vectorcall_method(
        name.ptr(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

nb::object call_method(nb::handle obj, nb::handle name, nb::handle a) {
    PyObject *args[] = {obj.ptr(), a.ptr()};
    return nb::steal(check(safe_vectorcall_method(
        name.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

nb::object call_method(nb::handle obj, nb::handle name, nb::handle a, nb::handle b) {
    PyObject *args[] = {obj.ptr(), a.ptr(), b.ptr()};
    return nb::steal(check(safe_vectorcall_method(
        name.ptr(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

OwnGlobals &own_globals() {
    static OwnGlobals own;
    return own;
}

nb::object replaced_global(nb::handle globals, nb::handle name, PyObject *own) {
    // The usual answer (our own object) is settled by identity on a borrowed
    // look-up, without touching reference counts: this runs per token.
    PyObject *current = PyDict_GetItemWithError(globals.ptr(), name.ptr());
    if (current == own) return {};
    if (!current && PyErr_Occurred()) throw nb::python_error();
    PyObject *found = nullptr;
    check(dict_get_ref(globals.ptr(), name.ptr(), &found));
    nb::object value = nb::steal(found);
    if (!value.is_valid() || value.ptr() == own) return {};
    return value;
}

nb::object call(nb::handle f, nb::handle a) {
    PyObject *args[] = {a.ptr()};
    return nb::steal(check(safe_vectorcall(f.ptr(), args, 1, nullptr)));
}

nb::object call(nb::handle f, nb::handle a, nb::handle b) {
    PyObject *args[] = {a.ptr(), b.ptr()};
    return nb::steal(check(safe_vectorcall(f.ptr(), args, 2, nullptr)));
}

nb::object call(nb::handle f, nb::handle a, nb::handle b, nb::handle c) {
    PyObject *args[] = {a.ptr(), b.ptr(), c.ptr()};
    return nb::steal(check(safe_vectorcall(f.ptr(), args, 3, nullptr)));
}

namespace {
// Looked up through sys.modules rather than a cached pointer, so a
// re-imported module is never read through a stale reference.
nb::object this_module() {
    PyObject *mod = PyImport_GetModule(names().module.ptr());
    if (!mod) {
        if (PyErr_Occurred()) throw nb::python_error();
        mod = check(PyImport_Import(names().module.ptr()));
    }
    return nb::steal(mod);
}
}  // namespace

nb::object module_global(nb::handle name) {
    return nb::steal(check(PyObject_GetAttr(this_module().ptr(), name.ptr())));
}

nb::object module_dict() { return nb::borrow(check(PyModule_GetDict(this_module().ptr()))); }

std::string str_of(nb::handle value) {
    nb::object text = nb::steal(check(PyObject_Str(value.ptr())));
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return std::string(data, static_cast<size_t>(size));
}

nb::object make_str(std::string_view text) {
    return nb::steal(check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}


}  // namespace corvid::serve
