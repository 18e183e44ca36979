#include "overflow/safety.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <unordered_map>
#include <vector>

#include "overflow/config.hpp"
#include "overflow/discovery.hpp"
#include "overflow/monitor.hpp"
#include "overflow/libraries.hpp"
#include "overflow/source.hpp"
#include "overflow/tokens.hpp"
#include "overflow/writeback.hpp"

namespace corvid::overflow {
namespace {

using namespace nb::literals;

// ---------------------------------------------------------------------------
// Small helpers.

long long saturate(__int128 v) { return v > LLONG_MAX ? LLONG_MAX : static_cast<long long>(v); }

// ---------------------------------------------------------------------------
// Source tokens. The verdict scans the same cached source text on every
// call, so the answer is kept per text.

constexpr uint32_t kLocalRead = 1u << 0;
constexpr uint32_t kSideEffect = 1u << 1;

const TokenMatcher &effect_tokens() {
    static const TokenMatcher matcher = [] {
        TokenMatcher m;
        for (const std::string &tok : settings().local_read_tokens) m.add(tok, kLocalRead);
        for (const std::string &tok : settings().side_effect_tokens) m.add(tok, kSideEffect);
        m.build();
        return m;
    }();
    return matcher;
}

uint32_t effect_mask(nb::handle src) {
    if (!PyUnicode_Check(src.ptr()))
        throw nb::type_error(
            ("source text must be str, not " + std::string(Py_TYPE(src.ptr())->tp_name)).c_str());
    static PyObject *memo = check(PyDict_New());  // text -> mask, kept for the process
    PyObject *hit = nullptr;
    check(dict_get_ref(memo, src.ptr(), &hit));
    if (hit) {
        nb::object held = nb::steal(hit);
        return static_cast<uint32_t>(PyLong_AsUnsignedLong(hit));
    }
    nb::object keep;
    uint32_t mask = effect_tokens().scan(utf8_view(src, keep), kLocalRead | kSideEffect);
    if (PyDict_GET_SIZE(memo) >= 4096) PyDict_Clear(memo);
    nb::object value = nb::steal(check(PyLong_FromUnsignedLong(mask)));
    check(PyDict_SetItem(memo, src.ptr(), value.ptr()));
    return mask;
}

// ---------------------------------------------------------------------------
// The syntax tree.

struct AstKit {
    nb::object parse, walk, dedent;
    nb::object function_def, async_function_def, assign, aug_assign, ann_assign, del;
    nb::object attribute, subscript, name, call;
};

const AstKit &ast_kit() {
    static const AstKit *kit = [] {
        nb::module_ ast = nb::module_::import_("ast");
        auto *k = new AstKit{ast.attr("parse"),     ast.attr("walk"),
                             nb::module_::import_("textwrap").attr("dedent"),
                             ast.attr("FunctionDef"), ast.attr("AsyncFunctionDef"),
                             ast.attr("Assign"),      ast.attr("AugAssign"),
                             ast.attr("AnnAssign"),   ast.attr("Delete"),
                             ast.attr("Attribute"),   ast.attr("Subscript"),
                             ast.attr("Name"),        ast.attr("Call")};
        return k;  // kept for the process
    }();
    return *kit;
}

bool is_node(nb::handle node, const nb::object &kind) {
    return PyObject_TypeCheck(node.ptr(), reinterpret_cast<PyTypeObject *>(kind.ptr()));
}

nb::object parse_dedented(nb::handle src) {
    const AstKit &k = ast_kit();
    return k.parse(k.dedent(src));
}

// `node` is the bare name `first`.
bool names_first(nb::handle node, nb::handle first) {
    if (!is_node(node, ast_kit().name)) return false;
    nb::object id = node.attr(names().ast_id);
    return check(PyObject_RichCompareBool(id.ptr(), first.ptr(), Py_EQ)) == 1;
}

bool target_touches_first(nb::handle target, nb::handle first) {
    const AstKit &k = ast_kit();
    for (nb::handle sub : k.walk(target)) {
        if (is_node(sub, k.attribute) && names_first(sub.attr(names().ast_value), first)) return true;
        if (is_node(sub, k.subscript)) {
            nb::object inner = sub.attr(names().ast_value);
            if (is_node(inner, k.attribute) && names_first(inner.attr(names().ast_value), first))
                return true;
        }
    }
    return false;
}

bool self_mutates_parsed(nb::handle src) {
    const AstKit &k = ast_kit();
    const Names &n = names();
    nb::object tree = parse_dedented(src);
    nb::object fn;
    for (nb::handle stmt : tree.attr(n.ast_body))
        if (is_node(stmt, k.function_def) || is_node(stmt, k.async_function_def)) {
            fn = nb::borrow(stmt);
            break;
        }
    if (!fn.is_valid()) return false;
    nb::object arguments = fn.attr(n.ast_args);
    nb::object params = nb::steal(check(PySequence_List(arguments.attr(n.ast_posonlyargs).ptr())));
    nb::object ordinary = arguments.attr(n.ast_args);
    check(PyList_SetSlice(params.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, ordinary.ptr()));
    if (PyList_GET_SIZE(params.ptr()) == 0) return false;
    nb::object first = nb::borrow(PyList_GET_ITEM(params.ptr(), 0)).attr(n.ast_arg);

    for (nb::handle node : k.walk(fn)) {
        nb::object targets;
        if (is_node(node, k.assign) || is_node(node, k.del))
            targets = node.attr(n.ast_targets);
        else if (is_node(node, k.aug_assign) || is_node(node, k.ann_assign))
            targets = nb::make_tuple(node.attr(n.ast_target));
        else
            continue;
        for (nb::handle target : targets)
            if (target_touches_first(target, first)) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Calls into user code: resolution and the transitive walk.

// inspect.getclosurevars(func), once per function of a walk; empty when it
// fails.
class ClosureVars {
public:
    nb::handle of(nb::handle func) {
        if (!asked_) {
            asked_ = true;
            swallow([&] { vars_ = nb::module_::import_("inspect").attr("getclosurevars")(func); });
        }
        return vars_;
    }

private:
    bool asked_ = false;
    nb::object vars_;
};

nb::object lookup_named(nb::handle mapping, nb::handle name) {
    nb::object value = mapping_get(mapping, name);
    return value.is_valid() && !value.is_none() ? value : nb::object();
}

nb::object resolve_callee_with(nb::handle node, nb::handle func, ClosureVars &closure) {
    const Names &n = names();
    const AstKit &k = ast_kit();
    nb::object name;
    if (is_node(node, k.name))
        name = node.attr(n.ast_id);
    else if (is_node(node, k.attribute))
        name = node.attr(n.ast_attr);
    else
        return nb::none();

    nb::object value;
    swallow([&] {
        nb::handle cv = closure.of(func);
        if (!cv.is_valid()) return;
        value = lookup_named(cv.attr(n.nonlocals), name);
        if (!value.is_valid()) value = lookup_named(cv.attr(n.globals_attr), name);
    });
    if (!value.is_valid()) {
        nb::object globals = optional_attr(func, n.dunder_globals);
        if (globals.is_valid() && !globals.is_none()) value = lookup_named(globals, name);
        if (!value.is_valid()) return nb::none();
    }
    for (PyObject *inner : {n.original_attr, n.func_attr})
        if (nb::object unwrapped = optional_attr(value, inner); unwrapped.is_valid()) value = unwrapped;
    if (PyCallable_Check(value.ptr()) && optional_attr(value, n.dunder_code).is_valid()) return value;
    return nb::none();
}

// Resolution never fails a walk: an error gives no callee.
nb::object resolve_callee_guarded(nb::handle node, nb::handle func, ClosureVars &closure) {
    nb::object callee = nb::none();
    swallow([&] { callee = resolve_callee_with(node, func, closure); });
    return callee;
}

nb::object source_of(nb::handle self, nb::handle func, nb::handle key) {
    if (nb::object replaced = monitor_method(self, Method::get_src))
        return exit_safe([&] { return replaced(func); });
    return get_src_keyed(self, func, key);
}

bool in_user_code(nb::handle self, nb::handle callee) {
    bool user = false;
    swallow([&] {
        nb::object code = callee.attr(names().dunder_code);
        user = is_user_file(self, code.attr(names().co_filename));
    });
    return user;
}

bool transitive_full(nb::handle self, nb::handle func) {
    const AstKit &k = ast_kit();
    const long long cap = const_int(names().effect_visit_cap, settings().effect_visit_cap);
    nb::object seen = nb::steal(check(PySet_New(nullptr)));
    std::vector<nb::object> stack{nb::borrow(func)};
    long long visited = 0;
    while (!stack.empty()) {
        nb::object f = std::move(stack.back());
        stack.pop_back();
        nb::object key = sig_key(f);
        if (check(PySet_Contains(seen.ptr(), key.ptr()))) continue;
        check(PySet_Add(seen.ptr(), key.ptr()));

        nb::object src = source_of(self, f, key);
        if (effect_mask(src)) return true;
        if (!truthy(src)) continue;
        nb::object tree;
        if (!swallow([&] { tree = parse_dedented(src); })) continue;

        ClosureVars closure;
        nb::object replaced = monitor_method(self, Method::resolve_callee);
        for (nb::handle node : k.walk(tree)) {
            if (!is_node(node, k.call)) continue;
            nb::object target = node.attr(names().ast_func);
            nb::object callee = replaced ? exit_safe([&] { return replaced(target, f); })
                                         : resolve_callee_guarded(target, f, closure);
            if (callee.is_none() || !in_user_code(self, callee)) continue;
            if (++visited > cap) return true;
            nb::object callee_key = sig_key(callee);
            if (!check(PySet_Contains(seen.ptr(), callee_key.ptr()))) stack.push_back(std::move(callee));
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Memoised analyses of the function.

bool memoised(nb::handle cache, nb::handle key, bool &answer) {
    nb::object stored = mapping_get(cache, key);
    if (!stored.is_valid()) return false;
    answer = truthy(stored);
    return true;
}

void remember(nb::handle cache, nb::handle key, bool answer) {
    check(PyObject_SetItem(cache.ptr(), key.ptr(), answer ? Py_True : Py_False));
}

bool self_mutates_gate(nb::handle self, nb::handle func, nb::handle key) {
    nb::object cache = field_self_mut_cache(self);
    bool answer = false;
    if (memoised(cache, key, answer)) return answer;
    answer = self_mutates(source_of(self, func, key));
    remember(cache, key, answer);
    return answer;
}

bool transitive_effect(nb::handle self, nb::handle func, nb::handle key) {
    nb::object cache = field_effect_cache(self);
    bool answer = false;
    if (memoised(cache, key, answer)) return answer;
    answer = call_monitor_method<bool>(self, Method::transitive_full, transitive_full, func);
    remember(cache, key, answer);
    return answer;
}

// Generators, coroutines and async generators, as the host's inspect
// predicates see them; a plain function not marked as a coroutine answers
// from its code flags.
bool generator_like(nb::handle func) {
    if (PyFunction_Check(func.ptr())) {
        PyObject *d = instance_dict(func.ptr());
        if (!d || PyDict_GET_SIZE(d) == 0 || !PyDict_Contains(d, names().is_coroutine_marker)) {
            auto *code = reinterpret_cast<PyCodeObject *>(PyFunction_GET_CODE(func.ptr()));
            return code->co_flags & (CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR);
        }
    }
    nb::module_ inspect = nb::module_::import_("inspect");
    for (const char *predicate : {"isgeneratorfunction", "iscoroutinefunction", "isasyncgenfunction"})
        if (truthy(inspect.attr(predicate)(func))) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Arguments: state, size, pickling.

bool state_transfer_ok(nb::handle args, nb::handle kwargs, bool is_method) {
    Py_ssize_t skip = 0;
    if (is_method) {
        nb::object seq = nb::steal(check(PySequence_Fast(args.ptr(), "arguments must be a sequence")));
        if (PySequence_Fast_GET_SIZE(seq.ptr()) > 0) {
            nb::object first = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 0));
            if (!fully_syncable(first)) return false;
            skip = 1;
        }
    }
    return !any_argument(
        args, kwargs, [](nb::handle v) { return arg_state_class(v) == StateClass::Unsyncable; }, skip);
}

bool needs_writeback_of(nb::handle args, nb::handle kwargs) {
    return any_argument(args, kwargs, [](nb::handle v) {
        return arg_state_class(v) == StateClass::Sync || has_attr_syncs(v);
    });
}

// What one size estimate needs, read once per estimate rather than per
// element: the library classes and the two limits.
// What one size estimate needs, read once per estimate rather than per
// element: the two limits, and the library classes when a value that is not
// a plain built-in first asks for them.
class SizeContext {
public:
    SizeContext()
        : depth_limit(const_int(names().size_depth, settings().size_depth)),
          scan_cap(const_int(names().container_scan_cap, settings().container_scan_cap)) {}

    const nb::object &ndarray() const { return load(), ndarray_; }
    const nb::object &tensor() const { return load(), tensor_; }

    const long long depth_limit, scan_cap;

private:
    void load() const {
        if (loaded_) return;
        loaded_ = true;
        ndarray_ = ndarray_type();
        if (TorchTypes torch; torch_types(torch)) tensor_ = std::move(torch.tensor);
    }
    mutable bool loaded_ = false;
    mutable nb::object ndarray_, tensor_;
};

long long obj_size(const SizeContext &cx, nb::handle obj, long long depth);

long long sampled_size(const SizeContext &cx, nb::handle seq, long long depth) {
    nb::object items = nb::steal(check(PySequence_Fast(seq.ptr(), "expected a sequence")));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
    const Py_ssize_t head = static_cast<Py_ssize_t>(std::max(0LL, std::min<long long>(n, cx.scan_cap)));
    __int128 total = 0;
    for (Py_ssize_t i = 0; i < head && i < PySequence_Fast_GET_SIZE(items.ptr()); ++i) {
        nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(items.ptr(), i));
        total += obj_size(cx, item, depth + 1);
    }
    if (head > 0 && n > head) total = total * n / head;
    return saturate(total);
}

// An integer read from a library object; 0 when reading it fails.
template <typename F>
long long guarded_int(F &&read) {
    long long out = 0;
    swallow([&] {
        nb::object value = read();
        nb::object as_int = nb::steal(check(PyNumber_Long(value.ptr())));
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
        if (n == -1 && PyErr_Occurred()) throw nb::python_error();
        out = overflow > 0 ? LLONG_MAX : overflow < 0 ? 0 : n;
    });
    return out;
}

// sys.getsizeof(obj), or 512 when it fails. The sizes of the fixed-size
// built-in scalars (and of one-digit integers) are asked once.
long long shallow_size(nb::handle obj) {
    static PyObject *getsizeof = nb::object(nb::module_::import_("sys").attr("getsizeof")).release().ptr();
    auto ask = [](PyObject *o) {
        long long size = 512;
        swallow([&] {
            nb::object v = nb::steal(check(PyObject_CallOneArg(getsizeof, o)));
            long long n = PyLong_AsLongLong(v.ptr());
            if (n == -1 && PyErr_Occurred()) throw nb::python_error();
            size = n;
        });
        return size;
    };
    PyObject *o = obj.ptr();
    if (PyFloat_CheckExact(o)) {
        static const long long float_size = ask(o);
        return float_size;
    }
    if (o == Py_None || PyBool_Check(o)) {
        static const long long none_size = ask(Py_None), bool_size = ask(Py_True);
        return o == Py_None ? none_size : bool_size;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow && v > -(1LL << 30) && v < (1LL << 30)) {
            static const long long zero_size = ask(nb::int_(0).ptr()), digit_size = ask(nb::int_(1).ptr());
            return v == 0 ? zero_size : digit_size;
        }
    }
    return ask(o);
}

long long obj_size(const SizeContext &cx, nb::handle obj, long long depth) {
    PyObject *o = obj.ptr();
    if (PyBytes_Check(o)) return PyBytes_GET_SIZE(o);
    if (PyByteArray_Check(o)) return PyByteArray_GET_SIZE(o);
    if (PyUnicode_Check(o)) return PyUnicode_GET_LENGTH(o);
    if (PyLong_CheckExact(o) || PyFloat_CheckExact(o) || o == Py_None) return shallow_size(obj);
    // a plain container is never one of the libraries' classes
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o) && !PyDict_CheckExact(o)) {
        if (cx.ndarray().is_valid() && check(PyObject_IsInstance(o, cx.ndarray().ptr())))
            return guarded_int([&] { return obj.attr(names().nbytes); });
        if (cx.tensor().is_valid() && check(PyObject_IsInstance(o, cx.tensor().ptr())))
            return guarded_int([&] {
                nb::object items = obj.attr(names().nelement)();
                return obj.attr(names().element_size)() * items;
            });
    }
    if (depth < cx.depth_limit) {
        RecursionScope level(" while sizing a nested container");
        if (PyList_Check(o) || PyTuple_Check(o)) return sampled_size(cx, obj, depth);
        if (PySet_Check(o)) return sampled_size(cx, nb::steal(check(PySequence_List(o))), depth);
        if (PyDict_Check(o)) return sampled_size(cx, nb::steal(check(PyDict_Values(o))), depth);
    }
    return shallow_size(obj);
}

// The payload limit as a double, for deciding when to stop adding: a limit
// beyond a double's range stops nothing.
double limit_bound(nb::handle limit) {
    double d = PyFloat_AsDouble(limit.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
        PyErr_Clear();
        return truthy(limit) && check(PyObject_RichCompareBool(limit.ptr(), nb::int_(0).ptr(), Py_GT))
                   ? HUGE_VAL
                   : -HUGE_VAL;
    }
    return d;
}

long long cheap_size(nb::handle args, nb::handle kwargs, double bound) {
    const SizeContext cx;
    __int128 total = 0;
    any_argument(args, kwargs, [&](nb::handle v) {
        total += obj_size(cx, v, 0);
        return static_cast<double>(total) > bound;
    });
    return saturate(total);
}

bool too_large(nb::handle self, nb::handle args, nb::handle kwargs) {
    nb::object limit = field_max_payload_bytes(self);
    nb::object size;
    if (nb::object replaced = monitor_method(self, Method::cheap_size))
        size = exit_safe([&] { return replaced(args, kwargs); });
    else
        size = nb::steal(check(PyLong_FromLongLong(cheap_size(args, kwargs, limit_bound(limit)))));
    return check(PyObject_RichCompareBool(size.ptr(), limit.ptr(), Py_GT)) == 1;
}

// _unpicklable_types(): built on first use, then the module constant.
nb::object unpicklable_types_now(bool &builtin) {
    static PyObject *built = nullptr;  // the tuple built here, kept for the process
    PyObject *module_dict = PyModule_GetDict(overflow_module().ptr());
    PyObject *current = nullptr;
    check(dict_get_ref(module_dict, names().unpicklable_types, &current));
    nb::object held = nb::steal(current);
    if (held.is_valid() && !held.is_none()) {
        builtin = held.ptr() == built;
        return held;
    }
    nb::list types;
    auto add = [&](const char *module, const char *attr) {
        swallow([&] { types.append(nb::module_::import_(module).attr(attr)); });
    };
    auto add_type_of = [&](const char *factory) {
        swallow([&] {
            nb::object lock = nb::module_::import_("threading").attr(factory)();
            types.append(nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(lock.ptr()))));
        });
    };
    add("io", "IOBase");
    add("socket", "socket");
    add("sqlite3", "Connection");
    add_type_of("Lock");
    add_type_of("RLock");
    nb::object tuple = nb::steal(check(PyList_AsTuple(types.ptr())));
    check(PyDict_SetItem(module_dict, names().unpicklable_types, tuple.ptr()));
    Py_XDECREF(built);
    built = nb::object(tuple).release().ptr();
    builtin = true;
    return tuple;
}

