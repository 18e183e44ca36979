#include "common/exit_guard.hpp"

#include <chrono>
#include <thread>

namespace corvid {

namespace nb = nanobind;

nb::object call_blocking(nb::handle fn, std::initializer_list<nb::handle> args,
                         std::initializer_list<std::pair<const char *, nb::handle>> kwargs) {
    nb::object positional = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!positional.is_valid()) throw nb::python_error();
    Py_ssize_t i = 0;
    for (nb::handle a : args) PyTuple_SET_ITEM(positional.ptr(), i++, nb::borrow(a).release().ptr());
    nb::dict named;
    for (auto &[name, value] : kwargs) named[name] = value;
    PyObject *result = safe_call(fn.ptr(), positional.ptr(), named.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

void park_thread() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace corvid
