#include "overflow/safety.hpp"

#include "overflow/config.hpp"
#include "overflow/monitor.hpp"

namespace corvid::overflow {

// The analysis of what a call reads, writes and carries is not in place yet:
// until it is, a call that passed the gate leaves, and no argument state is
// brought back (the remote run takes the plain call shapes).
nb::object offload_safety(nb::handle, nb::handle, CallSite &, bool) {
    return nb::borrow(offload_decision());
}

bool needs_writeback(nb::handle, nb::handle, nb::handle) { return false; }

void register_safety(nb::module_ &m) {
    using namespace nb::literals;
    def_monitor_method(
        m, "_offload_safety",
        [](nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs,
           nb::handle is_method) {
            ThunkSite call(args, kwargs, nb::none(), nb::none());
            return offload_safety(self, func, call, truthy(is_method));
        },
        "func"_a.none(), "args"_a.none(), "kwargs"_a.none(), "is_method"_a.none() = false);
    def_monitor_method(
        m, "_needs_writeback",
        [](nb::handle self, nb::handle args, nb::handle kwargs) {
            return needs_writeback(self, args, kwargs);
        },
        "args"_a.none(), "kwargs"_a.none());
}

}  // namespace corvid::overflow