// Values that can never be one of the built-in unpicklable types.
bool plain_builtin(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    return o == Py_None || t == &PyLong_Type || t == &PyFloat_Type || t == &PyUnicode_Type ||
           t == &PyBytes_Type || t == &PyBool_Type || t == &PyList_Type || t == &PyDict_Type ||
           t == &PyTuple_Type || t == &PySet_Type || t == &PyFrozenSet_Type || t == &PyComplex_Type ||
           t == &PyByteArray_Type;
}

enum class Unpicklable { None, Closure, Arg };

Unpicklable fast_unpicklable(nb::handle func, nb::handle args, nb::handle kwargs) {
    bool builtin = false;
    nb::object types = unpicklable_types_now(builtin);
    if (!truthy(types)) return Unpicklable::None;
    auto unpicklable = [&](nb::handle v) {
        if (builtin && plain_builtin(v.ptr())) return false;
        return check(PyObject_IsInstance(v.ptr(), types.ptr())) == 1;
    };
    nb::object closure = PyFunction_Check(func.ptr())
                             ? nb::borrow(PyFunction_GET_CLOSURE(func.ptr()))
                             : optional_attr(func, names().dunder_closure);
    if (closure.is_valid() && !closure.is_none()) {
        for (nb::handle cell : closure) {
            nb::object contents;
            swallow([&] { contents = cell_contents(cell); });  // an empty cell holds nothing
            if (contents.is_valid() && unpicklable(contents)) return Unpicklable::Closure;
        }
    }
    return any_argument(args, kwargs, unpicklable) ? Unpicklable::Arg : Unpicklable::None;
}

