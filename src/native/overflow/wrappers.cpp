#include "overflow/wrappers.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <tuple>
#include <type_traits>
#include <vector>

#include "overflow/config.hpp"
#include "overflow/dispatch.hpp"
#include "overflow/heaviness.hpp"
#include "overflow/monitor.hpp"

namespace corvid::overflow {

namespace {


// ---------------------------------------------------------------------------
// Object layouts. nb::object members own their reference; the instance dict
// and weak-reference list are owned and filled by CPython's generic machinery.

struct CallableObj {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    nb::object original, monitor, sig;
    PyObject *dict;
    PyObject *weakrefs;

    auto members() { return std::tie(original, monitor, sig); }
};

struct MethodObj {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    nb::object func, monitor, name, sig;
    PyObject *dict;
    PyObject *weakrefs;

    auto members() { return std::tie(func, monitor, name, sig); }
    // The last heaviness verdict read from the monitor's memo maps, valid
    // while the watch epoch and the monitor are the same.
    uint64_t verdict_epoch;
    PyObject *verdict_monitor;  // identity only
    PyObject *verdict_learned;  // the monitor's _learned_heavy then (borrowed)
    bool verdict_heavy;
};

struct BoundObj {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    nb::object func, obj, monitor, sig, name;
    PyObject *dict;
    PyObject *weakrefs;

    auto members() { return std::tie(func, obj, monitor, sig, name); }
};

struct ThunkObj {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    nb::object func, args, kwargs;
    bool started;

    auto members() { return std::tie(func, args, kwargs); }
};

PyTypeObject *g_callable_type = nullptr;
PyTypeObject *g_method_type = nullptr;
PyTypeObject *g_bound_type = nullptr;
PyTypeObject *g_thunk_type = nullptr;

template <typename T>
T *as(PyObject *o) {
    return reinterpret_cast<T *>(o);
}

// Swaps a member to null before dropping the reference, so a destructor that
// runs Python code never sees a dangling field.
inline void clear_member(nb::object &field) { nb::object gone = std::move(field); }

inline void clear_dict(PyObject *&dict) { Py_CLEAR(dict); }

// The garbage-collector slots of the raw types, written once. Each type lists
// the references it owns in members(); an instance dict and a weak-reference
// list are handled where the type has them. Traverse visits the type too
// (heap types); dealloc untracks, clears weak references, clears, destroys
// the C++ members, frees and drops the type.
template <typename T>
int gc_traverse(PyObject *self_, visitproc visit, void *arg) noexcept {
    T *self = as<T>(self_);
    Py_VISIT(Py_TYPE(self_));
    int found = 0;
    std::apply([&](auto &...m) { ((found = found ? found : (m.ptr() ? visit(m.ptr(), arg) : 0)), ...); },
               self->members());
    if (found) return found;
    if constexpr (requires { self->dict; }) Py_VISIT(self->dict);
    return 0;
}

template <typename T>
int gc_clear(PyObject *self_) noexcept {
    T *self = as<T>(self_);
    std::apply([](auto &...m) { (clear_member(m), ...); }, self->members());
    if constexpr (requires { self->dict; }) clear_dict(self->dict);
    return 0;
}

template <typename T>
void gc_dealloc(PyObject *self_) noexcept {
    T *self = as<T>(self_);
    PyTypeObject *tp = Py_TYPE(self_);
    PyObject_GC_UnTrack(self_);
    if constexpr (requires { self->weakrefs; }) {
        if (self->weakrefs) PyObject_ClearWeakRefs(self_);
    }
    gc_clear<T>(self_);
    std::apply([](auto &...m) { (std::destroy_at(&m), ...); }, self->members());
    tp->tp_free(self_);
    Py_DECREF(tp);
}

// Allocates an instance of one of the raw types and placement-constructs the
// C++ members; the caller fills them.
template <typename T>
T *alloc(PyTypeObject *tp) {
    PyObject *raw = tp->tp_alloc(tp, 0);
    if (!raw) throw nb::python_error();
    T *self = as<T>(raw);
    if constexpr (std::is_same_v<T, CallableObj>) {
        new (&self->original) nb::object();
        new (&self->monitor) nb::object();
        new (&self->sig) nb::object();
    } else if constexpr (std::is_same_v<T, BoundObj>) {
        new (&self->func) nb::object();
        new (&self->obj) nb::object();
        new (&self->monitor) nb::object();
        new (&self->sig) nb::object();
        new (&self->name) nb::object();
    } else if constexpr (std::is_same_v<T, ThunkObj>) {
        new (&self->func) nb::object();
        new (&self->args) nb::object();
        new (&self->kwargs) nb::object();
        self->started = false;
    } else {
        static_assert(std::is_same_v<T, MethodObj>);
        self->verdict_epoch = 0;
        self->verdict_monitor = nullptr;
        self->verdict_learned = nullptr;
        self->verdict_heavy = false;
        new (&self->func) nb::object();
        new (&self->monitor) nb::object();
        new (&self->name) nb::object();
        new (&self->sig) nb::object();
    }
    return self;
}

PyObject *bound_vectorcall(PyObject *, PyObject *const *, size_t, PyObject *);

// ---------------------------------------------------------------------------
// Shared helpers

nb::object sig_of(nb::handle func) { return sig_key(func); }

nb::object attr_or(nb::handle obj, PyObject *name, nb::handle fallback) {
    nb::object v = optional_attr(obj, name);
    return v.is_valid() ? v : nb::borrow(fallback);
}

void set_in_dict(PyObject *self, PyObject *name, nb::handle value) {
    check(PyObject_GenericSetAttr(self, name, value.ptr()));
}

// The ordinary binding of `func` to `obj`, what attribute access would give
// without a wrapper.
PyObject *bind(PyObject *func, PyObject *obj, PyObject *type) {
    if (PyFunction_Check(func))
        return (obj && obj != Py_None) ? PyMethod_New(func, obj) : Py_NewRef(func);
    descrgetfunc get = Py_TYPE(func)->tp_descr_get;
    if (!get) return Py_NewRef(func);
    return get(func, obj, type);
}

// Calls func(obj, *args) reusing the caller's argument vector when the
// caller allows a slot in front of it.
PyObject *call_with_self(PyObject *func, PyObject *obj, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) {
        PyObject **slot = const_cast<PyObject **>(args) - 1;
        PyObject *saved = *slot;
        *slot = obj;
        PyObject *r = PyObject_Vectorcall(func, slot, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kwnames);
        *slot = saved;
        return r;
    }
    Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject *small[9];
    std::vector<PyObject *> big;
    PyObject **buf = small;
    if (total + 2 > 9) {
        big.resize(total + 2);
        buf = big.data();
    }
    buf[1] = obj;
    for (Py_ssize_t i = 0; i < total; ++i) buf[i + 2] = args[i];
    return PyObject_Vectorcall(func, buf + 1, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               kwnames);
}

// Positional arguments as a tuple (with `first` in front when given) and the
// keywords as a new dict: only built on the dispatch path.
std::pair<nb::object, nb::object> pack(PyObject *first, PyObject *const *args, size_t nargsf,
                                       PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t lead = first ? 1 : 0;
    nb::object tuple = nb::steal(check(PyTuple_New(nargs + lead)));
    if (first) PyTuple_SET_ITEM(tuple.ptr(), 0, Py_NewRef(first));
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(tuple.ptr(), i + lead, Py_NewRef(args[i]));
    nb::object kwargs = nb::steal(check(PyDict_New()));
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i)
            check(PyDict_SetItem(kwargs.ptr(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]));
    }
    return {std::move(tuple), std::move(kwargs)};
}

