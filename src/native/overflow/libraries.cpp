#include "overflow/libraries.hpp"

#include <initializer_list>

#include "overflow/config.hpp"

namespace corvid::overflow {

namespace {

// sys.modules.get(name): every offload decision asks, so no module import.
nb::object sys_modules_get(PyObject *name) {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed, the interpreter's own
    PyObject *found = nullptr;
    if (modules && PyDict_Check(modules)) check(dict_get_ref(modules, name, &found));
    if (found) return nb::steal(found);
    return nb::none();
}

}  // namespace

nb::object torch_module() {
    static PyObject *name = intern_name("torch");
    return sys_modules_get(name);
}

nb::object numpy_module() {
    static PyObject *name = intern_name("numpy");
    return sys_modules_get(name);
}

namespace {

// The optional libraries' classes, looked up again only when the module
// object in sys.modules changes (kept for the process, like the module's own
// types).
struct LibTypes {
    nb::object numpy, ndarray, copyto;
    nb::object torch;
    TorchTypes of_torch;
};

LibTypes &lib_types() {
    static LibTypes *types = new LibTypes();  // never destroyed: outlives the interpreter
    return *types;
}

// An attribute path of a library module, or an empty object when a part is
// missing (a library still half-way through its own import).
nb::object lib_attr(nb::handle mod, std::initializer_list<const char *> path) {
    nb::object value = nb::borrow(mod);
    for (const char *part : path) {
        nb::object name = nb::steal(check(PyUnicode_FromString(part)));
        value = optional_attr(value, name.ptr());
        if (!value.is_valid()) return {};
    }
    return value;
}

void refresh_numpy() {
    LibTypes &t = lib_types();
    nb::object np = numpy_module();
    if (np.is_none()) {
        t.numpy = t.ndarray = t.copyto = nb::object();
        return;
    }
    if (np.is(t.numpy)) return;
    t.numpy = nb::object();
    t.ndarray = lib_attr(np, {"ndarray"});
    t.copyto = lib_attr(np, {"copyto"});
    if (t.ndarray.is_valid() && t.copyto.is_valid())
        t.numpy = np;
    else  // a numpy still half-way through its import counts as not loaded
        t.ndarray = t.copyto = nb::object();
}

}  // namespace

nb::object ndarray_type() {
    refresh_numpy();
    return lib_types().ndarray;
}

nb::object numpy_copyto() {
    refresh_numpy();
    return lib_types().copyto;
}

bool torch_types(TorchTypes &out) {
    LibTypes &t = lib_types();
    nb::object torch = torch_module();
    if (torch.is_none()) return false;
    if (!torch.is(t.torch)) {
        t.torch = nb::object();
        TorchTypes fresh{lib_attr(torch, {"Tensor"}), lib_attr(torch, {"nn", "Module"}),
                         lib_attr(torch, {"optim", "Optimizer"}), lib_attr(torch, {"no_grad"})};
        if (!fresh.tensor.is_valid() || !fresh.module.is_valid() || !fresh.optimizer.is_valid() ||
            !fresh.no_grad.is_valid())
            return false;
        t.of_torch = std::move(fresh);
        t.torch = torch;
    }
    out = t.of_torch;
    return true;
}

nb::object pynvml_module() {
    static PyObject *name = intern_name("pynvml");
    nb::object loaded = sys_modules_get(name);
    if (!loaded.is_none()) return loaded;
    nb::object warnings = nb::module_::import_("warnings");
    nb::object silenced = warnings.attr("catch_warnings")();
    silenced.attr("__enter__")();
    nb::object result = nb::none();
    // The binding warns about deprecated aliases on import; that is not the
    // user's business. __exit__ restores the filters __enter__ saved.
    try {
        warnings.attr("simplefilter")("ignore");
        PyObject *mod = PyImport_ImportModule("pynvml");
        if (mod)
            result = nb::steal(mod);
        else
            PyErr_Clear();
    } catch (...) {
        swallow([&] { silenced.attr("__exit__")(nb::none(), nb::none(), nb::none()); });
        throw;
    }
    silenced.attr("__exit__")(nb::none(), nb::none(), nb::none());
    return result;
}

namespace {

// A tensor on a CUDA device, or a module with a parameter (then a buffer) on
// one; any error while probing counts as no.
bool live_cuda(nb::handle torch, nb::handle o) {
    bool live = false;
    swallow([&] {
        if (nb::isinstance(o, torch.attr("Tensor"))) {
            live = truthy(o.attr("is_cuda"));
            return;
        }
        if (!nb::isinstance(o, torch.attr("nn").attr("Module"))) return;
        for (const char *group : {"parameters", "buffers"})
            for (nb::handle p : o.attr(group)())
                if (truthy(p.attr("is_cuda"))) {
                    live = true;
                    return;
                }
    });
    return live;
}

// The object, and one level into a list, tuple, set (not frozen) or dict's
// values, at most _CONTAINER_SCAN_CAP elements.
bool live_cuda_within(nb::handle torch, nb::handle o) {
    if (live_cuda(torch, o)) return true;
    nb::object items;
    if (PyDict_Check(o.ptr()))
        items = nb::borrow(o).attr("values")();
    else if (PyList_Check(o.ptr()) || PyTuple_Check(o.ptr()) ||
             (PyAnySet_Check(o.ptr()) && !PyFrozenSet_Check(o.ptr())))
        items = nb::borrow(o);
    else
        return false;
    long long cap = const_int(names().container_scan_cap, settings().container_scan_cap), seen = 0;
    for (nb::handle item : items) {
        if (seen++ >= cap) break;
        if (live_cuda(torch, item)) return true;
    }
    return false;
}

}  // namespace

bool has_live_cuda_tensor(nb::handle args, nb::handle kwargs) {
    nb::object torch = torch_module();
    if (torch.is_none()) return false;
    return any_argument(args, kwargs, [&](nb::handle v) { return live_cuda_within(torch, v); });
}

bool obj_has_live_cuda(nb::handle o) {
    nb::object torch = torch_module();
    return !torch.is_none() && live_cuda(torch, o);
}

bool closure_has_live_cuda(nb::handle func) {
    nb::object torch = torch_module();
    if (torch.is_none()) return false;
    nb::object cv;
    try {
        cv = nb::module_::import_("inspect").attr("getclosurevars")(func);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
        return false;
    }
    for (const char *group : {"nonlocals", "globals"})
        for (nb::handle v : cv.attr(group).attr("values")())
            if (live_cuda_within(torch, v)) return true;
    return false;
}

void register_libraries(nb::module_ &m) {
    using namespace nb::literals;
    m.def("_torch", &torch_module, "The torch module if the program already imported it, else None.");
    m.def("_numpy", &numpy_module, "The numpy module if the program already imported it, else None.");
    m.def("_pynvml", &pynvml_module, "The pynvml module (imported with warnings silenced), else None.");
    m.def("_has_live_cuda_tensor", &has_live_cuda_tensor, "args"_a.none(), "kwargs"_a.none(),
          "An argument (or one level inside one) is a CUDA tensor or a module with CUDA state.");
    m.def("_obj_has_live_cuda", &obj_has_live_cuda, "o"_a.none(),
          "o is a CUDA tensor or a module with a CUDA parameter or buffer.");
    m.def("_closure_has_live_cuda", &closure_has_live_cuda, "func"_a.none(),
          "A nonlocal or global the function uses holds live CUDA state.");

}

}  // namespace corvid::overflow
