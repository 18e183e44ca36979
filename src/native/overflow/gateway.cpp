#include "overflow/gateway.hpp"

#include <algorithm>

#include "overflow/config.hpp"
#include "overflow/monitor.hpp"
#include "overflow/source.hpp"

namespace corvid::overflow {

namespace {

using namespace nb::literals;

nb::object make_gateway(nb::handle self) {
    nb::object factory = field_gateway_factory(self);
    if (!factory.is_none()) return exit_safe([&] { return factory(); });
    nb::object gateway_class = nb::module_::import_("corvid.client").attr("GateWay");
    nb::dict kw;
    kw["_internal"] = true;
    kw["api_key"] = field_api_key(self);
    kw["fast"] = field_fast(self);
    kw["api_url"] = field_api_url(self);
    kw["progress"] = false;
    return exit_safe([&] { return gateway_class(**kw); });
}

// The open, under the lock: a new session, or the cooldown after a failure.
nb::object open_session(nb::handle self) {
    nb::object failure;  // acted on after the handler: no Python code runs inside one
    try {
        nb::object gw = call_monitor_method<nb::object>(self, Method::make_gateway, make_gateway);
        nb::object enter = gw.attr("__enter__");
        exit_safe([&] { return enter(); });
        set_field_gateway(self, gw);
        set_field_gateway_backoff(self, field_cooldown_base(self));
        return gw;
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        failure = nb::borrow(e.value());
    }
    double wait = as_double(field_gateway_backoff(self));
    set_field_gateway_retry_at(self, nb::float_(monitor_now(self) + wait));
    double cap = as_double(field_cooldown_cap(self));
    set_field_gateway_backoff(self, nb::float_(std::min(cap, wait * 2.0)));
    log_quiet(kLogger, LogLevel::Warning,
              "overflow gateway unavailable (%s) \xe2\x80\x94 retrying after cooldown",
              nb::str(failure));
    return nb::none();
}

void warm_gateway(nb::handle self) {
    swallow([&] { call_monitor_method<nb::object>(self, Method::get_gateway, get_gateway); });
}

}  // namespace

nb::object get_gateway(nb::handle self) {
    HeldLock hold(field_gateway_lock(self));
    nb::object gw = field_gateway(self);
    if (!gw.is_none()) return gw;
    if (monitor_now(self) < as_double(field_gateway_retry_at(self))) return nb::none();
    return open_session(self);
}

void maybe_prewarm(nb::handle self) {
    if (!truthy(field_prewarm(self))) return;
    nb::object key = field_api_key(self);
    if (key.is_none() || !truthy(key)) return;
    {
        HeldLock hold(field_prewarm_lock(self));
        if (truthy(field_prewarmed(self))) return;
        set_field_prewarmed(self, nb::bool_(true));
    }
    nb::object thread = nb::module_::import_("threading")
                            .attr("Thread")("target"_a = self.attr("_warm_gateway"), "daemon"_a = true,
                                            "name"_a = "corvid-gateway-warm");
    thread.attr("start")();
}

void announce_offload(nb::handle self, nb::handle func) {
    nb::object name = optional_attr(func, names().dunder_name);
    if (!name.is_valid()) name = nb::str("func");
    log(kLogger, LogLevel::Info, "Offloading %s() to cloud", name);
    if (!truthy(field_verbose(self))) return;
    nb::object print = nb::module_::import_("builtins").attr("print");
    nb::object line = nb::str("  \xe2\x86\x91 Overflow \xe2\x86\x92 Cloud: ") + nb::str(name) + nb::str("()");
    print();
    print(line);
    print();
}

nb::object infer_pip(nb::handle self, nb::handle gw, nb::handle func) {
    nb::object result = nb::none();
    swallow([&] {
        nb::object src = call_monitor_method<nb::object>(self, Method::get_src, get_src, func);
        nb::object detect = gw.attr("_detect_local_packages");
        nb::object pkgs = exit_safe([&] { return detect(func, src); });
        if (!pkgs.is_none() && truthy(pkgs)) result = nb::steal(check(PySequence_List(pkgs.ptr())));
    });
    return result;
}

void apply_warm_session(nb::handle self, nb::handle gw) {
    nb::object warm = field_warm_result(self);
    nb::object wid = warm.attr("get")("warm_session_id");
    if (!truthy(wid)) return;
    nb::object status = warm.attr("get")("status");
    bool usable = false;
    for (const char *word : {"warming", "ready"})
        usable = usable || (PyUnicode_Check(status.ptr()) &&
                            PyUnicode_CompareWithASCIIString(status.ptr(), word) == 0);
    if (!usable) return;
    swallow([&] { nb::setattr(gw, "_warm_session_id", wid); });
}

void register_gateway(nb::module_ &m) {
    def_monitor_method(m, "_get_gateway", [](nb::handle self) { return get_gateway(self); });
    def_monitor_method(m, "_make_gateway", [](nb::handle self) { return make_gateway(self); });
    def_monitor_method(m, "_maybe_prewarm", [](nb::handle self) { maybe_prewarm(self); });
    def_monitor_method(m, "_warm_gateway", [](nb::handle self) { warm_gateway(self); });
    def_monitor_method(m, "_announce_offload",
                       [](nb::handle self, nb::handle func) { announce_offload(self, func); },
                       "func"_a.none());
    def_monitor_method(
        m, "_infer_pip",
        [](nb::handle self, nb::handle gw, nb::handle func) { return infer_pip(self, gw, func); },
        "gw"_a.none(), "func"_a.none());
    def_monitor_method(
        m, "_apply_warm_session",
        [](nb::handle self, nb::handle gw) { apply_warm_session(self, gw); }, "gw"_a.none());
}

}  // namespace corvid::overflow