// A wrapped call straight from the caller's argument vector (borrowed for
// the duration of the call). The tuple, dict and thunk are built on first
// request; once a thunk exists the call runs through it, so the thunk and the
// site agree on whether the user's code started.
class VectorSite final : public CallSite {
public:
    VectorSite(PyObject *func, PyObject *first, PyObject *const *args, size_t nargsf,
               PyObject *kwnames)
        : func_(func), first_(first), argv_(args), nargsf_(nargsf), kwnames_(kwnames) {}

    nb::handle args() override {
        pack_once();
        return args_;
    }
    nb::handle kwargs() override {
        pack_once();
        return kwargs_;
    }
    nb::handle thunk() override {
        if (!thunk_.is_valid()) thunk_ = make_thunk(func_, args(), kwargs());
        return thunk_;
    }
    nb::object run() override {
        if (thunk_.is_valid()) return thunk_();
        started_ = true;
        PyObject *r = first_ ? call_with_self(func_, first_, argv_, nargsf_, kwnames_)
                             : PyObject_Vectorcall(func_, argv_, nargsf_, kwnames_);
        if (!r) throw nb::python_error();
        return nb::steal(r);
    }
    bool started() const { return started_ || (thunk_.is_valid() && thunk_started(thunk_)); }

private:
    void pack_once() {
        if (args_.is_valid()) return;
        auto [t, kw] = pack(first_, argv_, nargsf_, kwnames_);
        args_ = std::move(t);
        kwargs_ = std::move(kw);
    }

    PyObject *func_, *first_;
    PyObject *const *argv_;
    size_t nargsf_;
    PyObject *kwnames_;
    nb::object args_, kwargs_, thunk_;
    bool started_ = false;
};

// Runs a wrapped call through the monitor. A failure of the monitor's own
// machinery before the user's code started never reaches the caller: the call
// then runs here, plainly. Errors after the user's code started are the user's.
PyObject *dispatch_call(PyObject *monitor, PyObject *func, PyObject *first, PyObject *sig,
                        PyObject *name, PyObject *const *args, size_t nargsf, PyObject *kwnames,
                        bool is_method) {
    VectorSite call(func, first, args, nargsf, kwnames);
    try {
        return route_dispatch(monitor, func, call, sig, name, is_method).release().ptr();
    } catch (nb::python_error &e) {
        if (!is_ordinary(e) || call.started()) {
            e.restore();
            return nullptr;
        }
    } catch (...) {
        if (call.started()) {
            restore_error_from_current_exception();
            return nullptr;
        }
    }
    if (first) return call_with_self(func, first, args, nargsf, kwnames);
    return PyObject_Vectorcall(func, args, nargsf, kwnames);
}

// Whether calls through a wrapper owned by `monitor` go to dispatch. A
// monitor whose state cannot be read counts as stopped.
inline bool dispatching(PyObject *monitor) {
    if (!monitor || monitor == Py_None) return false;
    if (MonitorCore *core = exact_monitor(monitor)) return core->running;
    try {
        return monitor_running(monitor);
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        return false;
    }
}

// ---------------------------------------------------------------------------
// _OverflowCallable

