#include <nanobind/nanobind.h>

#include "overflow/config.hpp"
#include "overflow/discovery.hpp"
#include "overflow/entry.hpp"
#include "overflow/dispatch.hpp"
#include "overflow/gateway.hpp"
#include "overflow/heaviness.hpp"
#include "overflow/load_gate.hpp"
#include "overflow/monitor.hpp"
#include "overflow/offload_gate.hpp"
#include "overflow/libraries.hpp"
#include "overflow/remote.hpp"
#include "overflow/report.hpp"
#include "overflow/safety.hpp"
#include "overflow/source.hpp"
#include "overflow/wrappers.hpp"
#include "common/signatures.hpp"
#include "overflow/writeback.hpp"

namespace nb = nanobind;
namespace ov = corvid::overflow;

// Order matters: constants first, then the wrapper types and the monitor
// class, then the concerns that attach methods to the monitor, and last the
// record of the monitor's own methods.
NB_MODULE(overflow, m) {
    // A monitor, its load gate and their daemon thread may legitimately be
    // alive when the interpreter exits (a global `_active_monitor`, a sample in
    // progress); collectability is checked by the tests, not at exit.
    nb::set_leak_warnings(false);
    ov::set_module_handle(m);
    ov::register_config(m);
    ov::register_wrappers(m);
    ov::register_monitor(m);
    ov::register_entry(m);
    ov::register_source(m);
    ov::register_heaviness(m);
    ov::register_load_gate(m);
    ov::register_discovery(m);
    ov::register_dispatch(m);
    ov::register_offload_gate(m);
    ov::register_libraries(m);
    ov::register_safety(m);
    ov::register_writeback(m);
    ov::register_gateway(m);
    ov::register_remote(m);
    ov::register_report(m);
    ov::seal_monitor_methods(m);
    corvid::register_signatures(m);
}
