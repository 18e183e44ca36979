#include "overflow/writeback.hpp"

#include <array>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "overflow/config.hpp"
#include "overflow/monitor.hpp"
#include "overflow/libraries.hpp"

namespace corvid::overflow {
namespace {

using namespace nb::literals;

long long scan_cap() { return const_int(names().container_scan_cap, settings().container_scan_cap); }

bool instance_of(nb::handle obj, nb::handle type) {
    return type.is_valid() && check(PyObject_IsInstance(obj.ptr(), type.ptr())) == 1;
}

// ---------------------------------------------------------------------------
// Element walks. Items are owned while they are looked at: a check on one may
// run Python code (a subclass's __len__) that changes the container.

template <typename F>
bool all_items(nb::handle obj, F &&f) {
    PyObject *seq = obj.ptr();
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(seq, i));
            if (!f(item)) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i)
            if (!f(nb::handle(PyTuple_GET_ITEM(seq, i)))) return false;
        return true;
    }
    nb::object it = nb::steal(check(PyObject_GetIter(seq)));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        if (!f(item)) return false;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return true;
}

// f(key, value) for each entry of a dictionary, in order, owned.
template <typename F>
bool all_entries(nb::handle dict, F &&f, long long limit = -1) {
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;
    long long seen = 0;
    while (PyDict_Next(dict.ptr(), &pos, &k, &v)) {
        if (limit >= 0 && seen++ >= limit) break;
        nb::object key = nb::borrow(k), value = nb::borrow(v);
        if (!f(key, value)) return false;
    }
    return true;
}

bool atom_type(PyObject *o) {
    return o == Py_None || PyLong_Check(o) || PyFloat_Check(o) || PyUnicode_Check(o) ||
           PyBytes_Check(o) || PyComplex_Check(o);
}

