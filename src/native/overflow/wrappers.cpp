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
#include "overflow/source.hpp"
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
    // The key whose hash sig_hash holds (owned, so identity proves it).
    nb::object hashed_sig;
    Py_hash_t sig_hash;

    auto members() { return std::tie(original, monitor, sig, hashed_sig); }
};

// No call operation of its own: only binding through an instance dispatches.
struct MethodObj {
    PyObject_HEAD
    nb::object func, monitor, name, sig;
    PyObject *dict;
    PyObject *weakrefs;
    // The key whose hash sig_hash holds (owned, so identity proves it).
    nb::object hashed_sig;
    Py_hash_t sig_hash;
    // The last time the heaviness tests found the function light: the
    // monitor, key and prediction maps they read (owned, so identity proves
    // them) and the count of watched-map changes then.
    nb::object light_monitor, light_sig, light_strict, light_relaxed;
    uint64_t light_at;

    auto members() {
        return std::tie(func, monitor, name, sig, hashed_sig, light_monitor, light_sig, light_strict,
                        light_relaxed);
    }
};

struct BoundObj {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    nb::object func, obj, monitor, sig, name;
    PyObject *dict;
    PyObject *weakrefs;
    nb::object hashed_sig;  // as in CallableObj
    Py_hash_t sig_hash;

