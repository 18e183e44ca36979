// Discovery of the user's code and its replacement by wrappers.
//
// The monitor finds heavy user functions in the caller's module (and in user
// modules and classes reachable from it), swaps them for wrappers in place,
// watches for functions the script defines only later, and puts everything
// back on stop. The late-definition watch runs a first-sight trace hook on the
// thread that called overflow(); that hook is a C-level trace function which
// forwards every event to the tracer that was installed before it (debugger,
// coverage), so that tracer keeps working while the hook is active and is put
// back exactly as it was when the hook goes away.
#include "overflow/discovery.hpp"

#include "overflow/config.hpp"
#include "overflow/heaviness.hpp"
#include "overflow/source.hpp"
#include "overflow/monitor.hpp"

#include <frameobject.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace corvid::overflow {
namespace {

// ---------------------------------------------------------------------------
// Module-level objects.

PyObject *g_module_dict = nullptr;  // borrowed: the module lives as long as the interpreter

// Standard-library objects looked up once per process and kept for its
// lifetime (never released: they are needed until the interpreter ends).
struct Lib {
    PyObject *abspath = nullptr, *getfile = nullptr, *enum_base = nullptr, *ast_parse = nullptr,
             *io_open = nullptr, *settrace = nullptr;
    PyObject *FunctionDef = nullptr, *AsyncFunctionDef = nullptr, *If = nullptr, *Try = nullptr,
             *TryStar = nullptr, *With = nullptr, *AsyncWith = nullptr;
};
Lib L;

PyObject *lib_attr(const char *module, const char *name, bool optional = false) {
    nb::object mod = nb::module_::import_(module);
    PyObject *result = nullptr;
    nb::object key = nb::str(name);
    if (check(get_optional_attr(mod.ptr(), key.ptr(), &result)) == 0 && !optional)
        throw nb::attribute_error(name);
    return result;  // new reference, kept for the process lifetime
}

const Lib &lib() {
    if (!L.abspath) {
        Lib l;
        l.getfile = lib_attr("inspect", "getfile");
        l.enum_base = lib_attr("enum", "Enum");
        l.ast_parse = lib_attr("ast", "parse");
        l.io_open = lib_attr("io", "open");
        l.settrace = lib_attr("sys", "settrace");
        l.FunctionDef = lib_attr("ast", "FunctionDef");
        l.AsyncFunctionDef = lib_attr("ast", "AsyncFunctionDef");
        l.If = lib_attr("ast", "If");
        l.Try = lib_attr("ast", "Try");
        l.TryStar = lib_attr("ast", "TryStar", /*optional=*/true);
        l.With = lib_attr("ast", "With");
        l.AsyncWith = lib_attr("ast", "AsyncWith");
        l.abspath = lib_attr("os.path", "abspath");
        L = l;
    }
    return L;
}

// ---------------------------------------------------------------------------
// Small helpers over the C API.

nb::object get(nb::handle obj, PyObject *name) {
    return nb::steal(check(PyObject_GetAttr(obj.ptr(), name)));
}

void set(nb::handle obj, PyObject *name, nb::handle value) {
    check(PyObject_SetAttr(obj.ptr(), name, value.ptr()));
}

template <typename... Args>
nb::object call_method(nb::handle self, PyObject *name, Args... args) {
    PyObject *argv[] = {self.ptr(), nb::handle(args).ptr()...};
    return nb::steal(check(PyObject_VectorcallMethod(
        name, argv, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

nb::object module_attr(PyObject *name) {
    PyObject *value = nullptr;
    if (check(dict_get_ref(g_module_dict, name, &value)) == 0)
        throw nb::attribute_error(PyUnicode_AsUTF8(name));
    return nb::steal(value);
}

long long hook_call_cap() { return const_int(names().hook_call_cap, settings().hook_call_cap); }

double hook_deadline() { return const_float(names().hook_deadline, settings().hook_deadline); }

double float_attr(nb::handle self, PyObject *name) {
    nb::object v = get(self, name);
    double value = PyFloat_AsDouble(v.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return value;
}

long long_attr(nb::handle self, PyObject *name) {
    nb::object v = get(self, name);
    long value = PyLong_AsLong(v.ptr());
    if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    return value;
}

nb::object identity(nb::handle obj) { return nb::steal(check(PyLong_FromVoidPtr(obj.ptr()))); }

bool starts_with_underscore(nb::handle name) {
    PyObject *s = name.ptr();
    return PyUnicode_Check(s) && PyUnicode_GET_LENGTH(s) > 0 && PyUnicode_READ_CHAR(s, 0) == '_';
}

// Wrappers carry a true `_overflow_wrapped`; a miss is not an error.
bool carries_marker(nb::handle obj) {
    PyObject *value = nullptr;
    if (check(get_optional_attr(obj.ptr(), names().overflow_wrapped, &value)) == 0) return false;
    nb::object owned = nb::steal(value);
    return truthy(owned);
}

// Holds the monitor's re-entrant scope lock for the lifetime of the object.
class ScopeLock : public HeldLock {
public:
    explicit ScopeLock(nb::handle self) : HeldLock(field_scope_lock(self)) {}
};

// Snapshot of a namespace's (name, value) pairs, in its order.
std::vector<std::pair<nb::object, nb::object>> snapshot(nb::handle ns) {
    std::vector<std::pair<nb::object, nb::object>> out;
    if (PyDict_Check(ns.ptr())) {
        out.reserve(static_cast<size_t>(PyDict_GET_SIZE(ns.ptr())));
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(ns.ptr(), &pos, &k, &v)) out.emplace_back(nb::borrow(k), nb::borrow(v));
        return out;
    }
    nb::object items = nb::steal(check(PyMapping_Items(ns.ptr())));
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *pair = PyList_GET_ITEM(items.ptr(), i);
        nb::object seq = nb::steal(check(PySequence_Tuple(pair)));
        if (PyTuple_GET_SIZE(seq.ptr()) != 2) throw nb::value_error("mapping item is not a pair");
        out.emplace_back(nb::borrow(PyTuple_GET_ITEM(seq.ptr(), 0)),
                         nb::borrow(PyTuple_GET_ITEM(seq.ptr(), 1)));
    }
    return out;
}

// ---------------------------------------------------------------------------
// User code.

bool check_user_code_impl(nb::handle self, nb::handle filename) {
    PyObject *fn = filename.ptr();
    if (!PyUnicode_Check(fn)) return false;
    if (PyUnicode_GET_LENGTH(fn) == 0 || PyUnicode_READ_CHAR(fn, 0) == '<') return false;
    nb::object path = nb::steal(check(PyObject_CallOneArg(lib().abspath, fn)));
    nb::object prefixes = get(self, names().exclude_prefixes);
    nb::object it = nb::steal(check(PyObject_GetIter(prefixes.ptr())));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object prefix = nb::steal(raw);
        if (check(static_cast<int>(
                PyUnicode_Tailmatch(path.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1))))
            return false;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return true;
}

nb::object is_user_code_impl(nb::handle self, nb::handle filename) {
    nb::object cache = get(self, names().filename_cache);
    if (PyDict_Check(cache.ptr())) {
        PyObject *hit = nullptr;
        if (check(dict_get_ref(cache.ptr(), filename.ptr(), &hit))) return nb::steal(hit);
    } else if (contains(cache, filename)) {
        return nb::steal(check(PyObject_GetItem(cache.ptr(), filename.ptr())));
    }
    nb::object verdict = call_monitor_method<nb::object>(
        self, Method::check_user_code,
        [](nb::handle s, nb::handle f) -> nb::object { return nb::bool_(check_user_code_impl(s, f)); },
        filename);
    check(PyObject_SetItem(cache.ptr(), filename.ptr(), verdict.ptr()));
    return verdict;
}

bool is_user_code(nb::handle self, nb::handle filename) {
    return call_monitor_method<bool>(
        self, Method::is_user_code,
        [](nb::handle s, nb::handle f) { return truthy(is_user_code_impl(s, f)); }, filename);
}

// File name of a function's code; null when it cannot be read.
nb::object code_filename(nb::handle func) {
    nb::object filename;
    swallow([&] { filename = get(get(func, names().dunder_code), names().co_filename); });
    return filename;
}

// ---------------------------------------------------------------------------
// Source files already read, per monitor until stop().
//
// Every walk of the late-definition watch meets the same imported library
// classes, functions and modules again; finding a class's file goes through
// inspect.getfile, far dearer than the rest of a walk. `_source_files` maps
// each object whose file was read to that file (None for an object that has
// no file). The object itself is the key, so it stays alive and its identity
// cannot pass to another object while the entry lives; only objects hashed
// and compared by identity are remembered, so a look-up runs no user code and
// allocates nothing. The verdict on the file still comes from
// `_filename_cache` on every walk, so a change there is seen as before.

nb::object source_files(nb::handle self) {
    nb::object memo = optional_attr(self, names().source_files);
    if (memo.is_valid() && PyDict_CheckExact(memo.ptr())) return memo;
    memo = nb::dict();
    set(self, names().source_files, memo);
    return memo;
}

bool keyed_by_identity(nb::handle obj) {
    PyTypeObject *tp = Py_TYPE(obj.ptr());
    return tp->tp_hash == PyBaseObject_Type.tp_hash &&
           tp->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

// The remembered file of `obj`: null when nothing is remembered, None when it
// has no file.
nb::object remembered_file(nb::handle memo, nb::handle obj) {
    if (!keyed_by_identity(obj)) return {};
    PyObject *file = nullptr;
    check(dict_get_ref(memo.ptr(), obj.ptr(), &file));
    return nb::steal(file);
}

void remember_file(nb::handle self, nb::handle obj, nb::handle file) {
    if (!keyed_by_identity(obj)) return;
    check(PyDict_SetItem(source_files(self).ptr(), obj.ptr(), file.ptr()));
}

// ---------------------------------------------------------------------------
// Walks.

void register_wrap_impl(nb::handle self, nb::handle func, nb::handle name, nb::handle ns) {
    nb::object wrapped = get(self, names().wrapped);
    nb::object key = identity(func);
    if (contains(wrapped, key)) return;
    nb::object wrapper = module_attr(names().overflow_callable)(func, self);
    check(PyObject_SetItem(ns.ptr(), name.ptr(), wrapper.ptr()));
    nb::object record = nb::make_tuple(func, name, ns);
    check(PyObject_SetItem(wrapped.ptr(), key.ptr(), record.ptr()));
}

void wrap_class_impl(nb::handle self, nb::handle cls) {
    nb::object done = get(self, names().wrapped_classes);
    nb::object key = identity(cls);
    if (contains(done, key)) return;

    nb::object file = remembered_file(source_files(self), cls);
    if (!file.is_valid()) {
        try {
            file = nb::steal(check(PyObject_CallOneArg(lib().getfile, cls.ptr())));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError) && !e.matches(PyExc_TypeError)) throw;
            file = nb::none();
        }
        remember_file(self, cls, file);
    }
    if (file.is_none() || !is_user_code(self, file)) return;

    bool excluded = true;
    swallow([&] {
        excluded = check(PyObject_IsSubclass(cls.ptr(), PyExc_BaseException)) ||
                   check(PyObject_IsSubclass(cls.ptr(), lib().enum_base));
    });
    if (excluded) return;

    auto entries = snapshot(get(cls, names().dunder_dict));
    nb::list replaced;
    // Record what was replaced even if an interrupt cuts the loop short, so
    // that stop() can still put it back.
    auto remember = [&] {
        if (PyList_GET_SIZE(replaced.ptr()) > 0)
            check(PyObject_SetItem(done.ptr(), key.ptr(), nb::make_tuple(cls, replaced).ptr()));
    };
    try {
        nb::object method_type = module_attr(names().overflow_method);
        for (auto &[name, value] : entries) {
            if (starts_with_underscore(name)) continue;
            if (!PyFunction_Check(value.ptr())) continue;  // exact plain-function type only
            swallow([&] {
                if (carries_marker(value)) return;
                nb::object filename = code_filename(value);
                if (!filename.is_valid() || !is_user_code(self, filename)) return;
                nb::object descriptor = method_type(value, self, name);
                if (PyObject_SetAttr(cls.ptr(), name.ptr(), descriptor.ptr()) < 0) {
                    if (PyErr_ExceptionMatches(PyExc_TypeError) ||
                        PyErr_ExceptionMatches(PyExc_AttributeError)) {
                        PyErr_Clear();
                        return;
                    }
                    throw nb::python_error();
                }
                replaced.append(nb::make_tuple(name, value));
            });
        }
    } catch (...) {
        swallow(remember);
        throw;
    }
    remember();
}

void wrap_scope_impl(nb::handle self, nb::handle ns);

void wrap_scope(nb::handle self, nb::handle ns) {
    call_monitor_method<void>(self, Method::wrap_scope, wrap_scope_impl, ns);
}

bool heavy(nb::handle self, nb::handle func) {
    return call_monitor_method<bool>(self, Method::predict_heavy, predict_heavy, func) ||
           call_monitor_method<bool>(self, Method::relaxed_heavy, relaxed_heavy, func);
}

void maybe_wrap_module_impl(nb::handle self, nb::handle mod) {
    PyObject *file = nullptr;
    if (check(get_optional_attr(mod.ptr(), names().dunder_file, &file)) == 0) return;
    nb::object filename = nb::steal(file);
    if (filename.is_none()) return;
    if (!is_user_code(self, filename)) {
        remember_file(self, mod, filename);
        return;
    }
    nb::object seen = get(self, names().wrapped_modules);
    nb::object key = identity(mod);
    if (contains(seen, key)) return;
    set_add(seen, key);
    nb::object ns = PyModule_Check(mod.ptr()) ? nb::borrow(PyModule_GetDict(mod.ptr()))
                                              : get(mod, names().dunder_dict);
    wrap_scope(self, ns);
}

void wrap_one_impl(nb::handle self, nb::handle name, nb::handle obj, nb::handle ns) {
    if (starts_with_underscore(name)) return;
    if (carries_marker(obj)) return;
    if (PyType_Check(obj.ptr())) {
        if (truthy(get(self, names().wrap_methods))) {
            call_monitor_method<void>(self, Method::wrap_class, wrap_class_impl, obj);
        }
        return;
    }
    if (PyModule_Check(obj.ptr())) {
        call_monitor_method<void>(self, Method::maybe_wrap_module, maybe_wrap_module_impl, obj);
        return;
    }
    if (!PyCallable_Check(obj.ptr())) return;
    PyObject *code = nullptr;
    if (check(get_optional_attr(obj.ptr(), names().dunder_code, &code)) == 0) return;
    Py_DECREF(code);
    nb::object filename = code_filename(obj);
    if (!filename.is_valid()) return;
    if (!is_user_code(self, filename)) {
        remember_file(self, obj, filename);
        return;
    }
    if (!heavy(self, obj)) return;
    call_monitor_method<void>(self, Method::register_wrap, register_wrap_impl, obj, name, ns);
}

// True when a walk may pass `obj` by: its file was read before and is
// library code by the current file verdicts. Only valid while the walk's own
// steps are this module's (no override could judge the object otherwise).
bool known_library(nb::handle memo, nb::handle verdicts, nb::handle obj) {
    nb::object file = remembered_file(memo, obj);
    if (!file.is_valid()) return false;
    if (file.is_none()) return true;
    PyObject *verdict = nullptr;
    check(dict_get_ref(verdicts.ptr(), file.ptr(), &verdict));
    nb::object owned = nb::steal(verdict);
    return verdict && verdict == Py_False;
}

void wrap_scope_impl(nb::handle self, nb::handle ns) {
    ScopeLock hold(self);
    auto entries = snapshot(ns);
    nb::object wrap_one = monitor_method(self, Method::wrap_one);
    bool direct = !wrap_one.is_valid();
    nb::object memo, verdicts;
    if (direct && !monitor_method(self, Method::wrap_class) &&
        !monitor_method(self, Method::maybe_wrap_module) &&
        !monitor_method(self, Method::is_user_code)) {
        memo = source_files(self);
        verdicts = get(self, names().filename_cache);
        if (!PyDict_CheckExact(verdicts.ptr())) memo = nb::object();
    }
    for (auto &[name, value] : entries) {
        swallow([&] {
            if (!direct) {
                wrap_one(name, value, ns);
                return;
            }
            if (memo.is_valid() && known_library(memo, verdicts, value)) return;
            wrap_one_impl(self, name, value, ns);
        });
    }
}

void unwrap_all_impl(nb::handle self) {
    ScopeLock hold(self);
    nb::object wrapped = get(self, names().wrapped);
    nb::object records = nb::steal(check(PySequence_List(
        nb::steal(check(PyObject_CallMethod(wrapped.ptr(), "values", nullptr))).ptr())));
    for (nb::handle record : records) {
        nb::object func = record[0], name = record[1], ns = record[2];
        nb::object failure;
        try {
            nb::object current = mapping_get(ns, name);
            // A name the user rebound (or deleted) since is left as it is.
            if (current.is_valid() && carries_marker(current))
                check(PyObject_SetItem(ns.ptr(), name.ptr(), func.ptr()));
        } catch (nb::python_error &e) {
            if (!is_ordinary(e)) throw;
            failure = nb::borrow(e.value());
        }
        if (failure.is_valid())
            log_quiet(kLogger, LogLevel::Error, "Failed to unwrap %s: %s", name, failure);
    }
    call_method(wrapped, names().clear);

    nb::object classes = get(self, names().wrapped_classes);
    nb::object entries = nb::steal(check(PySequence_List(
        nb::steal(check(PyObject_CallMethod(classes.ptr(), "values", nullptr))).ptr())));
    for (nb::handle entry : entries) {
        nb::object cls = entry[0];
        nb::object replaced = entry[1];
        for (nb::handle pair : replaced) {
            swallow([&] {
                nb::object name = pair[0], func = pair[1];
                nb::object current = mapping_get(get(cls, names().dunder_dict), name);
                if (current.is_valid() && carries_marker(current)) set(cls, name.ptr(), func);
            });
        }
    }
    call_method(classes, names().clear);
    call_method(get(self, names().wrapped_modules), names().clear);
    PyDict_Clear(source_files(self).ptr());
}

// ---------------------------------------------------------------------------
// Late definitions: the script's own top-level function names.

void collect_top_defs_impl(nb::handle self, nb::handle body) {
    const Lib &l = lib();
    nb::object announced = get(self, names().forward_names);
    auto is = [](nb::handle node, PyObject *cls) {
        return cls && check(PyObject_IsInstance(node.ptr(), cls)) != 0;
    };
    auto recurse = [&](nb::handle node, PyObject *field) {
        call_method(self, names().collect_top_defs, get(node, field));
    };
    for (nb::handle stmt : body) {
        if (is(stmt, l.FunctionDef) || is(stmt, l.AsyncFunctionDef)) {
            nb::object name = get(stmt, names().ast_name);
            if (!starts_with_underscore(name)) set_add(announced, name);
        } else if (is(stmt, l.If)) {
            recurse(stmt, names().ast_body);
            recurse(stmt, names().ast_orelse);
        } else if (is(stmt, l.Try) || is(stmt, l.TryStar)) {
            recurse(stmt, names().ast_body);
            recurse(stmt, names().ast_orelse);
            recurse(stmt, names().ast_finalbody);
            for (nb::handle handler : get(stmt, names().ast_handlers)) recurse(handler, names().ast_body);
        } else if (is(stmt, l.With) || is(stmt, l.AsyncWith)) {
            recurse(stmt, names().ast_body);
        }
    }
}

void forward_scan_impl(nb::handle self, nb::handle frame) {
    nb::object filename = get(get(frame, names().f_code), names().co_filename);
    PyObject *fn = filename.ptr();
    if (!PyUnicode_Check(fn) || PyUnicode_GET_LENGTH(fn) == 0 || PyUnicode_READ_CHAR(fn, 0) == '<')
        return;
    nb::object tree;
    bool parsed = swallow([&] {
        using namespace nb::literals;
        nb::object file = nb::borrow(lib().io_open)(filename, "r", "encoding"_a = "utf-8");
        nb::object text;
        try {
            text = file.attr("read")();
        } catch (...) {
            swallow([&] { file.attr("close")(); });
            throw;
        }
        file.attr("close")();
        tree = nb::borrow(lib().ast_parse)(text, filename);
    });
    if (!parsed) return;
    call_method(self, names().collect_top_defs, get(tree, names().ast_body));
}

bool forward_pending_impl(nb::handle self) {
    nb::object globals = get(self, names().caller_globals);
    if (globals.is_none()) return false;
    nb::object announced = get(self, names().forward_names);
    for (nb::handle name : announced)
        if (!contains(globals, name)) return true;
    return false;
}

// ---------------------------------------------------------------------------
// The first-sight trace hook.
//
// While installed, the hook is the thread's C-level trace function, with the
// bound `_first_sight_hook` as its trace object (so sys.gettrace() shows it).
// It remembers the trace function and object it replaced and hands every
// event to them unchanged: for a tracer installed with sys.settrace that is
// the interpreter's own trampoline, which keeps calling the tracer's global
// and per-frame functions exactly as before; for a C-level tracer (coverage)
// it is that tracer itself. Removing the hook re-installs that very pair.

// What the hook needs to hand events on and to step aside again: the tracer
// it replaced (C function and object), the caller frame, and the thread it
// was installed on. Records live on their monitor in `_hook_records`, keyed
// by the identity of the hook object, as plain tuples the collector can see
// through: a monitor whose hook thread ended without taking the hook off is
// collectable like any other object.
struct HookRecord {
    nb::object hook_fn;
    nb::object caller_frame;
    nb::object prev_obj;
    PyThreadState *tstate = nullptr;
    uint64_t tstate_id = 0;
    Py_tracefunc prev_func = nullptr;
    bool orphaned = false;  // uninstalled from another thread: restore on the next own event
};

nb::object hook_records(nb::handle monitor) {
    nb::object records = optional_attr(monitor, names().hook_records);
    if (records.is_valid() && PyDict_CheckExact(records.ptr())) return records;
    records = nb::dict();
    set(monitor, names().hook_records, records);
    return records;
}

// The thread state and the replaced tracer's C function travel in a capsule
// of this name: a record is a plain tuple the collector can see through, and
// Python code must not be able to put a pointer of its own into one.
constexpr const char *kHookCapsule = "corvid.overflow.hook_record";

struct HookPointers {
    PyThreadState *tstate;
    Py_tracefunc prev_func;
};

void store_record(nb::handle monitor, const HookRecord &r) {
    // The replaced tracer's object may be absent: kept as a 0- or 1-tuple.
    nb::object prev = r.prev_obj.is_valid() ? nb::make_tuple(r.prev_obj) : nb::tuple();
    auto *pointers = new HookPointers{r.tstate, r.prev_func};
    nb::object capsule = nb::steal(PyCapsule_New(pointers, kHookCapsule, [](PyObject *c) {
        delete static_cast<HookPointers *>(PyCapsule_GetPointer(c, kHookCapsule));
    }));
    if (!capsule.is_valid()) {
        delete pointers;
        throw nb::python_error();
    }
    nb::object entry = nb::steal(check(PyTuple_Pack(
        6, r.hook_fn.ptr(), r.caller_frame.ptr(), prev.ptr(), capsule.ptr(),
        nb::steal(check(PyLong_FromUnsignedLongLong(r.tstate_id))).ptr(),
        r.orphaned ? Py_True : Py_False)));
    check(PyDict_SetItem(hook_records(monitor).ptr(), identity(r.hook_fn).ptr(), entry.ptr()));
}

bool unpack_record(nb::handle entry, HookRecord &r) {
    PyObject *t = entry.ptr();
    if (!PyTuple_CheckExact(t) || PyTuple_GET_SIZE(t) != 6) return false;
    PyObject *capsule = PyTuple_GET_ITEM(t, 3);
    if (!PyCapsule_IsValid(capsule, kHookCapsule)) return false;
    auto *pointers = static_cast<HookPointers *>(PyCapsule_GetPointer(capsule, kHookCapsule));
    r.hook_fn = nb::borrow(PyTuple_GET_ITEM(t, 0));
    r.caller_frame = nb::borrow(PyTuple_GET_ITEM(t, 1));
    PyObject *prev = PyTuple_GET_ITEM(t, 2);
    if (!PyTuple_CheckExact(prev) || PyTuple_GET_SIZE(prev) > 1) return false;
    r.prev_obj = PyTuple_GET_SIZE(prev) ? nb::borrow(PyTuple_GET_ITEM(prev, 0)) : nb::object();
    r.tstate = pointers->tstate;
    r.prev_func = pointers->prev_func;
    r.tstate_id = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(t, 4));
    r.orphaned = PyTuple_GET_ITEM(t, 5) == Py_True;
    if (PyErr_Occurred()) throw nb::python_error();
    return true;
}

// The record of `hook_fn` on `monitor`, if there is one.
bool find_record(nb::handle monitor, nb::handle hook_fn, HookRecord &out) {
    nb::object entry = mapping_get(hook_records(monitor), identity(hook_fn));
    return entry.is_valid() && unpack_record(entry, out) && out.hook_fn.is(hook_fn);
}

void erase_record(nb::handle monitor, nb::handle hook_fn) {
    nb::object records = hook_records(monitor);
    nb::object key = identity(hook_fn);
    if (check(PyDict_Contains(records.ptr(), key.ptr()))) check(PyDict_DelItem(records.ptr(), key.ptr()));
}

// Whether the thread a record was made on still exists (a thread state's
// address can be reused by a later thread; its id is not).
bool thread_alive(const HookRecord &r) {
    PyInterpreterState *interp = PyInterpreterState_Get();
    for (PyThreadState *t = PyInterpreterState_ThreadHead(interp); t; t = PyThreadState_Next(t))
        if (t == r.tstate && PyThreadState_GetID(t) == r.tstate_id) return true;
    return false;
}

// Drops the records of threads that have ended: nothing can use them again.
void prune_records(nb::handle monitor) {
    nb::object records = hook_records(monitor);
    nb::object entries = nb::steal(check(PyDict_Items(records.ptr())));
    for (nb::handle item : entries) {
        HookRecord r;
        if (!unpack_record(item[1], r) || !thread_alive(r))
            check(PyDict_DelItem(records.ptr(), nb::handle(item[0]).ptr()));
    }
}

// The monitor a hook object belongs to (the `__self__` of the bound
// `_first_sight_hook`); null when it has none.
nb::object hook_owner(nb::handle hook_fn) {
    return optional_attr(hook_fn, names().dunder_self);
}

// Hands one event to the tracer that was there before the hook. An ordinary
// error of that tracer is dropped, as the design of the hook asks.
int forward_event(Py_tracefunc prev, PyObject *prev_obj, PyFrameObject *frame, int what,
                  PyObject *arg) noexcept {
    if (!prev) return 0;
    if (prev(prev_obj, frame, what, arg) == 0) return 0;
    if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

void uninstall_hook_impl(nb::handle self);

void uninstall_hook(nb::handle self) {
    call_monitor_method<void>(self, Method::uninstall_hook, uninstall_hook_impl);
}

bool forward_pending(nb::handle self) {
    return call_monitor_method<bool>(self, Method::forward_pending, forward_pending_impl);
}

}  // namespace

// The late-definition watch walks the caller's namespace from the hook, from
// dispatch and from the load gate's thread. The walk takes the scope lock
// first and only then checks that the monitor still runs: a walk that waited
// for the lock while stop() undid every replacement must not put wrappers
// back into a stopped monitor's namespaces.
bool walk_caller_scope(nb::handle self) {
    ScopeLock hold(self);
    if (!monitor_running(self)) return false;
    nb::object globals = get(self, names().caller_globals);
    if (globals.is_none()) return false;
    wrap_scope(self, globals);
    return true;
}

// The same walk from each wrapped call and from the load gate's rescan, which
// also close the watch once its deadline has passed.
void watch_late_definitions(nb::handle self) {
    nb::object globals = field_caller_globals(self);
    if (globals.is_none()) return;
    double since = monitor_now(self) - float_attr(self, names().hook_started_at);
    if (since < hook_deadline()) {
        if (walk_caller_scope(self)) set_monitor_forward_open(self, forward_pending(self));
    } else {
        set_monitor_forward_open(self, false);
    }
}

namespace {

// Step one of every hook event: count it, and leave once the monitor stopped,
// the event cap is exceeded or the deadline passed.
void count_event(nb::handle self) {
    if (!truthy(get(self, names().hook_installed))) return;
    long long calls = long_attr(self, names().hook_calls) + 1;
    set(self, names().hook_calls, nb::int_(calls));
    if (!truthy(get(self, names().running)) || calls > hook_call_cap() ||
        monitor_now(self) - float_attr(self, names().hook_started_at) > hook_deadline())
        uninstall_hook(self);
}

enum class CallerEvent { Line, Return, Other };

// What the hook does for an event of the caller's own frame.
void caller_event(nb::handle self, CallerEvent kind) {
    if (kind == CallerEvent::Line) {
        if (!truthy(get(self, names().running)) || !truthy(get(self, names().hook_installed))) return;
        swallow([&] { walk_caller_scope(self); });
        bool done = !forward_pending(self) ||
                    long_attr(self, names().hook_calls) > hook_call_cap() ||
                    monitor_now(self) - float_attr(self, names().hook_started_at) > hook_deadline();
        if (done) uninstall_hook(self);
    } else if (kind == CallerEvent::Return) {
        if (!truthy(get(self, names().hook_installed))) return;
        swallow([&] { walk_caller_scope(self); });
        set(self, names().forward_open, Py_False);
        uninstall_hook(self);
    }
}

// Runs one step of the hook for the C-level trace function; an ordinary error
// is dropped, anything else is left set for the interpreter (returns false).
template <typename F>
bool hook_step(F &&f) noexcept {
    try {
        swallow(std::forward<F>(f));
        return true;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (...) {
        PyErr_Clear();
        return true;
    }
    return false;
}

int first_sight_trace(PyObject *obj, PyFrameObject *frame, int what, PyObject *arg) noexcept {
    nb::object keep_hook = nb::borrow(obj);  // the trace object may be swapped out below
    nb::object monitor;
    HookRecord rec;
    bool found = false;
    if (!hook_step([&] {
            monitor = hook_owner(keep_hook);
            found = monitor.is_valid() && find_record(monitor, keep_hook, rec);
        }))
        return -1;
    if (!found) return 0;
    if (rec.orphaned) {
        if (PyThreadState_Get()->c_traceobj == obj) PyEval_SetTrace(rec.prev_func, rec.prev_obj.ptr());
        if (!hook_step([&] { erase_record(monitor, keep_hook); })) return -1;
        return forward_event(rec.prev_func, rec.prev_obj.ptr(), frame, what, arg);
    }
    bool is_caller = reinterpret_cast<PyObject *>(frame) == rec.caller_frame.ptr();
    // Other frames' own events belong to the previous tracer alone; the hook
    // itself would not trace them further.
    if (!is_caller && what != PyTrace_CALL)
        return forward_event(rec.prev_func, rec.prev_obj.ptr(), frame, what, arg);

    if (!hook_step([&] { count_event(monitor); })) return -1;
    if (forward_event(rec.prev_func, rec.prev_obj.ptr(), frame, what, arg) < 0) return -1;
    if (!is_caller) return 0;
    CallerEvent kind = what == PyTrace_LINE     ? CallerEvent::Line
                       : what == PyTrace_RETURN ? CallerEvent::Return
                                                : CallerEvent::Other;
    if (!hook_step([&] { caller_event(monitor, kind); })) return -1;
    return 0;
}

// The Python-level form of the hook, used when the hook is installed through
// sys.settrace (a subclass replaced `_first_sight_hook`, or user code
// re-installed sys.gettrace()) and callable directly.
nb::object first_sight_hook_impl(nb::handle self, nb::handle frame, nb::handle event,
                                 nb::handle arg) {
    // A failure of the hook's own machinery must not reach the traced code
    // (through sys.settrace it would surface there and switch tracing off).
    swallow([&] { count_event(self); });
    nb::object original = nb::none();
    swallow([&] { original = get(self, names().original_trace); });
    auto call_original = [&]() -> nb::object {
        nb::object result = nb::none();
        if (original.is_none()) return result;
        swallow([&] {
            result = nb::steal(check(
                PyObject_CallFunctionObjArgs(original.ptr(), frame.ptr(), event.ptr(),
                                             arg.ptr(), nullptr)));
        });
        return result;
    };
    bool is_caller = false;
    swallow([&] { is_caller = get(self, names().caller_frame).is(frame); });
    if (!is_caller) return call_original();
    nb::object kept = call_original();
    CallerEvent kind = CallerEvent::Other;
    if (PyUnicode_Check(event.ptr())) {
        if (PyUnicode_Compare(event.ptr(), names().ev_line) == 0)
            kind = CallerEvent::Line;
        else if (PyUnicode_Compare(event.ptr(), names().ev_return) == 0)
            kind = CallerEvent::Return;
    }
    swallow([&] { caller_event(self, kind); });
    nb::object next = kept;
    swallow([&] {
        if (!truthy(get(self, names().hook_installed))) return;
        nb::object fn = get(self, names().hook_fn);
        next = fn.is_none() ? get(self, names().first_sight_hook) : fn;
    });
    return next;
}

void install_hook_impl(nb::handle self) {
    if (truthy(get(self, names().hook_installed))) return;
    nb::object frame = get(self, names().caller_frame);
    if (frame.is_none()) return;

    PyThreadState *tstate = PyThreadState_Get();
    nb::object original = tstate->c_traceobj ? nb::borrow(tstate->c_traceobj) : nb::none();
    set(self, names().original_trace, original);
    set(self, names().hook_started_at, nb::float_(monitor_now(self)));
    set(self, names().hook_calls, nb::int_(0));
    nb::object hook_fn = get(self, names().first_sight_hook);
    set(self, names().hook_fn, hook_fn);

    swallow([&] { set(frame, names().f_trace_lines, nb::bool_(true)); });
    if (!monitor_method(self, Method::first_sight_hook)) {
        // With a previous tracer the caller frame's f_trace stays its own: the
        // tracer's per-frame function keeps getting the frame's events through
        // it. Without one, the frame names the hook, so that user code that
        // re-installs sys.gettrace() through sys.settrace keeps the watch.
        if (!tstate->c_tracefunc)
            swallow([&] {
                if (get(frame, names().f_trace).is_none()) set(frame, names().f_trace, hook_fn);
            });
        prune_records(self);
        HookRecord rec;
        rec.hook_fn = hook_fn;
        rec.caller_frame = frame;
        rec.prev_obj = nb::borrow(tstate->c_traceobj);
        rec.tstate = tstate;
        rec.tstate_id = PyThreadState_GetID(tstate);
        rec.prev_func = tstate->c_tracefunc;
        store_record(self, rec);
        PyEval_SetTrace(first_sight_trace, hook_fn.ptr());
    } else {
        swallow([&] { set(frame, names().f_trace, hook_fn); });
        nb::borrow(lib().settrace)(hook_fn);
    }
    set(self, names().hook_installed, nb::bool_(true));
}

void uninstall_hook_impl(nb::handle self) {
    if (!truthy(get(self, names().hook_installed))) return;
    nb::object hook_fn = get(self, names().hook_fn);
    swallow([&] {
        PyThreadState *tstate = PyThreadState_Get();
        HookRecord rec;
        bool found = !hook_fn.is_none() && find_record(self, hook_fn, rec);
        if (!hook_fn.is_none() && tstate->c_traceobj == hook_fn.ptr()) {
            if (found && rec.tstate == tstate) {
                erase_record(self, hook_fn);
                PyEval_SetTrace(rec.prev_func, rec.prev_obj.ptr());
            } else {
                if (found) erase_record(self, hook_fn);
                nb::borrow(lib().settrace)(get(self, names().original_trace));
            }
        } else if (found && rec.tstate != tstate && thread_alive(rec) &&
                   rec.tstate->c_traceobj == hook_fn.ptr()) {
            // Trace functions can only be swapped on their own thread: the
            // hook puts the previous tracer back on that thread's next event.
            rec.orphaned = true;
            store_record(self, rec);
        } else if (found) {
            erase_record(self, hook_fn);  // someone else replaced the tracer, or its thread ended
        }
        prune_records(self);
    });
    swallow([&] {
        nb::object frame = get(self, names().caller_frame);
        if (frame.is_none()) return;
        if (get(frame, names().f_trace).is(hook_fn)) set(frame, names().f_trace, get(self, names().original_trace));
    });
    set(self, names().hook_installed, nb::bool_(false));
    set(self, names().hook_fn, nb::none());
}

}  // namespace

// ---------------------------------------------------------------------------


bool is_user_file(nb::handle self, nb::handle filename) { return is_user_code(self, filename); }

void register_discovery(nb::module_ &m) {
    g_module_dict = PyModule_GetDict(m.ptr());
    using namespace nb::literals;

    def_monitor_method(m, "_forward_scan", [](nb::handle self, nb::handle frame) {
        forward_scan_impl(self, frame);
    }, "frame"_a.none());
    def_monitor_method(m, "_collect_top_defs", [](nb::handle self, nb::handle body) {
        collect_top_defs_impl(self, body);
    }, "body"_a.none());
    def_monitor_method(m, "_forward_pending", [](nb::handle self) {
        return forward_pending_impl(self);
    });
    def_monitor_method(m, "_install_hook", [](nb::handle self) { install_hook_impl(self); });
    def_monitor_method(m, "_uninstall_hook", [](nb::handle self) { uninstall_hook_impl(self); });
    def_monitor_method(m, "_first_sight_hook",
                       [](nb::handle self, nb::handle frame, nb::handle event, nb::handle arg) {
                           return first_sight_hook_impl(self, frame, event, arg);
                       },
                       "frame"_a.none(), "event"_a.none(), "arg"_a.none());
    def_monitor_method(m, "_is_user_code", [](nb::handle self, nb::handle filename) {
        return is_user_code_impl(self, filename);
    }, "filename"_a.none());
    def_monitor_method(m, "_check_user_code", [](nb::handle self, nb::handle filename) {
        return check_user_code_impl(self, filename);
    }, "filename"_a.none());
    def_monitor_method(m, "_wrap_scope", [](nb::handle self, nb::handle ns) {
        wrap_scope_impl(self, ns);
    }, "namespace"_a.none());
    def_monitor_method(m, "_wrap_one",
                       [](nb::handle self, nb::handle name, nb::handle obj, nb::handle ns) {
                           wrap_one_impl(self, name, obj, ns);
                       },
                       "name"_a.none(), "obj"_a.none(), "namespace"_a.none());
    def_monitor_method(m, "_wrap_class", [](nb::handle self, nb::handle cls) {
        wrap_class_impl(self, cls);
    }, "cls"_a.none());
    def_monitor_method(m, "_maybe_wrap_module", [](nb::handle self, nb::handle mod) {
        maybe_wrap_module_impl(self, mod);
    }, "mod"_a.none());
    def_monitor_method(m, "_register_wrap",
                       [](nb::handle self, nb::handle func, nb::handle name, nb::handle ns) {
                           register_wrap_impl(self, func, name, ns);
                       },
                       "func_obj"_a.none(), "name"_a.none(), "namespace"_a.none());
    def_monitor_method(m, "_make_wrapper", [](nb::handle self, nb::handle original) {
        return module_attr(names().overflow_callable)(original, self);
    }, "original"_a.none());
    def_monitor_method(m, "_unwrap_all", [](nb::handle self) { unwrap_all_impl(self); });
    // The load gate's thread calls this after every sample: the watch's step
    // outside the hook. Errors reach the gate's loop, which logs them.
    def_monitor_method(m, "_periodic_rescan", [](nb::handle self) {
        if (monitor_forward_open(self)) watch_late_definitions(self);
    });

}

}  // namespace corvid::overflow