Unpicklable as_unpicklable(nb::handle answer) {
    if (!PyUnicode_Check(answer.ptr())) return Unpicklable::None;
    if (PyUnicode_CompareWithASCIIString(answer.ptr(), "closure") == 0) return Unpicklable::Closure;
    if (PyUnicode_CompareWithASCIIString(answer.ptr(), "arg") == 0) return Unpicklable::Arg;
    return Unpicklable::None;
}

// type(value).__name__. A class's name can change, so it is read each time;
// a built-in type's name cannot, and is kept (its hash with it) per type.
nb::object arg_type_name(nb::handle value) {
    nb::object type = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(value.ptr())));
    auto *tp = reinterpret_cast<PyTypeObject *>(type.ptr());
    if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) return nb::steal(check(PyType_GetName(tp)));
    static auto *static_names = new std::unordered_map<PyTypeObject *, PyObject *>();  // kept for the process
    if (auto hit = static_names->find(tp); hit != static_names->end()) return nb::borrow(hit->second);
    nb::object name = nb::steal(check(PyType_GetName(tp)));
    static_names->emplace(tp, nb::object(name).release().ptr());
    return name;
}

// The trial pickling's memo key: positional type names, then one (keyword,
// type name) pair per keyword argument in the call's order.
nb::object argument_types(nb::handle args, nb::handle kwargs) {
    nb::object seq = nb::steal(check(PySequence_Tuple(args.ptr())));  // fixed while names are read
    const Py_ssize_t positional = PyTuple_GET_SIZE(seq.ptr());
    nb::object named;  // a dict of the keyword arguments, in call order
    if (kwargs.is_valid() && !kwargs.is_none())
        named = PyDict_Check(kwargs.ptr()) ? nb::borrow(kwargs) : nb::steal(check(PyDict_New()));
    if (named.is_valid() && !named.is(kwargs)) check(PyDict_Merge(named.ptr(), kwargs.ptr(), 1));
    const Py_ssize_t count = named.is_valid() ? PyDict_GET_SIZE(named.ptr()) : 0;
    nb::object key = nb::steal(check(PyTuple_New(positional + count)));
    for (Py_ssize_t i = 0; i < positional; ++i)
        PyTuple_SET_ITEM(key.ptr(), i, arg_type_name(PyTuple_GET_ITEM(seq.ptr(), i)).release().ptr());
    Py_ssize_t pos = 0, i = positional;
    PyObject *k = nullptr, *v = nullptr;
    while (i < positional + count && PyDict_Next(named.ptr(), &pos, &k, &v)) {
        nb::object keyword = nb::borrow(k), value = nb::borrow(v);
        PyTuple_SET_ITEM(key.ptr(), i++, nb::make_tuple(keyword, arg_type_name(value)).release().ptr());
    }
    if (i != positional + count) throw nb::value_error("keyword arguments changed while being read");
    return key;
}