Py_ssize_t size_of(nb::handle obj) {
    Py_ssize_t n = PyObject_Size(obj.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

bool atoms_only_container(nb::handle obj) {
    if (size_of(obj) > scan_cap()) return false;
    if (PyList_Check(obj.ptr()) || PySet_Check(obj.ptr()))
        return all_items(obj, [](nb::handle item) { return is_immutable_atom(item); });
    if (PyDict_Check(obj.ptr()))
        return all_entries(obj, [](nb::handle key, nb::handle value) {
            return is_immutable_atom(key) && is_immutable_atom(value);
        });
    return false;
}

// ---------------------------------------------------------------------------
// The sync functions: every check before the first write.

[[noreturn]] void refuse(const char *message) {
    PyErr_SetString(state_sync_error_type().ptr(), message);
    throw nb::python_error();
}

// _StateSyncError(prefix + str(error)), caused by `error`.
[[noreturn]] void refuse_after(const char *prefix, nb::python_error &error) {
    nb::object cause = nb::borrow(error.value());
    nb::object text = nb::steal(check(PyObject_Str(cause.ptr())));
    nb::object message = nb::steal(check(PyUnicode_FromFormat("%s%U", prefix, text.ptr())));
    nb::object refusal = nb::steal(check(PyObject_CallOneArg(state_sync_error_type().ptr(), message.ptr())));
    PyException_SetCause(refusal.ptr(), cause.release().ptr());
    PyErr_SetObject(state_sync_error_type().ptr(), refusal.ptr());
    throw nb::python_error();
}

// Runs `f`; an ordinary error comes back (for the caller to re-word outside
// any handler), anything else passes.
template <typename F>
std::optional<nb::python_error> attempt(F &&f) {
    try {
        exit_safe(std::forward<F>(f));
        return std::nullopt;
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        return std::move(e);
    }
}

bool differs(nb::handle a, nb::handle b, const char *attr) {
    nb::object x = a.attr(attr), y = b.attr(attr);
    return check(PyObject_RichCompareBool(x.ptr(), y.ptr(), Py_NE)) == 1;
}

void replace_content(nb::handle local, nb::handle remote) {
    check(PySequence_SetSlice(local.ptr(), 0, PY_SSIZE_T_MAX, remote.ptr()));
}

void clear_then_update(nb::handle local, nb::handle remote) {
    if (PyDict_CheckExact(local.ptr())) {
        PyDict_Clear(local.ptr());
        check(PyDict_Update(local.ptr(), remote.ptr()));
        return;
    }
    local.attr(names().clear)();
    local.attr("update")(remote);
}

void sync_bytearray(nb::handle local, nb::handle remote) {
    if (!PyBytes_Check(remote.ptr()) && !PyByteArray_Check(remote.ptr()))
        refuse("bytearray write-back type mismatch");
    replace_content(local, remote);
}

void sync_list(nb::handle local, nb::handle remote) {
    if (!PyList_Check(remote.ptr())) refuse("list write-back type mismatch");
    replace_content(local, remote);
}

void sync_dict(nb::handle local, nb::handle remote) {
    if (!PyDict_Check(remote.ptr())) refuse("dict write-back type mismatch");
    clear_then_update(local, remote);
}

void sync_set(nb::handle local, nb::handle remote) {
    if (!PyAnySet_Check(remote.ptr())) refuse("set write-back type mismatch");
    clear_then_update(local, remote);
}

void sync_ndarray(nb::handle local, nb::handle remote) {
    nb::object ndarray = ndarray_type();
    if (!instance_of(remote, ndarray)) refuse("ndarray write-back type mismatch");
    if (differs(local, remote, "shape") || differs(local, remote, "dtype"))
        refuse("ndarray write-back shape/dtype mismatch");
    if (!truthy(local.attr("flags").attr("writeable"))) refuse("ndarray not writeable");
    nb::object copyto = numpy_copyto();
    exit_safe([&] { return copyto(local, remote); });
}

// local.load_state_dict(remote.state_dict()) for a module or an optimizer,
// once `remote` is of the class `of` picks out of torch's.
void sync_state(nb::handle local, nb::handle remote, nb::object TorchTypes::*of, const char *what,
                bool strict) {
    TorchTypes torch;
    std::string kind(what);
    if (!torch_types(torch) || !instance_of(remote, torch.*of))
        refuse((kind + " write-back type mismatch").c_str());
    if (auto error = attempt([&] {
            nb::object state = remote.attr("state_dict")();
            if (strict)
                local.attr("load_state_dict")(state, "strict"_a = true);
            else
                local.attr("load_state_dict")(state);
        }))
        refuse_after((kind + " load_state_dict failed: ").c_str(), *error);
}

void sync_module(nb::handle local, nb::handle remote) {
    sync_state(local, remote, &TorchTypes::module, "module", true);
}

void sync_optimizer(nb::handle local, nb::handle remote) {
    sync_state(local, remote, &TorchTypes::optimizer, "optimizer", false);
}

void sync_tensor(nb::handle local, nb::handle remote) {
    TorchTypes torch;
    if (!torch_types(torch) || !instance_of(remote, torch.tensor))
        refuse("tensor write-back type mismatch");
    bool on_cuda = false;
    if (auto error = attempt([&] {
            on_cuda = truthy(local.attr("is_cuda")) || truthy(remote.attr("is_cuda"));
        }))
        refuse_after("tensor device probe failed: ", *error);
    if (on_cuda) refuse("tensor write-back on cuda unsupported");
    if (differs(local, remote, "shape") || differs(local, remote, "dtype"))
        refuse("tensor write-back shape/dtype mismatch");
    nb::object no_grad = torch.no_grad;
    if (auto error = attempt([&] {
            nb::object scope = no_grad();
            scope.attr("__enter__")();
            nb::object copied = nb::steal(PyObject_CallMethod(local.ptr(), "copy_", "O", remote.ptr()));
            {
                ErrorGuard keep;  // the copy's own error, if any, wins over the exit's
                PyObject *exited =
                    PyObject_CallMethod(scope.ptr(), "__exit__", "OOO", Py_None, Py_None, Py_None);
                if (exited)
                    Py_DECREF(exited);
                else
                    PyErr_Clear();
            }
            if (!copied) throw nb::python_error();
        }))
        refuse_after("tensor copy_ failed: ", *error);
}

using SyncFn = void (*)(nb::handle, nb::handle);
constexpr std::array<SyncFn, static_cast<size_t>(SyncKind::Count)> kSyncFns{
    nullptr,      sync_bytearray, sync_ndarray, sync_module, sync_optimizer,
    sync_tensor,  sync_list,      sync_dict,    sync_set};
constexpr std::array<const char *, static_cast<size_t>(SyncKind::Count)> kSyncNames{
    nullptr,        "_sync_bytearray", "_sync_ndarray", "_sync_module", "_sync_optimizer",
    "_sync_tensor", "_sync_list",      "_sync_dict",    "_sync_set"};

// The module's sync function objects, as `_roundtrippable` hands them out
// (owned for the process).
std::array<PyObject *, static_cast<size_t>(SyncKind::Count)> g_sync_objects{};

nb::object sync_object(SyncKind kind) {
    if (kind == SyncKind::None) return nb::none();
    return nb::borrow(g_sync_objects[static_cast<size_t>(kind)]);
}

void run_sync(SyncKind kind, nb::handle local, nb::handle remote) {
    kSyncFns[static_cast<size_t>(kind)](local, remote);
}

// ---------------------------------------------------------------------------
// Attribute syncs.

bool attr_sync_candidate(nb::handle obj) {
    PyObject *o = obj.ptr();
    if (is_immutable_atom(obj) || PyList_Check(o) || PyDict_Check(o) || PySet_Check(o) ||
        PyByteArray_Check(o))
        return false;
    return !instance_of(obj, ndarray_type());
}

// f(name, kind) for the first _CONTAINER_SCAN_CAP attributes of obj that
// have a sync function; stops when f returns false.
template <typename F>
void each_attr_sync(nb::handle obj, F &&f) {
    if (!attr_sync_candidate(obj)) return;
    nb::object d = optional_attr(obj, names().dunder_dict);
    if (!d.is_valid() || !PyDict_Check(d.ptr())) return;
    all_entries(
        d,
        [&](nb::handle name, nb::handle value) {
            SyncKind kind = roundtrippable(value);
            return kind == SyncKind::None || f(name, kind);
        },
        scan_cap());
}

bool starts_private(nb::handle name) {
    return PyUnicode_Check(name.ptr()) && PyUnicode_GET_LENGTH(name.ptr()) > 0 &&
           PyUnicode_READ_CHAR(name.ptr(), 0) == '_';
}

// ---------------------------------------------------------------------------
// The write-back.

struct PlanEntry {
    nb::object local, remote;
    SyncKind kind;
};

void plan_pair(std::vector<PlanEntry> &plan, nb::handle local, nb::handle remote) {
    if (SyncKind kind = roundtrippable(local); kind != SyncKind::None) {
        plan.push_back({nb::borrow(local), nb::borrow(remote), kind});
        return;
    }
    std::vector<std::pair<nb::object, SyncKind>> syncs;
    each_attr_sync(local, [&](nb::handle name, SyncKind kind) {
        syncs.emplace_back(nb::borrow(name), kind);
        return true;
    });
    if (syncs.empty()) return;
    nb::object rd = optional_attr(remote, names().dunder_dict);
    if (!rd.is_valid() || !PyDict_Check(rd.ptr())) return;
    for (auto &[name, kind] : syncs) {
        nb::object theirs = mapping_get(rd, name);
        if (!theirs.is_valid()) continue;
        nb::object ours = nb::steal(check(PyObject_GetAttr(local.ptr(), name.ptr())));
        plan.push_back({std::move(ours), std::move(theirs), kind});
    }
}

std::vector<PlanEntry> build_plan(nb::handle args, nb::handle kwargs, nb::handle post_args,
                                  nb::handle post_kwargs) {
    std::vector<PlanEntry> plan;
    nb::object ours = nb::steal(check(PySequence_Fast(args.ptr(), "write-back arguments must be a sequence")));
    nb::object theirs =
        nb::steal(check(PySequence_Fast(post_args.ptr(), "returned arguments must be a sequence")));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(ours.ptr()) &&
                           i < PySequence_Fast_GET_SIZE(theirs.ptr());
         ++i) {
        nb::object local = nb::borrow(PySequence_Fast_GET_ITEM(ours.ptr(), i));
        nb::object remote = nb::borrow(PySequence_Fast_GET_ITEM(theirs.ptr(), i));
        plan_pair(plan, local, remote);
    }
    if (kwargs.is_none() || post_kwargs.is_none()) return plan;
    nb::object keys = nb::steal(check(PySequence_List(kwargs.ptr())));
    for (nb::handle key : keys) {
        nb::object remote = mapping_get(post_kwargs, key);
        if (!remote.is_valid()) continue;
        nb::object local = nb::steal(check(PyObject_GetItem(kwargs.ptr(), key.ptr())));
        plan_pair(plan, local, remote);
    }
    return plan;
}

}  // namespace