PyObject *callable_vectorcall(PyObject *self_, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    CallableObj *self = as<CallableObj>(self_);
    PyObject *original = self->original.ptr();
    if (!original) {
        PyErr_SetString(PyExc_TypeError, "_OverflowCallable has no callable");
        return nullptr;
    }
    PyObject *monitor = self->monitor.ptr();
    bool go;
    try {
        go = dispatching(monitor);
    } catch (...) {
        restore_error_from_current_exception();
        return nullptr;
    }
    if (!go) return PyObject_Vectorcall(original, args, nargsf, kwnames);
    // Keep the wrapper's fields alive for the whole call: user code may rebind them.
    nb::object keep_orig = nb::borrow(original), keep_mon = nb::borrow(monitor);
    nb::object sig = self->sig.is_valid() ? self->sig : nb::none();
    nb::object name;
    try {
        PyObject *found = nullptr;
        // The display name is the copied metadata in the wrapper's own dict.
        if (self->dict && dict_get_ref(self->dict, g_names.dunder_name, &found) < 0)
            throw nb::python_error();
        name = found ? nb::steal(found) : attr_or(self_, g_names.dunder_name, nb::str("func"));
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) {
            e.restore();
            return nullptr;
        }
        name = nb::str("func");
    }
    return dispatch_call(monitor, original, nullptr, sig.ptr(), name.ptr(), args, nargsf, kwnames,
                         false);
}

PyObject *callable_new(PyTypeObject *tp, PyObject *args, PyObject *kwds) {
    static const char *kw[] = {"original", "monitor", nullptr};
    PyObject *original = nullptr, *monitor = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:_OverflowCallable", const_cast<char **>(kw),
                                     &original, &monitor))
        return nullptr;
    try {
        return make_callable_wrapper(original, monitor).release().ptr();
    } catch (...) {
        restore_error_from_current_exception();
        return nullptr;
    }
}

// A plain wrapped function reached as a class attribute binds as the user's
// own function: it does not dispatch.
PyObject *callable_descr_get(PyObject *self_, PyObject *obj, PyObject *type) {
    CallableObj *self = as<CallableObj>(self_);
    if (!self->original.is_valid()) return Py_NewRef(self_);
    return bind(self->original.ptr(), obj, type);
}

PyObject *identity_reduce(PyObject *payload) {
    try {
        nb::object identity = nb::borrow(module_handle()).attr("_identity");
        return nb::make_tuple(identity, nb::make_tuple(nb::borrow(payload))).release().ptr();
    } catch (...) {
        restore_error_from_current_exception();
        return nullptr;
    }
}

PyObject *callable_reduce(PyObject *self_, PyObject *) {
    CallableObj *self = as<CallableObj>(self_);
    return identity_reduce(self->original.is_valid() ? self->original.ptr() : Py_None);
}

PyObject *repr_of(const char *kind, PyObject *target) {
    if (!target) return PyUnicode_FromFormat("<%s>", kind);
    return PyUnicode_FromFormat("<%s of %R>", kind, target);
}

PyObject *callable_repr(PyObject *self_) {
    return repr_of("_OverflowCallable", as<CallableObj>(self_)->original.ptr());
}

// ---------------------------------------------------------------------------
// _OverflowMethod

// Reads monitor.<field> from the instance dict of an exact monitor (no
// descriptor on the class shadows these names). Borrowed; null when missing.
PyObject *field(PyObject *monitor_dict, PyObject *name) {
    PyObject *v = PyDict_GetItemWithError(monitor_dict, name);
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// A memoised boolean, or -1 when nothing is stored yet.
int memo(PyObject *map, PyObject *key, Py_hash_t hash) {
    if (!map || !PyDict_Check(map)) return -1;
    PyObject *v = _PyDict_GetItem_KnownHash(map, key, hash);
    if (!v) {
        if (PyErr_Occurred()) throw nb::python_error();
        return -1;
    }
    int t = PyObject_IsTrue(v);
    if (t < 0) throw nb::python_error();
    return t;
}

bool truthy_call(nb::handle self, PyObject *method, nb::handle arg) {
    nb::object r = nb::steal(check(PyObject_CallMethodOneArg(self.ptr(), method, arg.ptr())));
    int t = PyObject_IsTrue(r.ptr());
    if (t < 0) throw nb::python_error();
    return t == 1;
}

// Whether an access on an instance should yield the ordinary binding: the
// function is barred or demoted, or neither heaviness test holds.
bool light_method(MethodObj *self, PyObject *monitor) {
    PyObject *sig = self->sig.is_valid() ? self->sig.ptr() : Py_None;
    // A barred or demoted function binds plainly, and so does one that is
    // not heavy: the heaviness verdict comes first because it is the common
    // answer and both roads end in the same ordinary binding.
    if (plain_monitor(monitor)) {
        PyObject *d = instance_dict(monitor);
        bool heavy;
        PyObject *learned;
        if (self->verdict_epoch == watch_epoch() && self->verdict_monitor == monitor &&
            watch_enabled()) {
            // Same epoch: the monitor's dict still maps the field to this set.
            heavy = self->verdict_heavy;
            learned = self->verdict_learned;
        } else {
            // Verdicts straight from the monitor's memo maps; the full
            // prediction only runs for a function not seen before.
            Py_hash_t hash = PyObject_Hash(sig);
            if (hash == -1) throw nb::python_error();
            int strict = memo(field(d, g_names.predict_cache), sig, hash);
            if (strict < 0) strict = truthy_call(monitor, g_names.predict_heavy, self->func);
            int relaxed = strict ? 1 : memo(field(d, g_names.relaxed_cache), sig, hash);
            if (relaxed < 0) relaxed = truthy_call(monitor, g_names.relaxed_heavy, self->func);
            heavy = strict || relaxed;
            learned = field(d, g_names.learned_heavy);
            self->verdict_heavy = heavy;
            self->verdict_learned = learned;
            self->verdict_monitor = monitor;
            self->verdict_epoch = watch_enabled() ? watch_epoch() : 0;
        }
        // Learned functions live in a set, which cannot be watched; it is
        // normally empty.
        if (!heavy) {
            bool none_learned =
                !learned || (PyAnySet_Check(learned) && PySet_GET_SIZE(learned) == 0);
            if (none_learned || !contains(learned, sig)) return true;
        }
        return contains(field(d, g_names.demoted), sig) ||
               contains(field(d, g_names.offload_incompatible), sig);
    }
    nb::handle mon(monitor);
    if (contains(mon.attr(g_names.demoted).ptr(), sig)) return true;
    if (contains(mon.attr(g_names.offload_incompatible).ptr(), sig)) return true;
    if (truthy_call(mon, g_names.predict_heavy, self->func)) return false;
    return !truthy_call(mon, g_names.relaxed_heavy, self->func);
}

PyObject *new_bound(nb::handle func, nb::handle obj, nb::handle monitor, nb::handle sig,
                    nb::handle name) {
    BoundObj *b = alloc<BoundObj>(g_bound_type);
    b->vectorcall = bound_vectorcall;
    b->func = nb::borrow(func);
    b->obj = nb::borrow(obj);
    b->monitor = nb::borrow(monitor);
    b->sig = nb::borrow(sig);
    b->name = nb::borrow(name);
    return reinterpret_cast<PyObject *>(b);
}

// Whether an access through an instance binds as _BoundOverflow. The
// monitor's own failures count as "no": the ordinary binding always works.
int method_is_heavy(MethodObj *self, PyObject *monitor) {
    if (!monitor || monitor == Py_None) return 0;
    MonitorCore *core = exact_monitor(monitor);
    if (core && !core->running) return 0;
    // Hold the monitor: the heaviness tests may run code that rebinds fields.
    nb::object keep_mon = nb::borrow(monitor);
    try {
        if (!core && !monitor_running(monitor)) return 0;
        return light_method(self, monitor) ? 0 : 1;
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) {
            e.restore();
            return -1;
        }
    } catch (...) {
    }
    return 0;
}

