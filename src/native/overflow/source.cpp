#include "overflow/source.hpp"

#include "overflow/monitor.hpp"

namespace corvid::overflow {

namespace {

using namespace nb::literals;


nb::object code_key(nb::handle code) {
    if (PyCode_Check(code.ptr())) {
        auto *co = reinterpret_cast<PyCodeObject *>(code.ptr());
        nb::object line = nb::steal(check(PyLong_FromLong(co->co_firstlineno)));
        return nb::steal(check(PyTuple_Pack(3, co->co_filename, co->co_qualname, line.ptr())));
    }
    const Names &n = names();
    nb::object filename = code.attr(n.co_filename);
    nb::object qualname = optional_attr(code, n.co_qualname);
    if (!qualname.is_valid()) qualname = code.attr(n.co_name);
    nb::object line = code.attr(n.co_firstlineno);
    return nb::steal(check(PyTuple_Pack(3, filename.ptr(), qualname.ptr(), line.ptr())));
}

nb::object safe_getsource(nb::handle func) {
    nb::object getsource = nb::module_::import_("inspect").attr("getsource");
    PyObject *src = PyObject_CallOneArg(getsource.ptr(), func.ptr());
    if (src) return nb::steal(src);
    if (PyErr_ExceptionMatches(PyExc_OSError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
        PyErr_ExceptionMatches(PyExc_IndexError)) {
        PyErr_Clear();
        return nb::str("");
    }
    throw nb::python_error();
}

}  // namespace

nb::object code_of(nb::handle func) {
    if (PyFunction_Check(func.ptr())) return nb::borrow(PyFunction_GET_CODE(func.ptr()));
    return optional_attr(func, names().dunder_code);
}

nb::object sig_key(nb::handle func) {
    nb::object code = code_of(func);
    if (code.is_valid() && !code.is_none()) return code_key(code);
    nb::object repr = nb::steal(check(PyObject_Repr(func.ptr())));
    nb::object name = optional_attr(func, names().dunder_name);
    if (!name.is_valid()) name = nb::str("?");
    nb::object zero = nb::int_(0);
    return nb::steal(check(PyTuple_Pack(3, repr.ptr(), name.ptr(), zero.ptr())));
}

nb::object get_src(nb::handle self, nb::handle func) { return get_src_keyed(self, func, sig_key(func)); }

nb::object get_src_keyed(nb::handle self, nb::handle func, nb::handle key) {
    nb::object cache = field_src_cache(self);
    nb::object stored = mapping_get(cache, key);
    if (stored.is_valid()) return stored;
    nb::object src = safe_getsource(func);
    check(PyObject_SetItem(cache.ptr(), key.ptr(), src.ptr()));
    return src;
}

void register_source(nb::module_ &m) {
    m.def("_sig_key", &sig_key, "func"_a.none());
    m.def("_safe_getsource", [](nb::handle func) { return safe_getsource(func); }, "func"_a.none());
    def_monitor_method(m, "_get_src", [](nb::handle self, nb::handle func) { return get_src(self, func); },
                       "func"_a.none());
}

}  // namespace corvid::overflow
