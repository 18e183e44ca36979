#include "overflow/remote.hpp"

#include <cmath>
#include <exception>
#include <initializer_list>

#include "common/env.hpp"
#include "overflow/config.hpp"
#include "overflow/discovery.hpp"
#include "overflow/libraries.hpp"
#include "overflow/gateway.hpp"
#include "overflow/monitor.hpp"
#include "overflow/safety.hpp"
#include "overflow/writeback.hpp"
#include "overflow/source.hpp"

namespace corvid::overflow {

namespace {

using namespace nb::literals;

bool reserved(nb::handle name) { return check(PySet_Contains(reserved_names().ptr(), name.ptr())) == 1; }

bool any_reserved(nb::handle kwargs) {
    for (nb::handle key : kwargs)
        if (reserved(key)) return true;
    return false;
}

}  // namespace

nb::object partition_call(nb::handle func, nb::handle args, nb::handle kwargs) {
    nb::object raw = nb::str("raw"), shim = nb::str("shim");
    if (!any_reserved(kwargs)) return nb::make_tuple(raw, args, kwargs);
    nb::object inspect = nb::module_::import_("inspect");
    nb::object sig, bound;
    try {
        sig = inspect.attr("signature")(func);
        bound = sig.attr("bind")(*nb::borrow(args), **nb::borrow(kwargs));
        bound.attr("apply_defaults")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
        return nb::make_tuple(shim, args, kwargs);
    }
    nb::object parameter = inspect.attr("Parameter");
    nb::object positional_only = parameter.attr("POSITIONAL_ONLY"),
               positional_or_keyword = parameter.attr("POSITIONAL_OR_KEYWORD"),
               var_positional = parameter.attr("VAR_POSITIONAL"),
               keyword_only = parameter.attr("KEYWORD_ONLY"), var_keyword = parameter.attr("VAR_KEYWORD");
    nb::object arguments = bound.attr("arguments");
    nb::list pos;
    nb::dict kw;
    for (nb::handle param : sig.attr("parameters").attr("values")()) {
        nb::object name = param.attr("name");
        if (!contains(arguments, name)) continue;
        nb::object value = arguments[name];
        nb::object kind = param.attr("kind");
        if (kind.equal(positional_only) || kind.equal(positional_or_keyword))
            pos.append(value);
        else if (kind.is(var_positional))
            pos.attr("extend")(value);
        else if (kind.is(keyword_only))
            kw[name] = value;
        else if (kind.is(var_keyword))
            kw.update(value);
    }
    if (any_reserved(kw)) return nb::make_tuple(shim, args, kwargs);
    return nb::make_tuple(raw, nb::tuple(pos), kw);
}

bool needs_gpu(nb::handle self, nb::handle func) {
    nb::object key = sig_key(func);
    nb::object cache = field_gpu_cache(self);
    nb::object stored = mapping_get(cache, key);
    if (stored.is_valid() && !stored.is_none()) return truthy(stored);
    nb::object src = call_monitor_method<nb::object>(self, Method::get_src, get_src, func);
    bool hit = false;
    for (nb::handle token : gpu_src_tokens()) {
        if (check(PySequence_Contains(src.ptr(), token.ptr())) == 1) {
            hit = true;
            break;
        }
    }
    check(PyObject_SetItem(cache.ptr(), key.ptr(), hit ? Py_True : Py_False));
    return hit;
}

bool args_need_gpu(nb::handle args, nb::handle kwargs) {
    nb::object torch = torch_module();
    if (torch.is_none()) return false;
    nb::object module_type = torch.attr("nn").attr("Module");
    auto is_module = [&](nb::handle value) {
        bool hit = false;
        swallow([&] { hit = check(PyObject_IsInstance(value.ptr(), module_type.ptr())) == 1; });
        return hit;
    };
    return any_argument(args, kwargs, is_module);
}

nb::dict gpu_pin(nb::handle self, nb::handle func, bool gpu_pressure, nb::handle args,
                 nb::handle kwargs) {
    nb::dict pin;
    nb::object kw = kwargs.is_none() ? nb::dict() : nb::borrow(kwargs);
    if (!gpu_pressure &&
        !call_monitor_method<bool>(self, Method::needs_gpu, needs_gpu, func) &&
        !call_monitor_method<bool>(self, Method::args_need_gpu,
                                   [](nb::handle, nb::handle a, nb::handle k) { return args_need_gpu(a, k); },
                                   args, kw))
        return pin;
    nb::object raw = env_value(nb::str("CORVID_OVERFLOW_GPU"));
    if (raw.is_none()) raw = nb::str("A100");
    raw = raw.attr("strip")();
    nb::object lowered = raw.attr("lower")();
    for (const char *off : {"none", "cpu", "0", ""})
        if (PyUnicode_Check(lowered.ptr()) && PyUnicode_CompareWithASCIIString(lowered.ptr(), off) == 0)
            return pin;
    double count = as_double(env_float(nb::str("CORVID_OVERFLOW_GPU_COUNT"), nb::float_(1.0)));
    long long n = static_cast<long long>(std::trunc(count));
    pin["gpu"] = raw;
    pin["gpu_count"] = nb::int_(n == 0 ? 1 : n);
    return pin;
}

nb::object register_by_value(nb::handle self, nb::handle func) {
    nb::object modname = optional_attr(func, names().dunder_module);
    if (!modname.is_valid() || modname.is_none() || !truthy(modname)) return nb::none();
    if (PyUnicode_Check(modname.ptr()) && PyUnicode_CompareWithASCIIString(modname.ptr(), "__main__") == 0)
        return nb::none();
    nb::object mod = nb::module_::import_("sys").attr("modules").attr("get")(modname);
    if (mod.is_none()) return nb::none();
    nb::object path;
    try {
        path = nb::module_::import_("inspect").attr("getfile")(func);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_TypeError)) throw;
        return nb::none();
    }
    if (!is_user_file(self, path)) return nb::none();
    bool registered = false;
    swallow([&] {
        HeldLock hold(field_by_value_lock(self));
        nb::object cloudpickle = nb::module_::import_("cloudpickle");
        nb::object refs = field_by_value_refs(self);
        nb::object id = nb::steal(check(PyLong_FromVoidPtr(mod.ptr())));
        nb::object before = mapping_get(refs, id);
        long long n = before.is_valid() ? nb::cast<long long>(before) : 0;
        if (n == 0) cloudpickle.attr("register_pickle_by_value")(mod);
        check(PyObject_SetItem(refs.ptr(), id.ptr(), nb::int_(n + 1).ptr()));
        registered = true;
    });
    return registered ? mod : nb::none();
}

