#include "overflow/heaviness.hpp"

#include "overflow/monitor.hpp"
#include "overflow/source.hpp"
#include "overflow/tokens.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "overflow/config.hpp"

namespace corvid::overflow {
namespace {

using namespace nb::literals;

// ---------------------------------------------------------------------------
// Small C API helpers.

void mapping_set(nb::handle mapping, nb::handle key, bool value) {
    check(PyObject_SetItem(mapping.ptr(), key.ptr(), value ? Py_True : Py_False));
}

// Categories of the source scan.
constexpr uint32_t kLib = 1u << 0;
constexpr uint32_t kCompute = 1u << 1;
constexpr uint32_t kWhile = 1u << 2;
constexpr uint32_t kFor = 1u << 3;
constexpr uint32_t kRange = 1u << 4;
constexpr uint32_t kEnumerate = 1u << 5;
constexpr uint32_t kAllSource = kLib | kCompute | kWhile | kFor | kRange | kEnumerate;
// Category of the name scan.
constexpr uint32_t kName = 1u;

// Everything derived from the token lists. The lists are fixed once the
// module is imported, so this is built on first use and kept for the
// process; it is plain C++ data, so a function-local static guards it.
struct Tables {
    TokenMatcher source;
    TokenMatcher name;
    std::vector<std::string> roots;  // _HEAVY_ROOTS: first dotted part of each library
};

Tables build_tables() {
    const Settings &cfg = settings();
    Tables t;
    for (const std::string &lib : cfg.heavy_libs) {
        t.source.add(lib, kLib);
        std::string root = lib.substr(0, lib.find('.'));
        if (std::find(t.roots.begin(), t.roots.end(), root) == t.roots.end()) t.roots.push_back(root);
    }
    for (const std::string &tok : cfg.compute_tokens) t.source.add(tok, kCompute);
    t.source.add("while ", kWhile);
    t.source.add("for ", kFor);
    t.source.add("range(", kRange);
    t.source.add("enumerate(", kEnumerate);
    t.source.build();
    for (const std::string &tok : cfg.name_tokens) t.name.add(tok, kName);
    t.name.build();
    return t;
}

const Tables &tables() {
    static const Tables t = build_tables();
    return t;
}

// The most recent full scan of a source text on this thread. A prediction
// scans the source once for every category and then asks `_lib_hit`, which
// needs the library bit of the same text; the prediction keeps the text alive
// while the record is set, so comparing identities is sound.
struct ScanMemo {
    PyObject *src = nullptr;
    uint32_t mask = 0;
};
thread_local ScanMemo t_scan_memo;

class ScanMemoScope {
public:
    ScanMemoScope(PyObject *src, uint32_t mask) : saved_(t_scan_memo) { t_scan_memo = {src, mask}; }
    ~ScanMemoScope() { t_scan_memo = saved_; }
    ScanMemoScope(const ScanMemoScope &) = delete;
    ScanMemoScope &operator=(const ScanMemoScope &) = delete;

private:
    ScanMemo saved_;
};

void require_text(nb::handle src) {
    if (!PyUnicode_Check(src.ptr()))
        throw nb::type_error(
            ("source text must be str, not " + std::string(Py_TYPE(src.ptr())->tp_name)).c_str());
}

uint32_t scan_source(nb::handle src, uint32_t want) {
    require_text(src);
    if (t_scan_memo.src == src.ptr()) return t_scan_memo.mask;
    nb::object keep;
    return tables().source.scan(utf8_view(src, keep), want);
}

// Whether a name token occurs in the lower-cased `__name__` of func.
bool name_signal(nb::handle func) {
    nb::object name = optional_attr(func, names().dunder_name);
    if (!name.is_valid() || !PyUnicode_Check(name.ptr())) return false;
    const Tables &t = tables();
    if (PyUnicode_IS_ASCII(name.ptr())) {
        // ASCII lower-casing equals str.lower() here and needs no new object.
        std::string lowered(reinterpret_cast<const char *>(PyUnicode_DATA(name.ptr())),
                            static_cast<size_t>(PyUnicode_GET_LENGTH(name.ptr())));
        for (char &c : lowered)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return t.name.scan(lowered, kName) & kName;
    }
    nb::object lowered = nb::steal(check(PyObject_CallMethodNoArgs(name.ptr(), names().lower)));
    nb::object keep;
    return t.name.scan(utf8_view(lowered, keep), kName) & kName;
}

// ---------------------------------------------------------------------------
// Signature keys, source, references.

bool module_root_heavy(nb::handle obj) {
    const Names &n = names();
    nb::object name = optional_attr(obj, PyModule_Check(obj.ptr()) ? n.dunder_name : n.dunder_module);
    if (!name.is_valid() || !PyUnicode_Check(name.ptr()) || PyUnicode_GET_LENGTH(name.ptr()) == 0)
        return false;
    nb::object keep;
    std::string_view text = utf8_view(name, keep);
    std::string_view root = text.substr(0, text.find('.'));
    const auto &roots = tables().roots;
    return std::find(roots.begin(), roots.end(), root) != roots.end();
}

// The root test on one referenced value; an ordinary error skips the value.
bool value_root_heavy(nb::handle value) {
    try {
        return module_root_heavy(value);
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        return false;
    }
}

nb::object global_lookup(nb::handle globals, nb::handle name) {
    if (!globals.is_valid()) return {};
    if (PyDict_Check(globals.ptr())) return mapping_get(globals, name);
    nb::object value = globals.attr("get")(name);
    return value.is_none() ? nb::object() : value;
}

bool refs_heavy_lib(nb::handle func) {
    const Names &n = names();
    nb::object code = code_of(func);
    if (!code.is_valid() || code.is_none()) return false;
    nb::object globals = optional_attr(func, n.dunder_globals);
    if (globals.is_valid() && globals.is_none()) globals = nb::object();

    const long long cap = const_int(names().global_scan_cap, settings().global_scan_cap);
    long long seen = 0;
    for (nb::handle name : code.attr(n.co_names)) {
        if (seen >= cap) return false;
        ++seen;
        nb::object value = global_lookup(globals, name);
        if (!value.is_valid() || value.is_none()) continue;
        if (value_root_heavy(value)) return true;
    }

    nb::object closure = optional_attr(func, n.dunder_closure);
    if (!closure.is_valid() || closure.is_none()) return false;
    nb::object freevars = code.attr(n.co_freevars);
    const Py_ssize_t pairs = std::min(nb::len(freevars), nb::len(closure));
    for (Py_ssize_t i = 0; i < pairs; ++i) {
        if (seen >= cap) return false;
        ++seen;
        nb::object contents;
        try {
            contents = cell_contents(closure[i]);
        } catch (nb::python_error &e) {
            if (!is_ordinary(e)) throw;
            continue;
        }
        if (!contents.is_valid()) continue;
        if (value_root_heavy(contents)) return true;
    }
    return false;
}

bool lib_hit(nb::handle self, nb::handle func, nb::handle src) {
    if (scan_source(src, kLib) & kLib) return true;
    nb::object key = sig_key(func);
    nb::object cache = field_libref_cache(self);
    nb::object stored = mapping_get(cache, key);
    if (stored.is_valid()) return truthy(stored);
    bool refs = false;
    try {
        refs = refs_heavy_lib(func);
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
    }
    mapping_set(cache, key, refs);
    return refs;
}

struct Signals {
    bool lib, compute, named, loops;
};

Signals compute_signals(nb::handle self, nb::handle func) {
    nb::object src = call_monitor_method<nb::object>(self, Method::get_src, get_src, func);
    const uint32_t mask = scan_source(src, kAllSource);
    Signals s{};
    {
        ScanMemoScope memo(src.ptr(), mask);
        s.lib = call_monitor_method<bool>(self, Method::lib_hit, lib_hit, func, src);
    }
    s.compute = mask & kCompute;
    s.named = name_signal(func);
    s.loops = (mask & kWhile) || ((mask & kFor) && (mask & (kRange | kEnumerate)));
    return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// Exported.

bool predict_heavy_keyed(nb::handle self, Monitor *mon, nb::handle func, nb::handle key,
                         Py_hash_t hash) {
    // An empty learned set, the usual case, is seen without taking a reference.
    PyObject *learned = mon ? mon->learned_heavy.ptr() : nullptr;
    bool none_learned = learned && PyAnySet_Check(learned) && PySet_GET_SIZE(learned) == 0;
    if (!none_learned && contains(field_learned_heavy(self, mon), key)) return true;
    if (mon) {
        const Monitor::KeyMemo &memo = mon->key_memo;
        if (memo.predicted && memo.key.is(key) && memo.predict_cache.is(mon->predict_cache) &&
            memo.predicted_at == watched_dict_changes())
            return memo.predicted == Py_True;
    }
    nb::object cache = field_predict_cache(self, mon);
    nb::object stored = mapping_get_hashed(cache, key, hash);
    if ((stored.ptr() == Py_True || stored.ptr() == Py_False) && mon &&
        mon->predict_cache.is(cache) && watch_dict(cache)) {
        Monitor::KeyMemo memo = key_memo_for(mon, key);
        memo.predict_cache = cache;
        memo.predicted = stored.ptr();
        memo.predicted_at = watched_dict_changes();
        std::swap(mon->key_memo, memo);
    }
    if (stored.ptr() == Py_False) return false;
    if (stored.is_valid()) return truthy(stored);
    Signals s = compute_signals(self, func);
    bool heavy = s.lib && (s.compute || s.named || s.loops);
    mapping_set(cache, key, heavy);
    return heavy;
}

bool predict_heavy_keyed(nb::handle self, nb::handle func, nb::handle key, Py_hash_t hash) {
    return predict_heavy_keyed(self, monitor_of(self.ptr()), func, key, hash);
}

bool relaxed_heavy_keyed(nb::handle self, nb::handle func, nb::handle key) {
    nb::object cache = field_relaxed_cache(self);
    nb::object stored = mapping_get(cache, key);
    if (stored.is_valid()) return truthy(stored);
    Signals s = compute_signals(self, func);
    bool heavy = s.lib || (s.loops && (s.compute || s.named));
    mapping_set(cache, key, heavy);
    return heavy;
}

bool predict_heavy(nb::handle self, nb::handle func) {
    return predict_heavy_keyed(self, func, sig_key(func));
}

bool relaxed_heavy(nb::handle self, nb::handle func) {
    return relaxed_heavy_keyed(self, func, sig_key(func));
}


void register_heaviness(nb::module_ &m) {
    m.def("_module_root_heavy", [](nb::handle obj) { return module_root_heavy(obj); }, "obj"_a.none());
    m.def("_refs_heavy_lib", [](nb::handle func) { return refs_heavy_lib(func); }, "func"_a.none());

    def_monitor_method(
        m, "_lib_hit",
        [](nb::handle self, nb::handle func, nb::handle src) { return lib_hit(self, func, src); },
        "func"_a.none(), "src"_a.none());
    def_monitor_method(
        m, "_predict_heavy", [](nb::handle self, nb::handle func) { return predict_heavy(self, func); },
        "func"_a.none());
    def_monitor_method(
        m, "_relaxed_heavy", [](nb::handle self, nb::handle func) { return relaxed_heavy(self, func); },
        "func"_a.none());
}

}  // namespace corvid::overflow