bool is_immutable_atom(nb::handle obj) {
    PyObject *o = obj.ptr();
    if (atom_type(o)) return true;
    if (!PyTuple_Check(o) && !PyFrozenSet_Check(o)) return false;
    RecursionScope depth(" while classifying a nested container");
    nb::object held = nb::borrow(obj);
    if (size_of(held) > scan_cap()) return false;
    return all_items(held, [](nb::handle item) { return is_immutable_atom(item); });
}

SyncKind roundtrippable(nb::handle obj) {
    PyObject *o = obj.ptr();
    if (PyByteArray_Check(o)) return SyncKind::Bytearray;
    // a plain list, dict or set is never one of the libraries' classes
    const bool plain = PyList_CheckExact(o) || PyDict_CheckExact(o) || PySet_CheckExact(o);
    if (!plain) {
        if (instance_of(obj, ndarray_type())) return SyncKind::Ndarray;
        if (TorchTypes torch; torch_types(torch)) {
            if (instance_of(obj, torch.module)) return SyncKind::Module;
            if (instance_of(obj, torch.optimizer)) return SyncKind::Optimizer;
            if (instance_of(obj, torch.tensor)) return SyncKind::Tensor;
        }
    }
    bool list = PyList_Check(o), dict = PyDict_Check(o), set = PySet_Check(o);
    if (!(list || dict || set) || !atoms_only_container(obj)) return SyncKind::None;
    return list ? SyncKind::List : dict ? SyncKind::Dict : SyncKind::Set;
}