void unregister_by_value(nb::handle self, nb::handle mod) {
    if (mod.is_none()) return;
    HeldLock hold(field_by_value_lock(self));
    nb::object refs = field_by_value_refs(self);
    nb::object id = nb::steal(check(PyLong_FromVoidPtr(mod.ptr())));
    nb::object before = mapping_get(refs, id);
    long long n = before.is_valid() ? nb::cast<long long>(before) : 0;
    if (n > 1) {
        check(PyObject_SetItem(refs.ptr(), id.ptr(), nb::int_(n - 1).ptr()));
        return;
    }
    if (before.is_valid()) check(PyObject_DelItem(refs.ptr(), id.ptr()));
    swallow([&] { nb::module_::import_("cloudpickle").attr("unregister_pickle_by_value")(mod); });
}

namespace {

// gw.run(*positional, **options) with the by-value registration of the
// function's module held for exactly the run.
nb::object run_registered(nb::handle self, nb::handle gw, nb::handle func, nb::handle positional,
                          nb::handle options) {
    nb::object mod = call_monitor_method<nb::object>(self, Method::register_by_value, register_by_value, func);
    nb::object run = gw.attr("run");
    nb::object result;
    std::exception_ptr failed;  // released first, rethrown after: no Python code in a handler
    try {
        result = exit_safe([&] { return run(*nb::borrow(positional), **nb::borrow(options)); });
    } catch (...) {
        failed = std::current_exception();
    }
    if (failed) {
        swallow([&] {
            call_monitor_method<void>(self, Method::unregister_by_value, unregister_by_value, mod);
        });
        std::rethrow_exception(failed);
    }
    call_monitor_method<void>(self, Method::unregister_by_value, unregister_by_value, mod);
    return result;
}

nb::dict run_options(nb::handle pin, nb::handle pip) {
    nb::dict kw;
    check(PyDict_Merge(kw.ptr(), pin.ptr(), 1));
    if (!pip.is_none() && truthy(pip)) kw["pip_packages"] = pip;
    return kw;
}

}  // namespace

