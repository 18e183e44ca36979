#include "serve/common.hpp"

#include <nanobind/stl/string.h>

namespace corvid::serve {

namespace {
Names g_names;

nb::handle intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    return s;
}
}  // namespace

const Names &names() { return g_names; }

void init_names(nb::module_ &m) {
    Names &n = g_names;
    n.write = intern("write");
    n.flush = intern("flush");
    n.acquire = intern("acquire");
    n.release = intern("release");
    n.stdout_ = intern("stdout");
    n.tell = intern("tell");
    n.readline = intern("readline");
    n.seek = intern("seek");
    n.close = intern("close");
    n.strip = intern("strip");
    n.set = intern("set");
    n.wait = intern("wait");
    n.start = intern("start");
    n.stop = intern("stop");
    n.text = intern("text");
    n.turn = intern("turn");
    n.role = intern("role");
    n.content = intern("content");
    n.user = intern("user");
    n.assistant = intern("assistant");
    n.append = intern("append");
    n.run = intern("_run");
    n.emit_lock = intern("_emit_lock");
    n.heartbeat_interval = intern("HEARTBEAT_INTERVAL");
    n.module = intern(nb::cast<std::string>(m.attr("__name__")).c_str());
}

nb::object call_method(nb::handle obj, nb::handle name) {
    PyObject *args[] = {obj.ptr()};
    return nb::steal(check(PyObject_VectorcallMethod(
        name.ptr(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

nb::object call_method(nb::handle obj, nb::handle name, nb::handle a) {
    PyObject *args[] = {obj.ptr(), a.ptr()};
    return nb::steal(check(PyObject_VectorcallMethod(
        name.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

nb::object call_method(nb::handle obj, nb::handle name, nb::handle a, nb::handle b) {
    PyObject *args[] = {obj.ptr(), a.ptr(), b.ptr()};
    return nb::steal(check(PyObject_VectorcallMethod(
        name.ptr(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
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

bool truthy(nb::handle value) { return check(PyObject_IsTrue(value.ptr())) != 0; }

}  // namespace corvid::serve