PyObject *method_descr_get(PyObject *self_, PyObject *obj, PyObject *type) {
    MethodObj *self = as<MethodObj>(self_);
    PyObject *func = self->func.ptr();
    if (!func) return Py_NewRef(self_);
    if (!obj || obj == Py_None) return Py_NewRef(func);
    nb::object keep_func = nb::borrow(func);
    PyObject *monitor = self->monitor.ptr();
    int heavy = method_is_heavy(self, monitor);
    if (heavy < 0) return nullptr;
    if (!heavy) return bind(func, obj, type);
    try {
        return new_bound(keep_func, obj, nb::borrow(monitor),
                         self->sig.is_valid() ? self->sig : nb::none(),
                         self->name.is_valid() ? self->name : nb::none());
    } catch (...) {
        restore_error_from_current_exception();
        return nullptr;
    }
}

// obj.method(...) without a bound-method object: the type is a method
// descriptor, so the interpreter calls it with the instance as the first
// argument. Same outcome as binding first and calling the result.
PyObject *method_vectorcall(PyObject *self_, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) {
    MethodObj *self = as<MethodObj>(self_);
    PyObject *func = self->func.ptr();
    if (!func) {
        PyErr_SetString(PyExc_TypeError, "_OverflowMethod has no function");
        return nullptr;
    }
    if (PyVectorcall_NARGS(nargsf) < 1) {
        PyErr_SetString(PyExc_TypeError, "_OverflowMethod needs the instance as first argument");
        return nullptr;
    }
    PyObject *monitor = self->monitor.ptr();
    // Light method on a plain running monitor with a current verdict: no
    // Python code runs before the call, so nothing needs holding.
    if (monitor && self->verdict_monitor == monitor && self->verdict_epoch == watch_epoch() &&
        !self->verdict_heavy) {
        MonitorCore *core = exact_monitor(monitor);
        PyObject *learned = self->verdict_learned;
        if (core && core->running && plain_monitor_memo(monitor, core) &&
            (!learned || (PyAnySet_Check(learned) && PySet_GET_SIZE(learned) == 0)))
            return PyObject_Vectorcall(func, args, nargsf, kwnames);
    }
    nb::object keep_func = nb::borrow(func);
    int heavy = method_is_heavy(self, monitor);
    if (heavy < 0) return nullptr;
    if (!heavy) return PyObject_Vectorcall(func, args, nargsf, kwnames);
    nb::object keep_mon = nb::borrow(monitor);
    nb::object sig = self->sig.is_valid() ? self->sig : nb::none();
    nb::object name = self->name.is_valid() ? self->name : nb::none();
    return dispatch_call(monitor, func, nullptr, sig.ptr(), name.ptr(), args, nargsf, kwnames,
                         true);
}

PyObject *method_new(PyTypeObject *, PyObject *args, PyObject *kwds) {
    static const char *kw[] = {"func", "monitor", "name", nullptr};
    PyObject *func = nullptr, *monitor = nullptr, *name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:_OverflowMethod", const_cast<char **>(kw),
                                     &func, &monitor, &name))
        return nullptr;
    try {
        return make_method_wrapper(func, monitor, name).release().ptr();
    } catch (...) {
        restore_error_from_current_exception();
        return nullptr;
    }
}

PyObject *method_reduce(PyObject *self_, PyObject *) {
    MethodObj *self = as<MethodObj>(self_);
    return identity_reduce(self->func.is_valid() ? self->func.ptr() : Py_None);
}

