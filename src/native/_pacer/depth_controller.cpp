#include "_pacer/depth_controller.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "common/compat.hpp"
#include "common/gil.hpp"
#include "common/interned.hpp"
#include "common/instance_gc.hpp"

namespace corvid::pacer {

namespace {

// int(value) with the host's rules (accepts str, float, __index__ ...).
std::int64_t to_int64(nb::handle value) {
    nb::object as_int = nb::steal(check(PyNumber_Long(value.ptr())));
    long long v = PyLong_AsLongLong(as_int.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

double to_double(nb::handle value) {
    double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

nb::object py_int(std::int64_t v) { return nb::steal(check(PyLong_FromLongLong(v))); }

// The tuning constants are module attributes read where they are used, so an
// owner or a test that assigns corvid._pacer._EPS (say) changes the
// controllers' behaviour from then on; the built-in value stands in when the
// attribute is gone.
PyObject *g_grow_name, *g_eps_name, *g_samples_name, *g_min_wave_name;

nb::object module_constant(PyObject *name) {
    PyObject *mod = PyImport_GetModule(nb::str("corvid._pacer").ptr());
    if (!mod) {
        if (PyErr_Occurred()) throw nb::python_error();
        return {};
    }
    nb::object module = nb::steal(mod);
    PyObject *value = nullptr;
    check(get_optional_attr(module.ptr(), name, &value));
    return nb::steal(value);
}

double constant_double(PyObject *name, double fallback) {
    nb::object v = module_constant(name);
    return v.is_valid() ? to_double(v) : fallback;
}

std::int64_t constant_int(PyObject *name, std::int64_t fallback) {
    nb::object v = module_constant(name);
    return v.is_valid() ? to_int64(v) : fallback;
}

}  // namespace

DepthController::DepthController(nb::handle floor_arg, nb::handle cap_arg, nb::handle clock_arg) {
    floor = std::max<std::int64_t>(1, to_int64(floor_arg));
    cap = std::max(floor, to_int64(cap_arg));
    if (!clock_arg.is_none() && check(PyObject_IsTrue(clock_arg.ptr())))
        clock = nb::borrow(clock_arg);
    else
        clock = nb::module_::import_("time").attr("monotonic");
    target = floor;
    frozen = cap <= floor;  // nothing to explore
    best_target = target;
    trajectory.append(py_int(target));
}

void DepthController::record(nb::handle nbytes) {
    if (frozen) return;
    if (!clock.is_valid()) throw nb::type_error("DepthController has no clock");
    double now = to_double(clock());
    if (!wave_t0) wave_t0 = now;
    wave_bytes += to_int64(nbytes);
    wave_parts += 1;
    // A wave lasts until as many parts as the depth (and a minimum) finished.
    if (wave_parts < std::max(target, constant_int(g_min_wave_name, kMinWaveParts))) return;

    double elapsed = std::max(now - *wave_t0, 1e-6);
    double goodput = static_cast<double>(wave_bytes) / elapsed;
    wave_t0.reset();
    wave_bytes = 0;
    wave_parts = 0;
    if (discard_next) {  // warm-up wave right after a depth change
        discard_next = false;
        return;
    }
    samples.append(nb::float_(goodput));
    if (static_cast<std::int64_t>(nb::len(samples)) < constant_int(g_samples_name, kSamplesPerDepth)) return;

    // The worse wave is the conservative rate of this depth.
    double agg = 0.0;
    bool first = true;
    for (nb::handle s : samples) {
        double v = to_double(s);
        if (first || v < agg) agg = v;
        first = false;
    }
    samples = nb::list();
    observe(agg);
}

void DepthController::observe(double goodput) {
    if (!ref_goodput) {
        ref_goodput = goodput;
        best_target = target;
        grow();
    } else if (goodput >= *ref_goodput * (1.0 + constant_double(g_eps_name, kEps))) {
        best_target = target;
        ref_goodput = goodput;
        grow();
    } else {
        target = best_target;  // the last step did not pay off
        frozen = true;
    }
    trajectory.append(py_int(target));
}

void DepthController::grow() {
    if (target >= cap) {
        frozen = true;
        return;
    }
    // int(target * grow) clamped to [target, cap] before it is converted, so
    // an assigned growth factor (huge, negative, nan) cannot overflow.
    double product = std::trunc(static_cast<double>(target) * constant_double(g_grow_name, kGrow));
    std::int64_t grown = target;
    if (product >= static_cast<double>(cap)) grown = cap;
    else if (product > static_cast<double>(target)) grown = static_cast<std::int64_t>(product);
    target = std::min(std::max(grown, target + 1), cap);
    discard_next = true;
    samples = nb::list();
}

namespace {

int controller_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    auto *c = nb::inst_ptr<DepthController>(self);
    Py_VISIT(c->clock.ptr());
    Py_VISIT(c->samples.ptr());
    Py_VISIT(c->trajectory.ptr());
    return visit_instance_dict(self, visit, arg);
}

int controller_clear(PyObject *self) {
    if (nb::inst_ready(self)) {
        auto *c = nb::inst_ptr<DepthController>(self);
        // Members become null before the old values are released.
        nb::object clock = std::move(c->clock);
        nb::object samples = std::move(c->samples);
        nb::object trajectory = std::move(c->trajectory);
    }
    clear_instance_dict(self);
    return 0;
}

PyType_Slot controller_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(controller_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(controller_clear)},
    {0, nullptr},
};

std::string controller_repr(const DepthController &c) {
    return "DepthController(floor=" + std::to_string(c.floor) + ", cap=" + std::to_string(c.cap) +
           ", target=" + std::to_string(c.target) + ", frozen=" + (c.frozen ? "True" : "False") + ")";
}

}  // namespace

void register_depth_controller(nb::module_ &m) {
    m.doc() = "Adaptive upload depth: how many part uploads to keep in flight, chosen from measured goodput.";
    g_grow_name = intern_name("_GROW");
    g_eps_name = intern_name("_EPS");
    g_samples_name = intern_name("_SAMPLES_PER_DEPTH");
    g_min_wave_name = intern_name("_MIN_WAVE_PARTS");
    m.attr("_GROW") = kGrow;
    m.attr("_EPS") = kEps;
    m.attr("_SAMPLES_PER_DEPTH") = kSamplesPerDepth;
    m.attr("_MIN_WAVE_PARTS") = kMinWaveParts;

    nb::class_<DepthController>(m, "DepthController", nb::dynamic_attr(),
                                nb::type_slots(controller_slots),
                                "Picks the number of part uploads to keep in flight from measured goodput.")
        .def(nb::init<nb::handle, nb::handle, nb::handle>(), nb::arg("floor"), nb::arg("cap"),
             nb::arg("clock") = nb::none())
        .def("target", [](const DepthController &c) { return c.target; },
             "The depth to keep in flight now.")
        .def("record", &DepthController::record, nb::arg("nbytes"),
             "Report one finished part of `nbytes` bytes.")
        .def("_observe", &DepthController::observe, nb::arg("goodput"))
        .def("_grow", &DepthController::grow)
        .def("__repr__", &controller_repr)
        .def_rw("floor", &DepthController::floor)
        .def_rw("cap", &DepthController::cap)
        .def_rw("_clock", &DepthController::clock)
        .def_rw("_target", &DepthController::target)
        .def_rw("_frozen", &DepthController::frozen)
        .def_rw("_ref_goodput", &DepthController::ref_goodput)
        .def_rw("_best_target", &DepthController::best_target)
        .def_rw("_wave_t0", &DepthController::wave_t0)
        .def_rw("_wave_bytes", &DepthController::wave_bytes)
        .def_rw("_wave_parts", &DepthController::wave_parts)
        .def_rw("_discard_next", &DepthController::discard_next)
        .def_rw("_samples", &DepthController::samples)
        .def_rw("trajectory", &DepthController::trajectory);
}

}  // namespace corvid::pacer