StateClass arg_state_class(nb::handle obj) {
    if (is_immutable_atom(obj)) return StateClass::Immutable;
    return roundtrippable(obj) == SyncKind::None ? StateClass::Unsyncable : StateClass::Sync;
}

bool has_attr_syncs(nb::handle obj) {
    bool any = false;
    each_attr_sync(obj, [&](nb::handle, SyncKind) {
        any = true;
        return false;
    });
    return any;
}

bool fully_syncable(nb::handle obj) {
    if (is_immutable_atom(obj)) return true;
    bool top = roundtrippable(obj) != SyncKind::None;
    nb::object d = optional_attr(obj, names().dunder_dict);
    if (!d.is_valid() || !PyDict_Check(d.ptr())) return top;
    if (PyDict_GET_SIZE(d.ptr()) > scan_cap()) return false;
    return all_entries(d, [&](nb::handle name, nb::handle value) {
        return is_immutable_atom(value) || roundtrippable(value) != SyncKind::None ||
               (top && starts_private(name));
    });
}

void apply_writeback(nb::handle self, nb::handle args, nb::handle kwargs, nb::handle post_args,
                     nb::handle post_kwargs) {
    std::vector<PlanEntry> plan = build_plan(args, kwargs, post_args, post_kwargs);
    if (plan.empty()) return;

    nb::object deepcopy = nb::module_::import_("copy").attr("deepcopy");
    std::vector<nb::object> snapshots;
    snapshots.reserve(plan.size());
    for (const PlanEntry &entry : plan) {
        nb::object copy;
        swallow([&] { copy = exit_safe([&] { return deepcopy(entry.local); }); });
        snapshots.push_back(copy.is_valid() ? copy : nb::borrow(unset()));
    }

    // Whatever stops the writes, the entries already written go back to their
    // snapshots before the error moves on: a caller that then runs the call
    // here must find its objects as they were.
    size_t done = 0;
    std::exception_ptr failure;
    try {
        for (; done < plan.size(); ++done) run_sync(plan[done].kind, plan[done].local, plan[done].remote);
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        throw;
#endif
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) return;
    while (done-- > 0) {
        if (snapshots[done].is(unset())) continue;
        swallow([&] { run_sync(plan[done].kind, plan[done].local, snapshots[done]); });
    }
    std::rethrow_exception(failure);
}