nb::object cloud_execute(nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs,
                         bool gpu_pressure) {
    nb::object gw = call_monitor_method<nb::object>(self, Method::get_gateway, get_gateway);
    if (gw.is_none()) {
        PyErr_SetString(submit_error_type().ptr(), "gateway unavailable (cooldown)");
        throw nb::python_error();
    }
    call_monitor_method<void>(self, Method::apply_warm_session, apply_warm_session, gw);
    nb::object pin;
    if (nb::object replaced = monitor_method(self, Method::gpu_pin))
        pin = exit_safe([&] { return replaced(func, gpu_pressure, args, kwargs); });
    else
        pin = gpu_pin(self, func, gpu_pressure, args, kwargs);
    bool pinned = truthy(pin);
    nb::module_ mod = nb::borrow<nb::module_>(module_handle());

    if (call_monitor_method<bool>(self, Method::needs_writeback, needs_writeback, args, kwargs)) {
        nb::object pip = call_monitor_method<nb::object>(self, Method::infer_pip, infer_pip, gw, func);
        nb::object shim = mod.attr(pinned ? "_sanitize_capture_shim" : "_capture_shim")();
        nb::object result = run_registered(self, gw, func, nb::make_tuple(shim, func, args, kwargs),
                                           run_options(pin, pip));
        nb::object items = nb::steal(check(PySequence_Tuple(result.ptr())));
        if (PyTuple_GET_SIZE(items.ptr()) != 3) {
            PyErr_Format(PyExc_ValueError, "expected 3 values to unpack, got %zd",
                         PyTuple_GET_SIZE(items.ptr()));
            throw nb::python_error();
        }
        nb::object post_args = items[1], post_kwargs = items[2];
        call_monitor_method<void>(self, Method::apply_writeback, apply_writeback, args, kwargs, post_args,
                                  post_kwargs);
        return items[0];
    }

    nb::object parts = call_monitor_method<nb::object>(
        self, Method::partition_call,
        [](nb::handle, nb::handle f, nb::handle a, nb::handle k) { return partition_call(f, a, k); },
        func, args, kwargs);
    nb::object mode = parts[0], call_args = parts[1], call_kwargs = parts[2];
    if (!pinned && PyUnicode_Check(mode.ptr()) && PyUnicode_CompareWithASCIIString(mode.ptr(), "raw") == 0) {
        // The function itself, then the user's own values: the client's plain call shape.
        nb::object run = gw.attr("run");
        nb::object positional = nb::steal(check(PySequence_Concat(
            nb::make_tuple(func).ptr(), nb::steal(check(PySequence_Tuple(call_args.ptr()))).ptr())));
        nb::object named = nb::steal(check(PyDict_New()));
        check(PyDict_Merge(named.ptr(), call_kwargs.ptr(), 1));
        PyObject *value = safe_call(run.ptr(), positional.ptr(), named.ptr());
        if (!value) throw nb::python_error();
        return nb::steal(value);
    }
    nb::object pip = call_monitor_method<nb::object>(self, Method::infer_pip, infer_pip, gw, func);
    nb::object shim = mod.attr(pinned ? "_sanitize_call_shim" : "_call_shim")();
    return run_registered(self, gw, func, nb::make_tuple(shim, func, call_args, call_kwargs),
                          run_options(pin, pip));
}

void register_remote(nb::module_ &m) {
    def_monitor_method(
        m, "_cloud_execute",
        [](nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs, nb::handle gpu) {
            return cloud_execute(self, func, args, kwargs, truthy(gpu));
        },
        "func"_a.none(), "args"_a.none(), "kwargs"_a.none(), "gpu_pressure"_a.none() = false);
    def_monitor_method(
        m, "_partition_call",
        [](nb::handle, nb::handle func, nb::handle args, nb::handle kwargs) {
            return partition_call(func, args, kwargs);
        },
        "func"_a.none(), "args"_a.none(), "kwargs"_a.none());
    def_monitor_method(m, "_needs_gpu", [](nb::handle self, nb::handle func) { return needs_gpu(self, func); },
                       "func"_a.none());
    def_monitor_method(
        m, "_args_need_gpu",
        [](nb::handle, nb::handle args, nb::handle kwargs) { return args_need_gpu(args, kwargs); },
        "args"_a.none(), "kwargs"_a.none());
    def_monitor_method(
        m, "_gpu_pin",
        [](nb::handle self, nb::handle func, nb::handle gpu, nb::handle args, nb::handle kwargs) {
            return gpu_pin(self, func, truthy(gpu), args, kwargs);
        },
        "func"_a.none(), "gpu_pressure"_a.none() = false, "args"_a.none() = nb::tuple(),
        "kwargs"_a.none() = nb::none());
    def_monitor_method(
        m, "_register_by_value", [](nb::handle self, nb::handle func) { return register_by_value(self, func); },
        "func"_a.none());
    def_monitor_method(
        m, "_unregister_by_value", [](nb::handle self, nb::handle mod) { unregister_by_value(self, mod); },
        "mod"_a.none());
}

}  // namespace corvid::overflow