bool picklable(nb::handle self, nb::handle args, nb::handle kwargs) {
    nb::object key = argument_types(args, kwargs);
    nb::object cache = field_pickle_cache(self);
    bool answer = false;
    if (memoised(cache, key, answer)) return answer;
    answer = swallow([&] {
        nb::object dumps = nb::module_::import_("cloudpickle").attr("dumps");
        nb::object pair = nb::make_tuple(args, kwargs);
        exit_safe([&] { return dumps(pair); });
    });
    remember(cache, key, answer);
    return answer;
}

nb::object unpicklable_text(Unpicklable kind) {
    switch (kind) {
        case Unpicklable::Closure: return nb::str("closure");
        case Unpicklable::Arg: return nb::str("arg");
        default: return nb::none();
    }
}

}  // namespace

bool self_mutates(nb::handle src) {
    if (!truthy(src)) return false;
    bool answer = false;
    swallow([&] { answer = self_mutates_parsed(src); });
    return answer;
}

nb::object offload_safety(nb::handle self, nb::handle func, CallSite &call, bool is_method) {
    if (generator_like(func)) return make_local(ReasonId::Generator);
    nb::object key = sig_key(func);
    nb::object src = source_of(self, func, key);
    if (!truthy(src)) return make_local(ReasonId::Incompatible);
    uint32_t mask = effect_mask(src);
    if (mask & kLocalRead) return make_local(ReasonId::LocalIo);
    if (mask & kSideEffect) return make_local(ReasonId::SideEffect);
    auto keyed = [&](auto body) {
        return [&key, body](nb::handle s, nb::handle f) { return body(s, f, key); };
    };
    if (call_monitor_method<bool>(self, Method::self_mutates_gate, keyed(self_mutates_gate), func))
        return make_local(ReasonId::SelfMutation);

    nb::object args = nb::borrow(call.args()), kwargs = nb::borrow(call.kwargs());
    if (has_live_cuda_tensor(args, kwargs) || closure_has_live_cuda(func))
        return make_local(ReasonId::LiveCuda);
    if (call_monitor_method<bool>(self, Method::transitive_effect, keyed(transitive_effect), func))
        return make_local(ReasonId::SideEffect);
    if (!call_monitor_method<bool>(
            self, Method::state_transfer_ok,
            [](nb::handle, nb::handle a, nb::handle k, bool m) { return state_transfer_ok(a, k, m); }, args,
            kwargs, is_method))
        return make_local(ReasonId::UnsyncableMutation);
    if (too_large(self, args, kwargs)) return make_local(ReasonId::TooLarge);

    Unpicklable kind;
    if (nb::object replaced = monitor_method(self, Method::fast_unpicklable))
        kind = as_unpicklable(exit_safe([&] { return replaced(func, args, kwargs); }));
    else
        kind = fast_unpicklable(func, args, kwargs);
    if (kind == Unpicklable::Closure) set_add(field_offload_incompatible(self), key);
    if (kind != Unpicklable::None) return make_local(ReasonId::Unpicklable);
    if (!call_monitor_method<bool>(self, Method::picklable, picklable, args, kwargs))
        return make_local(ReasonId::Unpicklable);
    return nb::borrow(offload_decision());
}