PyObject *method_repr(PyObject *self_) {
    return repr_of("_OverflowMethod", as<MethodObj>(self_)->func.ptr());
}

// ---------------------------------------------------------------------------
// _BoundOverflow

PyObject *bound_vectorcall(PyObject *self_, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames) {
    BoundObj *self = as<BoundObj>(self_);
    PyObject *func = self->func.ptr(), *obj = self->obj.ptr();
    if (!func || !obj) {
        PyErr_SetString(PyExc_TypeError, "_BoundOverflow is not bound");
        return nullptr;
    }
    nb::object keep_func = nb::borrow(func), keep_obj = nb::borrow(obj);
    PyObject *monitor = self->monitor.ptr();
    bool go;
    try {
        go = dispatching(monitor);
    } catch (...) {
        restore_error_from_current_exception();
        return nullptr;
    }
    if (!go) return call_with_self(func, obj, args, nargsf, kwnames);
    nb::object keep_mon = nb::borrow(monitor);
    nb::object sig = self->sig.is_valid() ? self->sig : nb::none();
    nb::object name = self->name.is_valid() ? self->name : nb::none();
    return dispatch_call(monitor, func, obj, sig.ptr(), name.ptr(), args, nargsf, kwnames, true);
}

PyObject *bound_new(PyTypeObject *, PyObject *args, PyObject *kwds) {
    static const char *kw[] = {"func", "obj", "monitor", "sig", "name", nullptr};
    PyObject *func, *obj, *monitor, *sig, *name;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOO:_BoundOverflow", const_cast<char **>(kw),
                                     &func, &obj, &monitor, &sig, &name))
        return nullptr;
    try {
        return new_bound(func, obj, monitor, sig, name);
    } catch (...) {
        restore_error_from_current_exception();
        return nullptr;
    }
}

// Restoring looks the method up again on the restored instance.
PyObject *bound_reduce(PyObject *self_, PyObject *) {
    BoundObj *self = as<BoundObj>(self_);
    try {
        nb::object getattr_ = nb::module_::import_("builtins").attr("getattr");
        nb::object obj = self->obj.is_valid() ? self->obj : nb::none();
        nb::object name = self->name.is_valid() ? self->name : nb::none();
        return nb::make_tuple(getattr_, nb::make_tuple(obj, name)).release().ptr();
    } catch (...) {
        restore_error_from_current_exception();
        return nullptr;
    }
}

PyObject *bound_richcompare(PyObject *a, PyObject *b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(b) != g_bound_type) Py_RETURN_NOTIMPLEMENTED;
    BoundObj *x = as<BoundObj>(a), *y = as<BoundObj>(b);
    bool same = x->func.ptr() == y->func.ptr() && x->obj.ptr() == y->obj.ptr();
    return Py_NewRef((same == (op == Py_EQ)) ? Py_True : Py_False);
}

Py_hash_t bound_hash(PyObject *self_) {
    BoundObj *self = as<BoundObj>(self_);
    PyObject *pair = Py_BuildValue("(NN)", PyLong_FromVoidPtr(self->func.ptr()),
                                   PyLong_FromVoidPtr(self->obj.ptr()));
    if (!pair) return -1;
    Py_hash_t h = PyObject_Hash(pair);
    Py_DECREF(pair);
    return h;
}

PyObject *bound_get_func(PyObject *self_, void *) {
    PyObject *f = as<BoundObj>(self_)->func.ptr();
    return Py_NewRef(f ? f : Py_None);
}

PyObject *bound_get_self(PyObject *self_, void *) {
    PyObject *o = as<BoundObj>(self_)->obj.ptr();
    return Py_NewRef(o ? o : Py_None);
}

PyObject *bound_get_name(PyObject *self_, void *) {
    BoundObj *self = as<BoundObj>(self_);
    try {
        nb::object fallback = self->name.is_valid() ? self->name : nb::none();
        if (!self->func.is_valid()) return fallback.release().ptr();
        return attr_or(self->func, g_names.dunder_name, fallback).release().ptr();
    } catch (...) {
        restore_error_from_current_exception();
        return nullptr;
    }
}

PyObject *bound_repr(PyObject *self_) {
    BoundObj *self = as<BoundObj>(self_);
    if (!self->func.is_valid() || !self->obj.is_valid())
        return PyUnicode_FromString("<_BoundOverflow>");
    return PyUnicode_FromFormat("<_BoundOverflow %R of %R>", self->func.ptr(), self->obj.ptr());
}

// ---------------------------------------------------------------------------
// Thunk: runs the user's call here with the arguments of the call.

PyObject *thunk_vectorcall(PyObject *self_, PyObject *const *, size_t nargsf, PyObject *kwnames) {
    ThunkObj *self = as<ThunkObj>(self_);
    if (PyVectorcall_NARGS(nargsf) != 0 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
        PyErr_SetString(PyExc_TypeError, "the local-run thunk takes no arguments");
        return nullptr;
    }
    if (!self->func.is_valid()) {
        PyErr_SetString(PyExc_TypeError, "the local-run thunk has been cleared");
        return nullptr;
    }
    self->started = true;
    nb::object func = self->func, args = self->args, kwargs = self->kwargs;
    PyObject *kw = (kwargs.is_valid() && PyDict_GET_SIZE(kwargs.ptr())) ? kwargs.ptr() : nullptr;
    return PyObject_Call(func.ptr(), args.ptr(), kw);
}

// ---------------------------------------------------------------------------
// Type objects

// Every object of these types is a wrapper; discovery never wraps it again.
PyObject *get_wrapped_marker(PyObject *, void *) { Py_RETURN_TRUE; }

