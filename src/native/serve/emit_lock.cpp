#include "serve/emit_lock.hpp"

namespace corvid::serve {

EmitLock::EmitLock() : globals_(module_dict()) {}

EmitLock EmitLock::for_stream() {
    EmitLock lock;
    // _thread.lock is an immutable type without an instance dict: its
    // methods cannot be replaced or shadowed, so they can be looked up once.
    lock.lock_type_ = nb::module_::import_("_thread").attr("LockType");
    lock.acquire_ = lock.lock_type_.attr(names().acquire);
    lock.release_ = lock.lock_type_.attr(names().release);
    return lock;
}

nb::object EmitLock::call(nb::handle method, nb::handle name, nb::handle lock) const {
    PyObject *args[] = {lock.ptr()};
    if (method.is_valid() && Py_TYPE(lock.ptr()) == reinterpret_cast<PyTypeObject *>(lock_type_.ptr()))
        return nb::steal(check(safe_vectorcall(method.ptr(), args, 1, nullptr)));
    return nb::steal(check(safe_vectorcall_method(name.ptr(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

nb::object EmitLock::acquire() const {
    PyObject *found = nullptr;
    if (check(dict_get_ref(globals_.ptr(), names().emit_lock.ptr(), &found)) == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", names().emit_lock.ptr());
        throw nb::python_error();
    }
    nb::object lock = nb::steal(found);
    call(acquire_, names().acquire, lock);
    return lock;
}

void EmitLock::release(nb::handle lock) const { call(release_, names().release, lock); }

void register_emit_lock(nb::module_ &m) {
    m.attr("_emit_lock") = nb::module_::import_("threading").attr("Lock")();
}

}  // namespace corvid::serve