void register_writeback(nb::module_ &m) {
    m.def("_is_immutable_atom", [](nb::handle obj) { return is_immutable_atom(obj); }, "obj"_a.none(),
          "obj is an int, float, complex, bool, str, bytes or None, or a tuple or frozenset of such.");
    m.def("_atoms_only_container", [](nb::handle obj) { return atoms_only_container(obj); },
          "obj"_a.none(), "obj is a list, set or dict holding immutable atoms only.");
    m.def("_roundtrippable", [](nb::handle obj) { return sync_object(roundtrippable(obj)); },
          "obj"_a.none(), "The sync function that writes a remote copy of obj back into obj, or None.");
    m.def(
        "_arg_state_class",
        [](nb::handle obj) {
            switch (arg_state_class(obj)) {
                case StateClass::Immutable: return nb::str("immutable");
                case StateClass::Sync: return nb::str("sync");
                default: return nb::str("unsyncable");
            }
        },
        "obj"_a.none(), "\"immutable\", \"sync\" or \"unsyncable\".");
    m.def(
        "_object_attr_syncs",
        [](nb::handle obj) {
            nb::dict out;
            each_attr_sync(obj, [&](nb::handle name, SyncKind kind) {
                check(PyObject_SetItem(out.ptr(), name.ptr(), sync_object(kind).ptr()));
                return true;
            });
            return out;
        },
        "obj"_a.none(), "The attributes of obj that have a sync function, with that function.");
    m.def("_fully_syncable", [](nb::handle obj) { return fully_syncable(obj); }, "obj"_a.none(),
          "Every state of obj a remote run can change can be written back.");
    for (size_t i = 1; i < kSyncFns.size(); ++i) {
        SyncFn fn = kSyncFns[i];
        m.def(kSyncNames[i], [fn](nb::handle local, nb::handle remote) { fn(local, remote); },
              "local"_a.none(), "remote"_a.none(),
              "Overwrites local's state with remote's, in place; _StateSyncError when it cannot.");
        g_sync_objects[i] = m.attr(kSyncNames[i]).inc_ref().ptr();
    }
    def_monitor_method(
        m, "_apply_writeback",
        [](nb::handle self, nb::handle args, nb::handle kwargs, nb::handle post_args,
           nb::handle post_kwargs) { apply_writeback(self, args, kwargs, post_args, post_kwargs); },
        "args"_a.none(), "kwargs"_a.none(), "post_args"_a.none(), "post_kwargs"_a.none());
}

}  // namespace corvid::overflow