bool needs_writeback(nb::handle self, nb::handle args, nb::handle kwargs) {
    return needs_writeback_of(args, kwargs);
}

void register_safety(nb::module_ &m) {
    def_monitor_method(
        m, "_offload_safety",
        [](nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs, nb::handle is_method) {
            ThunkSite call(args, kwargs, nb::none(), nb::none());
            return offload_safety(self, func, call, truthy(is_method));
        },
        "func"_a.none(), "args"_a.none(), "kwargs"_a.none(), "is_method"_a.none() = false,
        "Whether a call that passed the offload gate may leave the process: the first refusal, or _OFFLOAD.");
    def_monitor_method(
        m, "_self_mutates_gate",
        [](nb::handle self, nb::handle func) { return self_mutates_gate(self, func, sig_key(func)); },
        "func"_a.none(), "_self_mutates on the function's source, memoised per function.");
    def_monitor_method(
        m, "_transitive_effect",
        [](nb::handle self, nb::handle func) { return transitive_effect(self, func, sig_key(func)); },
        "func"_a.none(), "_transitive_full(func), memoised per function.");
    def_monitor_method(
        m, "_transitive_full", [](nb::handle self, nb::handle func) { return transitive_full(self, func); },
        "func"_a.none(),
        "Whether func, or a user function it calls directly or indirectly, reads local files or has a side effect.");
    def_monitor_method(
        m, "_resolve_callee",
        [](nb::handle, nb::handle node, nb::handle func) {
            ClosureVars closure;
            return resolve_callee_guarded(node, func, closure);
        },
        "node"_a.none(), "func"_a.none(), "The function a call target in func's source names, or None.");
    def_monitor_method(
        m, "_fast_unpicklable",
        [](nb::handle, nb::handle func, nb::handle args, nb::handle kwargs) {
            return unpicklable_text(fast_unpicklable(func, args, kwargs));
        },
        "func"_a.none(), "args"_a.none(), "kwargs"_a.none(),
        "\"closure\" or \"arg\" when a closure cell or an argument holds a file, socket, connection or lock.");
    def_monitor_method(
        m, "_state_transfer_ok",
        [](nb::handle, nb::handle args, nb::handle kwargs, nb::handle is_method) {
            return state_transfer_ok(args, kwargs, truthy(is_method));
        },
        "args"_a.none(), "kwargs"_a.none(), "is_method"_a.none() = false,
        "Every argument's state a remote run can change can be written back.");
    def_monitor_method(
        m, "_cheap_size",
        [](nb::handle self, nb::handle args, nb::handle kwargs) {
            return cheap_size(args, kwargs, limit_bound(field_max_payload_bytes(self)));
        },
        "args"_a.none(), "kwargs"_a.none(), "Estimated bytes of the arguments, summed until past max_payload_bytes.");
    def_monitor_method(
        m, "_picklable",
        [](nb::handle self, nb::handle args, nb::handle kwargs) { return picklable(self, args, kwargs); },
        "args"_a.none(), "kwargs"_a.none(), "Trial pickling of the arguments, memoised per argument types.");
    def_monitor_method(
        m, "_needs_writeback",
        [](nb::handle self, nb::handle args, nb::handle kwargs) { return needs_writeback(self, args, kwargs); },
        "args"_a.none(), "kwargs"_a.none(), "Some argument's state must be written back after a remote run.");
    m.def("_self_mutates", [](nb::handle src) { return self_mutates(src); }, "src"_a.none(),
          "The first function in src assigns to or deletes an attribute of its first parameter.");
    m.def(
        "_unpicklable_types",
        [] {
            bool builtin = false;
            return unpicklable_types_now(builtin);
        },
        "The types whose instances never pickle (files, sockets, connections, locks).");
    m.def("_obj_size", [](nb::handle obj, long long depth) { return obj_size(SizeContext(), obj, depth); },
          "obj"_a.none(),
          "depth"_a = 0, "Estimated bytes of obj.");
    m.def("_sampled_size",
          [](nb::handle seq, long long depth) { return sampled_size(SizeContext(), seq, depth); },
          "seq"_a.none(), "depth"_a, "Estimated bytes of a sequence, from its first _CONTAINER_SCAN_CAP items.");
}

}  // namespace corvid::overflow
