#include "overflow/common.hpp"

namespace corvid::overflow {

Names g_names{};

namespace {
PyObject *g_module = nullptr;  // borrowed; see module_handle()
}

nb::handle module_handle() { return g_module; }

void set_module_handle(nb::handle m) {
    g_module = m.ptr();
#define CORVID_OVERFLOW_INTERN(field, text) g_names.field = intern_name(text);
    CORVID_OVERFLOW_NAMES(CORVID_OVERFLOW_INTERN)
#undef CORVID_OVERFLOW_INTERN
}

}  // namespace corvid::overflow