PyGetSetDef kDictGetset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"_overflow_wrapped", get_wrapped_marker, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kCallableMembers[] = {
    {"_original", T_OBJECT_EX, offsetof(CallableObj, original), 0, nullptr},
    {"_monitor", T_OBJECT_EX, offsetof(CallableObj, monitor), 0, nullptr},
    {"_sig", T_OBJECT_EX, offsetof(CallableObj, sig), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(CallableObj, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CallableObj, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(CallableObj, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef kMethodMembers[] = {
    {"_func", T_OBJECT_EX, offsetof(MethodObj, func), 0, nullptr},
    {"_monitor", T_OBJECT_EX, offsetof(MethodObj, monitor), 0, nullptr},
    {"_name", T_OBJECT_EX, offsetof(MethodObj, name), 0, nullptr},
    {"_sig", T_OBJECT_EX, offsetof(MethodObj, sig), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(MethodObj, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(MethodObj, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObj, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef kBoundMembers[] = {
    {"_func", T_OBJECT_EX, offsetof(BoundObj, func), 0, nullptr},
    {"_obj", T_OBJECT_EX, offsetof(BoundObj, obj), 0, nullptr},
    {"_monitor", T_OBJECT_EX, offsetof(BoundObj, monitor), 0, nullptr},
    {"_sig", T_OBJECT_EX, offsetof(BoundObj, sig), 0, nullptr},
    {"_name", T_OBJECT_EX, offsetof(BoundObj, name), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(BoundObj, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(BoundObj, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(BoundObj, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kBoundGetset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__func__", bound_get_func, nullptr, nullptr, nullptr},
    {"__self__", bound_get_self, nullptr, nullptr, nullptr},
    {"__name__", bound_get_name, nullptr, nullptr, nullptr},
    {"_overflow_wrapped", get_wrapped_marker, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kThunkMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(ThunkObj, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef kCallableMethods[] = {
    {"__reduce__", callable_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef kMethodMethods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef kBoundMethods[] = {
    {"__reduce__", bound_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kCallableSlots[] = {
    {Py_tp_new, reinterpret_cast<void *>(callable_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(gc_dealloc<CallableObj>)},
    {Py_tp_traverse, reinterpret_cast<void *>(gc_traverse<CallableObj>)},
    {Py_tp_clear, reinterpret_cast<void *>(gc_clear<CallableObj>)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(callable_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(callable_repr)},
    {Py_tp_members, kCallableMembers},
    {Py_tp_getset, kDictGetset},
    {Py_tp_methods, kCallableMethods},
    {Py_tp_doc, const_cast<char *>("Stands in for a heavy user function; calls go to the "
                                   "monitor's dispatch while it runs.")},
    {0, nullptr},
};

PyType_Slot kMethodSlots[] = {
    {Py_tp_new, reinterpret_cast<void *>(method_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(gc_dealloc<MethodObj>)},
    {Py_tp_traverse, reinterpret_cast<void *>(gc_traverse<MethodObj>)},
    {Py_tp_clear, reinterpret_cast<void *>(gc_clear<MethodObj>)},
    {Py_tp_descr_get, reinterpret_cast<void *>(method_descr_get)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void *>(method_repr)},
    {Py_tp_members, kMethodMembers},
    {Py_tp_getset, kDictGetset},
    {Py_tp_methods, kMethodMethods},
    {Py_tp_doc, const_cast<char *>("Replaces a method in a user class; heavy methods bind "
                                   "as _BoundOverflow.")},
    {0, nullptr},
};

PyType_Slot kBoundSlots[] = {
    {Py_tp_new, reinterpret_cast<void *>(bound_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(gc_dealloc<BoundObj>)},
    {Py_tp_traverse, reinterpret_cast<void *>(gc_traverse<BoundObj>)},
    {Py_tp_clear, reinterpret_cast<void *>(gc_clear<BoundObj>)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_richcompare, reinterpret_cast<void *>(bound_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(bound_hash)},
    {Py_tp_repr, reinterpret_cast<void *>(bound_repr)},
    {Py_tp_members, kBoundMembers},
    {Py_tp_getset, kBoundGetset},
    {Py_tp_methods, kBoundMethods},
    {Py_tp_doc, const_cast<char *>("A heavy method bound to an instance; calls go to the "
                                   "monitor's dispatch.")},
    {0, nullptr},
};

PyType_Slot kThunkSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(gc_dealloc<ThunkObj>)},
    {Py_tp_traverse, reinterpret_cast<void *>(gc_traverse<ThunkObj>)},
    {Py_tp_clear, reinterpret_cast<void *>(gc_clear<ThunkObj>)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_members, kThunkMembers},
    {0, nullptr},
};

// Immutable types: the interpreter only specialises attribute loads through
// descriptors whose type cannot change.
constexpr unsigned kGcVectorcall = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                   Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE;

PyType_Spec kCallableSpec = {"corvid.overflow._OverflowCallable", sizeof(CallableObj), 0,
                             kGcVectorcall, kCallableSlots};
PyType_Spec kMethodSpec = {"corvid.overflow._OverflowMethod", sizeof(MethodObj), 0,
                           kGcVectorcall | Py_TPFLAGS_METHOD_DESCRIPTOR, kMethodSlots};
PyType_Spec kBoundSpec = {"corvid.overflow._BoundOverflow", sizeof(BoundObj), 0, kGcVectorcall,
                          kBoundSlots};
PyType_Spec kThunkSpec = {"corvid.overflow._LocalThunk", sizeof(ThunkObj), 0,
                          kGcVectorcall | Py_TPFLAGS_DISALLOW_INSTANTIATION, kThunkSlots};

PyTypeObject *make_type(nb::module_ &m, PyType_Spec *type_spec, const char *attr) {
    nb::object tp = nb::steal(check(PyType_FromModuleAndSpec(m.ptr(), type_spec, nullptr)));
    if (attr) {
        nb::setattr(m, attr, tp);
    } else {
        nb::setattr(m, "_LocalThunk", tp);
    }
    return reinterpret_cast<PyTypeObject *>(tp.ptr());  // the module attribute keeps it alive
}

// The remote-side shims. Each factory returns a fresh nested function that
// refers to nothing of this package (its globals are a private namespace), so
// cloudpickle ships it by value to a worker that does not have corvid.
constexpr const char *kShimSource = R"PY(
def _identity_factory():
    def _identity(func):
        return func
    return _identity


def _call_shim():
    def _call(_f, _a, _k):
        return _f(*_a, **_k)
    return _call


def _capture_shim():
    def _capture(_f, _a, _k):
        result = _f(*_a, **_k)
        return result, _a, _k
    return _capture


def _sanitize_call_shim():
    def _sanitize_call(_f, _a, _k):
        result = _f(*_a, **_k)
        import sys

        torch = sys.modules.get("torch")

        def _mv(o):
            if torch is not None:
                try:
                    if isinstance(o, torch.Tensor) and o.device.type == "cuda":
                        return o.detach().cpu()
                    if isinstance(o, torch.nn.Module):
                        return o.cpu()
                except Exception:
                    pass
            if isinstance(o, list):
                return [_mv(x) for x in o]
            if isinstance(o, tuple):
                return tuple(_mv(x) for x in o)
            if isinstance(o, dict):
                return {k: _mv(v) for k, v in o.items()}
            return o

        return _mv(result)
    return _sanitize_call


def _sanitize_capture_shim():
    def _sanitize_capture(_f, _a, _k):
        result = _f(*_a, **_k)
        import sys

        torch = sys.modules.get("torch")

        def _mv(o):
            if torch is not None:
                try:
                    if isinstance(o, torch.Tensor) and o.device.type == "cuda":
                        return o.detach().cpu()
                    if isinstance(o, torch.nn.Module):
                        return o.cpu()
                except Exception:
                    pass
            if isinstance(o, list):
                return [_mv(x) for x in o]
            if isinstance(o, tuple):
                return tuple(_mv(x) for x in o)
            if isinstance(o, dict):
                return {k: _mv(v) for k, v in o.items()}
            return o

        return _mv(result), _mv(_a), _mv(_k)
    return _sanitize_capture
)PY";

void register_shims(nb::module_ &m) {
    nb::module_ builtins = nb::module_::import_("builtins");
    nb::dict ns;
    ns["__name__"] = m.attr("__name__");
    ns["__builtins__"] = builtins;
    nb::object code = builtins.attr("compile")(kShimSource, "<corvid.overflow shims>", "exec");
    builtins.attr("exec")(code, ns);
    for (const char *name : {"_identity_factory", "_call_shim", "_capture_shim",
                             "_sanitize_call_shim", "_sanitize_capture_shim"}) {
        nb::setattr(m, name, ns[name]);
    }
    nb::setattr(m, "_identity", m.attr("_identity_factory")());
    nb::setattr(m, "_capture", m.attr("_capture_shim")());
    nb::setattr(m, "_call", m.attr("_call_shim")());
}


// ---------------------------------------------------------------------------
// The entry point

nb::object to_float(nb::handle v) { return nb::steal(check(PyNumber_Float(v.ptr()))); }

// The frame of the code that called overflow() (a C function has no frame of
// its own, so the innermost Python frame is the caller's).
nb::object calling_frame() {
    PyFrameObject *f = PyEval_GetFrame();
    return f ? nb::borrow(reinterpret_cast<PyObject *>(f)) : nb::none();
}

void retire(nb::handle previous) {
    try {
        nb::module_::import_("atexit").attr("unregister")(exit_handler(previous));
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
    }
    try {
        previous.attr("stop")();
    } catch (nb::python_error &e) {
        // The old monitor's failure must not keep the new one from starting.
        if (!is_ordinary(e)) throw;
        log_quiet(kLogger, LogLevel::Warning, "previous overflow monitor failed to stop (%s)",
                  nb::str(e.value()));
    }
}

nb::object overflow(nb::handle fast, nb::handle threshold, nb::handle check_interval,
                    nb::handle api_key, nb::handle api_url, nb::handle gpu_threshold,
                    nb::handle verbose, nb::handle policy, nb::handle priority,
                    nb::handle flexible, nb::handle caller_frame) {
    nb::handle m = module_handle();
    if (!priority.is_none() || !flexible.is_none()) {
        // Stack level 1 from C code names the Python frame that called us.
        check(PyErr_WarnEx(PyExc_DeprecationWarning,
                           "overflow(priority=, flexible=) are not implemented and are ignored", 1));
    }
    bool threshold_set = !threshold.is(unset());
    bool gpu_set = !gpu_threshold.is(unset());
    nb::str resolved = resolve_policy(policy, threshold_set, gpu_set);
    nb::object cpu = threshold_set
                         ? to_float(threshold)
                         : env_float(nb::str("CORVID_OVERFLOW_THRESHOLD"), nb::float_(85.0));
    nb::object gpu = gpu_set ? to_float(gpu_threshold) : nb::none();

    nb::object previous = m.attr("_active_monitor");
    if (!previous.is_none()) retire(previous);

    const Settings &cfg = settings();
    nb::object payload_mb = env_float(nb::str("CORVID_OVERFLOW_MAX_PAYLOAD_MB"), nb::float_(256.0));
    nb::object payload = payload_bytes(payload_mb);
    nb::dict kw;
    kw["policy"] = resolved;
    kw["fast"] = fast;
    kw["threshold"] = cpu;
    kw["gpu_threshold"] = gpu;
    kw["check_interval"] = check_interval;
    kw["api_key"] = api_key;
    kw["api_url"] = api_url;
    kw["verbose"] = verbose;
    kw["min_seconds"] =
        env_float(nb::str("CORVID_OVERFLOW_MIN_SECONDS"), nb::float_(const_float(names().min_seconds_default, cfg.min_seconds_default)));
    kw["max_payload_bytes"] = payload;
    kw["prewarm"] = env_bool(nb::str("CORVID_OVERFLOW_PREWARM"), nb::bool_(false));
    kw["cooldown_base"] =
        env_float(nb::str("CORVID_OVERFLOW_COOLDOWN"), nb::float_(const_float(names().cooldown_base_default, cfg.cooldown_base_default)));
    nb::object monitor = m.attr("_OverflowMonitor")(**kw);
    nb::setattr(m, "_active_monitor", monitor);

    nb::object frame = caller_frame.is_none() ? calling_frame() : nb::borrow(caller_frame);
    try {
        monitor.attr("start")(frame);
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        log_quiet(kLogger, LogLevel::Warning,
                  "overflow monitor failed to start (%s) \xe2\x80\x94 feature disabled",
                  nb::borrow(e.value()));
        try {
            monitor.attr("stop")();
        } catch (nb::python_error &e2) {
            if (!is_ordinary(e2)) throw;
        }
    }
    return monitor;
}

void register_entry(nb::module_ &m) {
    using namespace nb::literals;
    nb::setattr(m, "_active_monitor", nb::none());
    m.def("overflow", &overflow, "fast"_a.none() = false, "threshold"_a.none() = unset(),
          "check_interval"_a.none() = 0.5, "api_key"_a.none() = nb::none(),
          "api_url"_a.none() = nb::none(), "gpu_threshold"_a.none() = unset(),
          "verbose"_a.none() = true, "policy"_a.none() = nb::none(),
          "priority"_a.none() = nb::none(), "flexible"_a.none() = nb::none(),
          "_caller_frame"_a.none() = nb::none(),
          "Turn on the offload monitor for the calling script and return it.");
}

}  // namespace

nb::object make_callable_wrapper(nb::handle original, nb::handle monitor) {
    nb::object sig = sig_of(original);
    CallableObj *w = alloc<CallableObj>(g_callable_type);
    nb::object self = nb::steal(reinterpret_cast<PyObject *>(w));
    w->vectorcall = callable_vectorcall;
    w->original = nb::borrow(original);
    w->monitor = nb::borrow(monitor);
    w->sig = std::move(sig);
    nb::object name = attr_or(original, g_names.dunder_name, nb::str("func"));
    set_in_dict(self.ptr(), g_names.dunder_wrapped, original);
    set_in_dict(self.ptr(), g_names.dunder_name, name);
    set_in_dict(self.ptr(), g_names.dunder_qualname, attr_or(original, g_names.dunder_qualname, name));
    set_in_dict(self.ptr(), g_names.dunder_module, attr_or(original, g_names.dunder_module, nb::none()));
    set_in_dict(self.ptr(), g_names.dunder_doc, attr_or(original, g_names.dunder_doc, nb::none()));
    return self;
}

nb::object make_method_wrapper(nb::handle func, nb::handle monitor, nb::handle name) {
    nb::object sig = sig_of(func);
    MethodObj *w = alloc<MethodObj>(g_method_type);
    nb::object self = nb::steal(reinterpret_cast<PyObject *>(w));
    w->vectorcall = method_vectorcall;
    w->func = nb::borrow(func);
    w->monitor = nb::borrow(monitor);
    w->name = nb::borrow(name);
    w->sig = std::move(sig);
    set_in_dict(self.ptr(), g_names.dunder_name, attr_or(func, g_names.dunder_name, name));
    set_in_dict(self.ptr(), g_names.dunder_qualname, attr_or(func, g_names.dunder_qualname, name));
    set_in_dict(self.ptr(), g_names.dunder_doc, attr_or(func, g_names.dunder_doc, nb::none()));
    return self;
}

nb::object make_thunk(nb::handle func, nb::handle args, nb::handle kwargs) {
    ThunkObj *t = alloc<ThunkObj>(g_thunk_type);
    nb::object self = nb::steal(reinterpret_cast<PyObject *>(t));
    t->vectorcall = thunk_vectorcall;
    t->func = nb::borrow(func);
    t->args = nb::borrow(args);
    t->kwargs = nb::borrow(kwargs);
    return self;
}

bool thunk_started(nb::handle thunk) {
    if (Py_TYPE(thunk.ptr()) != g_thunk_type) return true;  // unknown callables: assume they ran
    return as<ThunkObj>(thunk.ptr())->started;
}

void register_wrappers(nb::module_ &m) {
    if (!module_handle().ptr()) set_module_handle(m);
    g_callable_type = make_type(m, &kCallableSpec, "_OverflowCallable");
    g_method_type = make_type(m, &kMethodSpec, "_OverflowMethod");
    g_bound_type = make_type(m, &kBoundSpec, "_BoundOverflow");
    g_thunk_type = make_type(m, &kThunkSpec, nullptr);
    register_shims(m);
    register_entry(m);
}

}  // namespace corvid::overflow