    auto members() { return std::tie(func, obj, monitor, sig, name, hashed_sig); }
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

// Allocates an instance of one of the raw types and constructs the C++
// members (all empty); the caller fills them.
template <typename T>
T *alloc(PyTypeObject *tp) {
    PyObject *raw = tp->tp_alloc(tp, 0);
    if (!raw) throw nb::python_error();
    T *self = as<T>(raw);
    std::apply([](auto &...m) { (new (&m) nb::object(), ...); }, self->members());
    return self;
}

// The hash of a wrapper's signature key, computed once per key object
// (tuples do not cache theirs); -1 with no error for an unhashable key.
template <typename W>
Py_hash_t sig_hash(W *self, nb::handle sig) {
    if (self->hashed_sig.ptr() == sig.ptr()) return self->sig_hash;
    Py_hash_t h = PyObject_Hash(sig.ptr());
    if (h == -1) {
        PyErr_Clear();
        return -1;
    }
    self->hashed_sig = nb::borrow(sig);
    self->sig_hash = h;
    return h;
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
        // The slot in front of ours is not the caller's to lend: no offset flag.
        PyObject *r = safe_vectorcall(func, slot, static_cast<size_t>(nargs + 1), kwnames);
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
    return safe_vectorcall(func, buf + 1, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
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
// the duration of the call). The tuple, dict, thunk and display name are
// built on first request; once a thunk exists the call runs through it, so
// the thunk and the site agree on whether the user's code started.
class VectorSite final : public CallSite {
public:
    VectorSite(nb::handle func, nb::handle first, PyObject *const *args, size_t nargsf,
               PyObject *kwnames, nb::handle wrapper, nb::handle name, nb::handle sig,
               Py_hash_t hash)
        : func_(func), first_(first), argv_(args), nargsf_(nargsf), kwnames_(kwnames),
          wrapper_(wrapper), name_(nb::borrow(name)), sig_(sig), hash_(hash) {}

    Py_hash_t sig_hash(nb::handle sig) override {
        if (sig.is(sig_)) return hash_;
        Py_hash_t h = PyObject_Hash(sig.ptr());
        if (h == -1) throw nb::python_error();
        return h;
    }
    Py_hash_t known_sig_hash(nb::handle sig) override { return sig.is(sig_) ? hash_ : -1; }

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
    // The display name: the wrapper's copied `__name__`, read only when a
    // message or a replaced method needs it.
    nb::handle name() override {
        if (!name_.is_valid()) name_ = display_name(wrapper_);
        return name_;
    }
    nb::object run() override {
        if (thunk_.is_valid()) return exit_safe([&] { return thunk_(); });
        started_ = true;
        PyObject *r = first_ ? call_with_self(func_.ptr(), first_.ptr(), argv_, nargsf_, kwnames_)
                             : safe_vectorcall(func_.ptr(), argv_, nargsf_, kwnames_);
        if (!r) throw nb::python_error();
        return nb::steal(r);
    }
    bool started() const { return started_ || (thunk_.is_valid() && thunk_started(thunk_)); }

private:
    void pack_once() {
        if (args_.is_valid()) return;
        auto [t, kw] = pack(first_.ptr(), argv_, nargsf_, kwnames_);
        args_ = std::move(t);
        kwargs_ = std::move(kw);
    }

    static nb::object display_name(nb::handle wrapper) {
        nb::object name;
        try {
            PyObject **slot = instance_dict_slot(wrapper.ptr());
            PyObject *found = nullptr;
            if (slot && *slot && dict_get_ref(*slot, g_names.dunder_name, &found) < 0)
                throw nb::python_error();
            name = found ? nb::steal(found) : attr_or(wrapper, g_names.dunder_name, nb::str("func"));
        } catch (nb::python_error &e) {
            if (!is_ordinary(e)) throw;
            name = nb::str("func");
        }
        return name;
    }

    // Owned by the wrapper's caller for the whole call (see run_wrapped).
    nb::handle func_, first_;
    PyObject *const *argv_;
    size_t nargsf_;
    PyObject *kwnames_;
    nb::handle wrapper_;
    nb::object name_, args_, kwargs_, thunk_;
    nb::handle sig_;
    Py_hash_t hash_;
    bool started_ = false;
};

// Runs a wrapped call through the monitor. The caller owns `func`, `first`,
// `monitor` and `sig` for the whole call: user code may rebind the wrapper's
// fields meanwhile. A failure of the monitor's own machinery before the
// user's code started never reaches the caller: the call then runs here,
// plainly. Errors after the user's code started are the user's.
PyObject *run_wrapped(nb::handle monitor, nb::handle func, nb::handle first, nb::handle sig,
                      Py_hash_t hash, nb::handle wrapper, nb::handle name, PyObject *const *args,
                      size_t nargsf, PyObject *kwnames, bool is_method) {
    VectorSite call(func, first, args, nargsf, kwnames, wrapper, name, sig, hash);
    try {
        return dispatch_call(monitor, func, call, sig, is_method).release().ptr();
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
    if (first) return call_with_self(func.ptr(), first.ptr(), args, nargsf, kwnames);
    return safe_vectorcall(func.ptr(), args, nargsf, kwnames);
}

// Whether calls through a wrapper owned by `monitor` go to dispatch: 1 yes,
// 0 no, -1 with an error set for one that is not an ordinary error. A
// monitor whose state cannot be read counts as stopped. May run Python code
// (a monitor class's own `_running` property).
int dispatching(nb::handle monitor) noexcept {
    if (!monitor.is_valid() || monitor.is_none()) return 0;
    try {
        return monitor_running(monitor) ? 1 : 0;
    } catch (nb::python_error &e) {
        if (is_ordinary(e)) return 0;
        e.restore();
    } catch (...) {
        return 0;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// _OverflowCallable

PyObject *callable_vectorcall(PyObject *self_, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    CallableObj *self = as<CallableObj>(self_);
    // Owned for the whole call: the user's code (and, on a monitor of another
    // kind, reading its state) may rebind the wrapper's fields.
    nb::object original = self->original;
    if (!original.is_valid()) {
        PyErr_SetString(PyExc_TypeError, "_OverflowCallable has no callable");
        return nullptr;
    }
    // A monitor of the module's own kind is read without running any code.
    PyObject *mon = self->monitor.ptr();
    Monitor *state = (mon && mon != Py_None) ? monitor_of(mon) : nullptr;
    bool own_flag = state && class_owns(mon, state, Method::running);
    if (own_flag && !state->running) return safe_vectorcall(original.ptr(), args, nargsf, kwnames);
    nb::object monitor = self->monitor;
    if (!own_flag) {
        int go = dispatching(monitor);
        if (go < 0) return nullptr;
        if (!go) return safe_vectorcall(original.ptr(), args, nargsf, kwnames);
    }
    nb::object sig = self->sig.is_valid() ? self->sig : nb::none();
    return run_wrapped(monitor, original, nb::handle(), sig, sig_hash(self, sig), self_, nb::handle(),
                       args, nargsf, kwnames, false);
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

// ---------------------------------------------------------------------------
// _OverflowMethod

// The memoised verdict for `key` (hash known) in `map`, or -1 when none is
// stored yet. `exact`: whether the value stored was the bool itself.
int memo(nb::handle map, nb::handle key, Py_hash_t hash, bool &exact) {
    exact = false;
    if (!map.is_valid() || !PyDict_Check(map.ptr())) return -1;
    PyObject *found = _PyDict_GetItem_KnownHash(map.ptr(), key.ptr(), hash);
    if (!found) {
        if (PyErr_Occurred()) throw nb::python_error();
        return -1;
    }
    exact = found == Py_True || found == Py_False;
    nb::object value = nb::borrow(found);  // its __bool__ may drop the entry
    return truthy(value) ? 1 : 0;
}

// The monitor's own instance dict holds nothing that could replace one of
// its methods.
bool plain_instance(PyObject *monitor) {
    PyObject **slot = instance_dict_slot(monitor);
    return !slot || !*slot || PyDict_GET_SIZE(*slot) == 0;
}

// Whether the light verdict kept by the descriptor still answers an access
// now: the same monitor, running, with its own prediction methods, nothing
// learned heavy, the same key and maps, and no watched map changed since.
// Reads fields only: no Python code runs.
bool light_memo_holds(MethodObj *self) {
    PyObject *monitor = self->monitor.ptr();
    if (!self->light_monitor.is_valid() || self->light_monitor.ptr() != monitor ||
        self->light_at != watched_dict_changes() || !self->light_sig.is(self->sig))
        return false;
    Monitor *mon = monitor_of(monitor);
    if (!mon || !class_owns(monitor, mon, Method::running) || !mon->running ||
        !class_owns(monitor, mon, Method::predict_heavy) ||
        !class_owns(monitor, mon, Method::relaxed_heavy) || !plain_instance(monitor))
        return false;
    PyObject *learned = mon->learned_heavy.ptr();
    return learned && PyAnySet_Check(learned) && PySet_GET_SIZE(learned) == 0 &&
           mon->predict_cache.is(self->light_strict) && mon->relaxed_cache.is(self->light_relaxed);
}

// Replaces the kept light verdict whole (with nothing, by default); what it
// held is dropped afterwards, which may run finalizers.
void keep_light(MethodObj *self, uint64_t at = 0, nb::handle monitor = {}, nb::handle sig = {},
                nb::handle strict = {}, nb::handle relaxed = {}) {
    nb::object old[] = {std::move(self->light_monitor), std::move(self->light_sig),
                        std::move(self->light_strict), std::move(self->light_relaxed)};
    self->light_monitor = nb::borrow(monitor);
    self->light_sig = nb::borrow(sig);
    self->light_strict = nb::borrow(strict);
    self->light_relaxed = nb::borrow(relaxed);
    self->light_at = at;
}

// Keeps the light verdict just read from the maps `strict` and `relaxed` of
// `monitor` for the next access, once both maps are watched. They are read
// again after that: comparing keys may run code that changed them while they
// were not yet watched, and a change during this reading shows in the count.
void remember_light(MethodObj *self, nb::handle monitor, nb::handle sig, Py_hash_t hash,
                    nb::handle strict, nb::handle relaxed) {
    if (!watch_dict(strict) || !watch_dict(relaxed)) return;
    uint64_t at = watched_dict_changes();
    PyObject *s = _PyDict_GetItem_KnownHash(strict.ptr(), sig.ptr(), hash);
    PyObject *r = s ? _PyDict_GetItem_KnownHash(relaxed.ptr(), sig.ptr(), hash) : nullptr;
    if (PyErr_Occurred()) throw nb::python_error();
    if (s == Py_False && r == Py_False && at == watched_dict_changes())
        keep_light(self, at, monitor, sig, strict, relaxed);
}

// The heaviness verdict of the bound function: the monitor's memo maps read
// directly while its own prediction methods apply, else the methods called.
bool heavy_method(MethodObj *self, nb::handle monitor, nb::handle func, nb::handle sig) {
    Monitor *mon = monitor_of(monitor.ptr());
    if (!mon || monitor_method(monitor, Method::predict_heavy) ||
        monitor_method(monitor, Method::relaxed_heavy)) {
        return call_monitor_method<bool>(monitor, Method::predict_heavy, predict_heavy, func) ||
               call_monitor_method<bool>(monitor, Method::relaxed_heavy, relaxed_heavy, func);
    }
    Py_hash_t hash = sig_hash(self, sig);
    if (hash == -1) {
        hash = PyObject_Hash(sig.ptr());
        if (hash == -1) throw nb::python_error();
    }
    if (contains(field_learned_heavy(monitor), sig)) return true;
    bool strict_exact = false, relaxed_exact = false;
    nb::object strict_map = field_predict_cache(monitor);
    int strict = memo(strict_map, sig, hash, strict_exact);
    if (strict < 0) strict = predict_heavy_keyed(monitor, func, sig);
    if (strict) return true;
    nb::object relaxed_map = field_relaxed_cache(monitor);
    int relaxed = memo(relaxed_map, sig, hash, relaxed_exact);
    if (relaxed < 0) relaxed = relaxed_heavy_keyed(monitor, func, sig);
    if (relaxed) return true;
    if (strict_exact && relaxed_exact) remember_light(self, monitor, sig, hash, strict_map, relaxed_map);
    return false;
}

// Whether an access through an instance binds as _BoundOverflow: 1 yes, 0
// no, -1 with an error set. The monitor's own failures count as "no": the
// ordinary binding always works.
int binds_heavy(MethodObj *self, nb::handle func, nb::handle monitor, nb::handle sig) noexcept {
    int go = dispatching(monitor);
    if (go <= 0) return go;
    try {
        // A barred or demoted function binds plainly.
        if (contains(field_demoted(monitor), sig) ||
            contains(field_offload_incompatible(monitor), sig))
            return 0;
        return heavy_method(self, monitor, func, sig) ? 1 : 0;
    } catch (nb::python_error &e) {
        if (is_ordinary(e)) return 0;
        e.restore();
        return -1;
    } catch (...) {
        return 0;
    }
}

PyObject *method_descr_get(PyObject *self_, PyObject *obj, PyObject *type) {
    MethodObj *self = as<MethodObj>(self_);
    // Owned: the heaviness tests run code that may rebind the fields.
    nb::object func = self->func;
    if (!func.is_valid()) return Py_NewRef(self_);
    if (!obj || obj == Py_None) return func.release().ptr();
    if (light_memo_holds(self)) return bind(func.ptr(), obj, type);
    // A verdict that no longer holds would only keep its monitor and maps
    // alive: the tests below keep a new one if the method is still light.
    if (self->light_monitor.is_valid()) keep_light(self);
    nb::object monitor = self->monitor;
    nb::object sig = self->sig.is_valid() ? self->sig : nb::none();
    int heavy = binds_heavy(self, func, monitor, sig);
    if (heavy < 0) return nullptr;
    if (!heavy) return bind(func.ptr(), obj, type);
    try {
        nb::object name = self->name.is_valid() ? self->name : nb::none();
        return new_bound(func, obj, monitor, sig, name);
    } catch (...) {
        restore_error_from_current_exception();
        return nullptr;
    }
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
    // Owned for the whole call, as for _OverflowCallable.
    nb::object func = self->func, obj = self->obj, monitor = self->monitor;
    if (!func.is_valid() || !obj.is_valid()) {
        PyErr_SetString(PyExc_TypeError, "_BoundOverflow is not bound");
        return nullptr;
    }
    int go = dispatching(monitor);
    if (go < 0) return nullptr;
    if (!go) return call_with_self(func.ptr(), obj.ptr(), args, nargsf, kwnames);
    nb::object sig = self->sig.is_valid() ? self->sig : nb::none();
    nb::object name = self->name.is_valid() ? self->name : nb::none();
    return run_wrapped(monitor, func, obj, sig, sig_hash(self, sig), self_, name, args, nargsf,
                       kwnames, true);
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

PyObject *bound_get_doc(PyObject *self_, void *) {
    nb::object func = as<BoundObj>(self_)->func;
    if (!func.is_valid()) Py_RETURN_NONE;
    PyObject *doc = nullptr;
    if (get_optional_attr(func.ptr(), g_names.dunder_doc, &doc) < 0) return nullptr;
    return doc ? doc : Py_NewRef(Py_None);
}

// The signature of the plain bound method (the instance's parameter gone).
PyObject *bound_get_signature(PyObject *self_, void *) {
    BoundObj *self = as<BoundObj>(self_);
    nb::object func = self->func, obj = self->obj;
    if (!func.is_valid() || !obj.is_valid()) {
        PyErr_SetString(PyExc_AttributeError, "__signature__");
        return nullptr;
    }
    try {
        nb::object method = nb::steal(check(PyMethod_New(func.ptr(), obj.ptr())));
        return nb::module_::import_("inspect").attr("signature")(method).release().ptr();
    } catch (...) {
        restore_error_from_current_exception();
        return nullptr;
    }
}

// Attributes it lacks come from the function, as for a plain bound method.
PyObject *bound_getattro(PyObject *self_, PyObject *name) {
    PyObject *found = PyObject_GenericGetAttr(self_, name);
    if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
    nb::object func = as<BoundObj>(self_)->func;
    if (!func.is_valid()) return nullptr;
    PyErr_Clear();
    return PyObject_GetAttr(func.ptr(), name);
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
    return safe_call(func.ptr(), args.ptr(), kw);
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
    {"__doc__", bound_get_doc, nullptr, nullptr, nullptr},
    {"__signature__", bound_get_signature, nullptr, nullptr, nullptr},
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
    {Py_tp_getattro, reinterpret_cast<void *>(bound_getattro)},
    {Py_tp_hash, reinterpret_cast<void *>(bound_hash)},
    {Py_tp_repr, reinterpret_cast<void *>(bound_repr)},
    {Py_tp_members, kBoundMembers},
    {Py_tp_getset, kBoundGetset},
    {Py_tp_methods, kBoundMethods},
    // No class text: instances answer __doc__ with the function's own, as
    // bound methods do.
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
// Not a method descriptor: that flag would promise that binding through the
// class equals a call of the descriptor, while class access must give the
// plain function, which does not dispatch.
PyType_Spec kMethodSpec = {"corvid.overflow._OverflowMethod", sizeof(MethodObj), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                           kMethodSlots};
PyType_Spec kBoundSpec = {"corvid.overflow._BoundOverflow", sizeof(BoundObj), 0, kGcVectorcall,
                          kBoundSlots};
PyType_Spec kThunkSpec = {"corvid.overflow._LocalThunk", sizeof(ThunkObj), 0,
                          kGcVectorcall | Py_TPFLAGS_DISALLOW_INSTANTIATION, kThunkSlots};

// The type is held for the life of the process as well as by the module
// attribute: user code may delete the attribute while wrappers still exist.
PyTypeObject *make_type(nb::module_ &m, PyType_Spec *type_spec, const char *attr) {
    nb::object tp = nb::steal(check(PyType_FromModuleAndSpec(m.ptr(), type_spec, nullptr)));
    nb::setattr(m, attr, tp);
    return reinterpret_cast<PyTypeObject *>(tp.release().ptr());
}

// The remote-side shims. Each factory returns a fresh nested function that
// refers to nothing of this package (its globals are a private namespace, and
// `_sanitizer` is no module attribute), so cloudpickle ships it, and the
// device-sanitising `_mv` it makes after the call, by value to a worker that
// does not have corvid.
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


def _sanitizer():
    def _mv(o):
        import sys

        torch = sys.modules.get("torch")
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
    return _mv


def _sanitize_call_shim():
    def _sanitize_call(_f, _a, _k):
        result = _f(*_a, **_k)
        _mv = _sanitizer()
        return _mv(result)
    return _sanitize_call


def _sanitize_capture_shim():
    def _sanitize_capture(_f, _a, _k):
        result = _f(*_a, **_k)
        _mv = _sanitizer()
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
    w->func = nb::borrow(func);
    w->monitor = nb::borrow(monitor);
    w->name = nb::borrow(name);
    w->sig = std::move(sig);
    // The function's own metadata: introspection and doctest discovery
    // (which keeps only objects whose __module__ is the module searched) see
    // the user's method.
    set_in_dict(self.ptr(), g_names.dunder_wrapped, func);
    set_in_dict(self.ptr(), g_names.dunder_name, attr_or(func, g_names.dunder_name, name));
    set_in_dict(self.ptr(), g_names.dunder_qualname, attr_or(func, g_names.dunder_qualname, name));
    set_in_dict(self.ptr(), g_names.dunder_module, attr_or(func, g_names.dunder_module, nb::none()));
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
    g_thunk_type = make_type(m, &kThunkSpec, "_LocalThunk");
    register_shims(m);
}

}  // namespace corvid::overflow
