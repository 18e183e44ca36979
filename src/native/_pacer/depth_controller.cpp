#include "_pacer/depth_controller.hpp"

#include <nanobind/stl/optional.h>

#include <algorithm>
#include <cmath>

#include "common/compat.hpp"
#include "common/gil.hpp"
#include "common/interned.hpp"
#include "common/instance_gc.hpp"

namespace corvid::pacer {

namespace {

// int(value) with the host's rules (accepts str, float, __index__ ...).
nb::object to_int(nb::handle value) { return nb::steal(check(PyNumber_Long(value.ptr()))); }

// A value assigned to an integer field: anything with __index__, kept as a
// plain int.
nb::object to_index(nb::handle value) {
    nb::object index = nb::steal(check(PyNumber_Index(value.ptr())));
    if (PyLong_CheckExact(index.ptr())) return index;
    return to_int(index);
}

double to_double(nb::handle value) {
    double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

bool less(nb::handle a, nb::handle b) { return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT)) == 1; }
nb::object max_of(nb::handle a, nb::handle b) { return nb::borrow(less(a, b) ? b : a); }
nb::object min_of(nb::handle a, nb::handle b) { return nb::borrow(less(b, a) ? b : a); }
nb::object plus(nb::handle a, nb::handle b) { return nb::steal(check(PyNumber_Add(a.ptr(), b.ptr()))); }

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

nb::object constant_int(PyObject *name, std::int64_t fallback) {
    nb::object v = module_constant(name);
    return v.is_valid() ? to_int(v) : nb::int_(fallback);
}

}  // namespace

DepthController::DepthController(nb::handle floor_arg, nb::handle cap_arg, nb::handle clock_arg) {
    floor = max_of(nb::int_(1), to_int(floor_arg));
    cap = max_of(floor, to_int(cap_arg));
    if (!clock_arg.is_none() && check(PyObject_IsTrue(clock_arg.ptr())))
        clock = nb::borrow(clock_arg);
    else
        clock = nb::module_::import_("time").attr("monotonic");
    target = floor;
    frozen = !less(floor, cap);  // nothing to explore
    best_target = target;
    wave_bytes = nb::int_(0);
    wave_parts = nb::int_(0);
    trajectory.append(target);
}

void DepthController::record(nb::handle nbytes) {
    if (frozen) return;
    if (!clock.is_valid()) throw nb::type_error("DepthController has no clock");
    double now = to_double(clock());
    if (!wave_t0) wave_t0 = now;
    wave_bytes = plus(wave_bytes, to_int(nbytes));
    wave_parts = plus(wave_parts, nb::int_(1));
    // A wave lasts until as many parts as the depth (and a minimum) finished.
    if (less(wave_parts, max_of(target, constant_int(g_min_wave_name, kMinWaveParts)))) return;

    double elapsed = std::max(now - *wave_t0, 1e-6);
    double goodput = to_double(nb::steal(check(PyNumber_TrueDivide(wave_bytes.ptr(), nb::float_(elapsed).ptr()))));
    wave_t0.reset();
    wave_bytes = nb::int_(0);
    wave_parts = nb::int_(0);
    if (discard_next) {  // warm-up wave right after a depth change
        discard_next = false;
        return;
    }
    samples.append(nb::float_(goodput));
    if (less(nb::int_(nb::len(samples)), constant_int(g_samples_name, kSamplesPerDepth))) return;

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
    trajectory.append(target);
}

void DepthController::grow() {
    if (!less(target, cap)) {
        frozen = true;
        return;
    }
    // int(target * grow) clamped to [target, cap] before it is converted, so
    // an assigned growth factor (huge, negative, nan) cannot overflow; a nan
    // product compares false both ways and leaves the target.
    nb::float_ product(std::trunc(to_double(target) * constant_double(g_grow_name, kGrow)));
    nb::object grown = target;
    if (!less(product, cap)) grown = cap;
    else if (less(target, product)) grown = nb::steal(check(PyLong_FromDouble(to_double(product))));
    target = min_of(max_of(grown, plus(target, nb::int_(1))), cap);
    discard_next = true;
    samples = nb::list();
}

namespace {


nb::object controller_repr(const DepthController &c) {
    return nb::str("DepthController(floor={}, cap={}, target={}, frozen={})")
        .format(c.floor, c.cap, c.target, nb::bool_(c.frozen));
}

// An integer field: reads answer the int, assignments take anything with
// __index__ (as the fixed-width fields once did) and store a plain int.
template <nb::object DepthController::*Field>
void def_int_field(nb::class_<DepthController> &cls, const char *name) {
    cls.def_prop_rw(
        name, [](const DepthController &c) { return c.*Field; },
        [](DepthController &c, nb::handle value) { c.*Field = to_index(value); });
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

    nb::class_<DepthController> cls(m, "DepthController", nb::dynamic_attr(), nb::type_slots(state_gc_slots<DepthController>),
                                    "Picks the number of part uploads to keep in flight from measured goodput.");
    cls.def(nb::init<nb::handle, nb::handle, nb::handle>(), nb::arg("floor"), nb::arg("cap"),
            nb::arg("clock") = nb::none())
        .def("target", [](const DepthController &c) { return c.target; }, "The depth to keep in flight now.")
        .def("record", &DepthController::record, nb::arg("nbytes"), "Report one finished part of `nbytes` bytes.")
        .def("_observe", &DepthController::observe, nb::arg("goodput"))
        .def("_grow", &DepthController::grow)
        .def("__repr__", &controller_repr)
        .def_rw("_clock", &DepthController::clock)
        .def_rw("_frozen", &DepthController::frozen)
        .def_rw("_ref_goodput", &DepthController::ref_goodput)
        .def_rw("_wave_t0", &DepthController::wave_t0)
        .def_rw("_discard_next", &DepthController::discard_next)
        .def_rw("_samples", &DepthController::samples)
        .def_rw("trajectory", &DepthController::trajectory);
    def_int_field<&DepthController::floor>(cls, "floor");
    def_int_field<&DepthController::cap>(cls, "cap");
    def_int_field<&DepthController::target>(cls, "_target");
    def_int_field<&DepthController::best_target>(cls, "_best_target");
    def_int_field<&DepthController::wave_bytes>(cls, "_wave_bytes");
    def_int_field<&DepthController::wave_parts>(cls, "_wave_parts");
}

}  // namespace corvid::pacer
