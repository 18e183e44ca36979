#include "overflow/remote.hpp"

namespace corvid::overflow {

namespace {

nb::object sys_modules_get(const char *name) {
    nb::object modules = nb::module_::import_("sys").attr("modules");
    return modules.attr("get")(name);
}

}  // namespace

nb::object torch_module() { return sys_modules_get("torch"); }

nb::object numpy_module() { return sys_modules_get("numpy"); }

nb::object pynvml_module() {
    nb::object loaded = sys_modules_get("pynvml");
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

void register_remote(nb::module_ &m) {
    m.def("_torch", &torch_module, "The torch module if the program already imported it, else None.");
    m.def("_numpy", &numpy_module, "The numpy module if the program already imported it, else None.");
    m.def("_pynvml", &pynvml_module, "The pynvml module (imported with warnings silenced), else None.");
}

}  // namespace corvid::overflow
