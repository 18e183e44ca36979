#include "overflow/config.hpp"

#include "common/env.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <stdexcept>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#ifndef Py_T_OBJECT_EX
#define Py_T_OBJECT_EX T_OBJECT_EX
#endif
#endif

namespace corvid::overflow {

using namespace nb::literals;

namespace {

constexpr const char *kModuleName = "corvid.overflow";
constexpr const char *kDefaultApiUrl = "http://127.0.0.1:8765";

// ---------------------------------------------------------------------------
// Built-in token lists. Environment variables can only extend them.

constexpr const char *kHeavyLibs[] = {
    "torch",      "tensorflow",  "jax",        "numpy",     "pandas",
    "sklearn",    "scipy",       "transformers", "cv2",     "xgboost",
    "lightgbm",   "PIL",         "diffusers",  "keras",     "cupy",
    "numba",      "polars",      "onnxruntime", "vllm",     "accelerate",
    "sentence_transformers", "timm", "catboost", "statsmodels", "librosa",
    "faiss",      "lightning",   "pytorch_lightning", "torchvision", "torchaudio",
    "ultralytics", "kornia",     "skimage",    "spacy",     "gensim",
    "open3d",     "trimesh",
};

constexpr const char *kComputeTokens[] = {
    "@",          ".dot(",       ".matmul(",   ".einsum(",   ".solve(",
    ".svd(",      ".inv(",       ".cuda(",     ".to(",       "device=",
    ".fit(",      ".train(",     ".backward(", ".forward(",  ".predict(",
    ".transform(", ".generate(", ".encode(",   ".lstsq(",    ".eig(",
    ".eigh(",     ".qr(",        ".cholesky(", ".fft(",      ".ifft(",
    ".conv(",     ".conv2d(",    ".fit_transform(", ".partial_fit(", ".cluster(",
    ".simulate(", ".minimize(",
};

constexpr const char *kNameTokens[] = {
    "train",     "fit",        "embed",     "inference", "forward",
    "encode",    "generate",   "simulate",  "render",    "compute",
    "optimize",  "backprop",   "matmul",    "solve",     "predict",
    "evaluate",  "transform",  "cluster",   "detect",    "segment",
    "classify",  "reconstruct", "denoise",  "convolve",  "featurize",
    "tokenize",  "finetune",   "pretrain",  "distill",   "benchmark",
};

constexpr const char *kLocalReadTokens[] = {
    "open(",        ".read_csv(",    ".read_parquet(", "np.load(",     ".read_text(",
    ".read_bytes(", "glob.glob(",    "os.listdir(",    ".imread(",     "loadtxt(",
    ".read_json(",  ".read_excel(",  ".read_feather(", ".read_hdf(",   ".read_pickle(",
    "Image.open(",  "torchaudio.load(", "librosa.load(", "sf.read(",   ".from_file(",
    "read_image(",  ".scandir(",
};

constexpr const char *kSideEffectTokens[] = {
    "torch.save(",   "np.save(",      "np.savez(",     "np.savetxt(",   ".savetxt(",
    ".to_csv(",      ".to_parquet(",  ".to_pickle(",   ".to_feather(",  ".to_hdf(",
    ".to_sql(",      ".to_json(",     ".to_excel(",    ".write_text(",  ".write_bytes(",
    ".tofile(",      ".dump(",        "pickle.dump(",  "json.dump(",    "yaml.dump(",
    ".imwrite(",     ".savefig(",     ".save(",        "os.makedirs(",  "os.mkdir(",
    "os.remove(",    "os.rmdir(",     "os.unlink(",    "os.rename(",    "os.replace(",
    "shutil.",       "requests.",     "httpx.",        "urllib.request", "subprocess.",
    ".execute(",     ".executemany(", ".commit(",      "global ",       "nonlocal ",
    "wandb.log",     "mlflow.log",    ".add_scalar(",  ".add_image(",   "SummaryWriter",
    ".put_object(",  ".upload_file(", ".download_file(", ".log_metric(", ".log_artifact(",
    "boto3.",        ".sendall(",     ".publish(",
};

constexpr const char *kGpuSrcTokens[] = {
    ".cuda(",       ".to('cuda",    ".to(\"cuda",   "device=\"cuda", "device='cuda",
    "torch.cuda",   "DataParallel", "DistributedDataParallel", "load_in_8bit", "load_in_4bit",
    "bitsandbytes", "flash_attn",   "xformers",     "cupy.",        "jax.device",
};

constexpr const char *kReserved[] = {
    "gpu", "gpu_count", "cpu", "memory", "provider",
    "timeout", "python_version", "workspace", "spot", "pip_packages",
};

static_assert(std::size(kHeavyLibs) == 37);
static_assert(std::size(kComputeTokens) == 32);
static_assert(std::size(kNameTokens) == 30);
static_assert(std::size(kLocalReadTokens) == 22);
static_assert(std::size(kSideEffectTokens) == 53);
static_assert(std::size(kGpuSrcTokens) == 15);
static_assert(std::size(kReserved) == 10);

constexpr const char *kReasonNames[] = {
    "POLICY_OFF", "NOT_HEAVY",  "DEMOTED",   "NOT_OVERLOADED", "LOOP_HOT",
    "COOLDOWN",   "UNPICKLABLE", "TOO_LARGE", "LOCAL_IO",      "SIDE_EFFECT",
    "GENERATOR",  "LIVE_CUDA",  "UNSYNCABLE_MUTATION", "INCOMPATIBLE", "UNPROVEN",
    "SELF_MUTATION", "OFFLOAD_OK",
};
static_assert(std::size(kReasonNames) == static_cast<size_t>(ReasonId::Count));

constexpr const char *kPolicyChoices = "['always', 'auto', 'loaded', 'off']";

// ---------------------------------------------------------------------------
// Module state: owned references, released when the module's dict is cleared.

struct ConfigState {
    PyObject *module = nullptr;  // borrowed: the module owns this state
    Settings settings;
    nb::object action_type, action_local, action_offload;
    nb::object reason_type;
    nb::object reasons[static_cast<size_t>(ReasonId::Count)];
    nb::object decision_type, offload, unset, logger;
    nb::object heavy_libs, heavy_roots, compute_tokens, name_tokens, local_read_tokens,
        side_effect_tokens, gpu_src_tokens, reserved, immutable_atoms;
};

ConfigState *g_state = nullptr;

ConfigState &state() {
    if (!g_state) throw std::runtime_error("corvid.overflow is not initialised");
    return *g_state;
}

nb::tuple tuple_of(const char *const *items, size_t n) {
    nb::object t = nb::steal(check(PyTuple_New(static_cast<Py_ssize_t>(n))));
    for (size_t i = 0; i < n; ++i) {
        PyObject *s = check(PyUnicode_InternFromString(items[i]));
        PyTuple_SET_ITEM(t.ptr(), static_cast<Py_ssize_t>(i), s);
    }
    return nb::borrow<nb::tuple>(t);
}

template <size_t N>
nb::tuple tuple_of(const char *const (&items)[N]) {
    return tuple_of(items, N);
}

long long saturating_ll(nb::handle value) {
    if (PyLong_Check(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow > 0) return std::numeric_limits<long long>::max();
        if (overflow < 0) return std::numeric_limits<long long>::min();
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        return v;
    }
    double d = nb::cast<double>(value);
    if (std::isnan(d)) return 0;
    if (d >= 9.2e18) return std::numeric_limits<long long>::max();
    if (d <= -9.2e18) return std::numeric_limits<long long>::min();
    return static_cast<long long>(d);
}

std::vector<std::string> utf8_list(nb::handle seq) {
    std::vector<std::string> out;
    for (nb::handle item : seq) {
        if (!PyUnicode_Check(item.ptr())) continue;
        nb::object b = nb::steal(
            PyUnicode_AsEncodedString(item.ptr(), "utf-8", "surrogatepass"));
        if (!b.is_valid()) throw nb::python_error();
        out.emplace_back(PyBytes_AS_STRING(b.ptr()), PyBytes_GET_SIZE(b.ptr()));
    }
    return out;
}

// ---------------------------------------------------------------------------
// Decision: a value type with the two slots "action" and "reason".

int decision_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    auto *d = reinterpret_cast<DecisionObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(d->action);
    Py_VISIT(d->reason);
    return 0;
}

int decision_clear(PyObject *self) noexcept {
    auto *d = reinterpret_cast<DecisionObject *>(self);
    Py_CLEAR(d->action);
    Py_CLEAR(d->reason);
    return 0;
}

void decision_dealloc(PyObject *self) noexcept {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    decision_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

int decision_init(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    static const char *kwlist[] = {"action", "reason", nullptr};
    PyObject *action = nullptr, *reason = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Decision", const_cast<char **>(kwlist),
                                     &action, &reason))
        return -1;
    auto *d = reinterpret_cast<DecisionObject *>(self);
    Py_XSETREF(d->action, Py_NewRef(action));
    Py_XSETREF(d->reason, Py_NewRef(reason));
    return 0;
}

// Decision(action, reason) again, with a subclass's attributes: every pickle
// protocol rebuilds it through the constructor.
PyObject *decision_reduce(PyObject *self, PyObject *) noexcept {
    auto *d = reinterpret_cast<DecisionObject *>(self);
    PyObject *extra = nullptr;
    if (get_optional_attr(self, names().dunder_dict, &extra) < 0) return nullptr;
    PyObject *r = Py_BuildValue("O(OO)O", reinterpret_cast<PyObject *>(Py_TYPE(self)),
                                d->action ? d->action : Py_None, d->reason ? d->reason : Py_None,
                                extra ? extra : Py_None);
    Py_XDECREF(extra);
    return r;
}

PyMethodDef decision_methods[] = {
    {"__reduce__", decision_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef decision_members[] = {
    {"action", Py_T_OBJECT_EX, offsetof(DecisionObject, action), 0, "where the call runs (Action)"},
    {"reason", Py_T_OBJECT_EX, offsetof(DecisionObject, reason), 0, "why (Reason)"},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot decision_slots[] = {
    {Py_tp_doc, const_cast<char *>("Decision(action, reason)\n--\n\n"
                                   "Where one call runs and why.")},
    {Py_tp_traverse, reinterpret_cast<void *>(decision_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(decision_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(decision_dealloc)},
    {Py_tp_init, reinterpret_cast<void *>(decision_init)},
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_members, decision_members},
    {Py_tp_methods, decision_methods},
    {0, nullptr},
};

PyType_Spec decision_spec = {
    "corvid.overflow.Decision",
    static_cast<int>(sizeof(DecisionObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    decision_slots,
};

nb::object create_decision_type(nb::module_ &m) {
    nb::object tp = nb::steal(check(PyType_FromModuleAndSpec(m.ptr(), &decision_spec, nullptr)));
    // Declared slots make copy and pickle treat the fields as state.
    nb::setattr(tp, "__slots__", nb::make_tuple("action", "reason"));
    return tp;
}

nb::object create_enum(const char *name, nb::list members) {
    nb::object enum_cls = nb::module_::import_("enum").attr("Enum");
    return enum_cls(name, members, "module"_a = kModuleName, "qualname"_a = name);
}

// ---------------------------------------------------------------------------

// The policy name `text` stands for, or null. What a str subclass's strip()
// and lower() answer may be anything: only a str can name a policy.
const char *policy_name(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) return nullptr;
    for (const char *v : {"auto", "loaded", "always", "off"})
        if (PyUnicode_CompareWithASCIIString(text.ptr(), v) == 0) return v;
    return nullptr;
}

nb::object stripped_lower(nb::handle text) {
    return text.attr("strip")().attr("lower")();
}

}  // namespace

// int(value * 1024 * 1024) with the megabyte figure; a product that overflows
// to infinity falls back to the built-in 256 MB rather than failing.
nb::object payload_bytes(nb::handle megabytes) {
    double mb = nb::cast<double>(megabytes);
    double bytes = mb * 1024.0 * 1024.0;
    if (!std::isfinite(bytes)) bytes = 256.0 * 1024.0 * 1024.0;
    return nb::steal(check(PyLong_FromDouble(bytes)));
}

// ---------------------------------------------------------------------------
// Accessors

const Settings &settings() { return state().settings; }

nb::handle action_type() { return state().action_type; }
nb::handle action_local() { return state().action_local; }
nb::handle action_offload() { return state().action_offload; }
nb::handle reason_type() { return state().reason_type; }
nb::handle reason(ReasonId id) { return state().reasons[static_cast<size_t>(id)]; }
nb::handle decision_type() { return state().decision_type; }
nb::handle offload_decision() { return state().offload; }
nb::handle unset() { return state().unset; }
nb::handle module_logger() { return state().logger; }
nb::handle overflow_module() { return state().module; }

namespace {

// The module attribute `name`, or an invalid object when it is missing.
nb::object current_const(PyObject *name) {
    PyObject *value = nullptr;
    check(dict_get_ref(PyModule_GetDict(overflow_module().ptr()), name, &value));
    return nb::steal(value);
}

// Drops a conversion error (the caller falls back); anything else passes.
void clear_conversion_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
    PyErr_Clear();
}

}  // namespace

double const_float(PyObject *name, double fallback) {
    nb::object value = current_const(name);
    if (!value.is_valid()) return fallback;
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        clear_conversion_error();
        return fallback;
    }
    return d;
}

long long const_int(PyObject *name, long long fallback) {
    nb::object value = current_const(name);
    if (!value.is_valid()) return fallback;
    if (!PyLong_Check(value.ptr())) return fallback;  // no truncation of floats
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) {
        clear_conversion_error();
        return fallback;
    }
    if (overflow) return overflow > 0 ? LLONG_MAX : LLONG_MIN;
    return v;
}
nb::handle heavy_libs() { return state().heavy_libs; }
nb::handle heavy_roots() { return state().heavy_roots; }
nb::handle compute_tokens() { return state().compute_tokens; }
nb::handle name_tokens() { return state().name_tokens; }
nb::handle local_read_tokens() { return state().local_read_tokens; }
nb::handle side_effect_tokens() { return state().side_effect_tokens; }
nb::handle gpu_src_tokens() { return state().gpu_src_tokens; }
nb::handle reserved_names() { return state().reserved; }
nb::handle immutable_atoms() { return state().immutable_atoms; }

bool is_decision(nb::handle obj) {
    return PyObject_TypeCheck(obj.ptr(),
                              reinterpret_cast<PyTypeObject *>(state().decision_type.ptr()));
}

nb::object make_decision(nb::handle action, nb::handle reason) {
    auto *tp = reinterpret_cast<PyTypeObject *>(state().decision_type.ptr());
    PyObject *obj = check(tp->tp_alloc(tp, 0));
    auto *d = reinterpret_cast<DecisionObject *>(obj);
    d->action = Py_NewRef(action.ptr());
    d->reason = Py_NewRef(reason.ptr());
    return nb::steal(obj);
}

nb::object make_local(nb::handle reason) { return make_decision(state().action_local, reason); }

nb::object make_local(ReasonId id) { return make_local(reason(id)); }

// ---------------------------------------------------------------------------
// Environment readers

bool is_finite(nb::handle val) {
    PyObject *v = val.ptr();
    if (PyFloat_CheckExact(v)) return std::isfinite(PyFloat_AS_DOUBLE(v));
    if (PyLong_CheckExact(v) || PyBool_Check(v)) return true;
    // Anything else follows the generic rule: equal to itself and not +/-inf.
    // RichCompare (not RichCompareBool) so that identity does not imply equality.
    nb::object eq = nb::steal(check(PyObject_RichCompare(v, v, Py_EQ)));
    if (!truthy(eq)) return false;
    static const double inf = std::numeric_limits<double>::infinity();
    for (double bound : {inf, -inf}) {
        nb::object b = nb::float_(bound);
        nb::object hit = nb::steal(check(PyObject_RichCompare(v, b.ptr(), Py_EQ)));
        if (truthy(hit)) return false;
    }
    return true;
}

nb::object env_float(nb::handle name, nb::handle default_) {
    nb::object text = env_value(name);
    if (text.is_none()) return nb::borrow(default_);
    auto v = parse_finite_float(text);
    if (!v) return nb::borrow(default_);
    return nb::float_(*v);
}

nb::object env_int(nb::handle name, nb::handle default_) {
    nb::object text = env_value(name);
    if (text.is_none()) return nb::borrow(default_);
    auto v = parse_finite_float(text);
    if (!v) return nb::borrow(default_);
    return nb::steal(check(PyLong_FromDouble(*v)));  // truncates toward zero
}

nb::object env_bool(nb::handle name, nb::handle default_) {
    nb::object text = env_value(name);
    if (text.is_none()) return nb::borrow(default_);
    nb::object word = stripped_lower(text);
    if (!PyUnicode_Check(word.ptr())) return nb::bool_(false);
    for (const char *yes : {"1", "true", "yes", "on"})
        if (PyUnicode_CompareWithASCIIString(word.ptr(), yes) == 0) return nb::bool_(true);
    return nb::bool_(false);
}

nb::object env_tokens(nb::handle name, nb::handle base) {
    nb::object text = env_value(name);
    if (text.is_none() || !truthy(text)) return nb::borrow(base);
    nb::object pieces = text.attr("replace")("\n", ",").attr("split")(",");
    nb::list extra;
    for (nb::handle piece : pieces) {
        nb::object token = piece.attr("strip")();
        if (truthy(token)) extra.append(token);
    }
    if (nb::len(extra) == 0) return nb::borrow(base);

    // First occurrence wins; order is otherwise kept.
    nb::object seen = nb::steal(check(PySet_New(nullptr)));
    nb::list merged;
    auto add = [&](nb::handle token) {
        int present = check(PySet_Contains(seen.ptr(), token.ptr()));
        if (present) return;
        check(PySet_Add(seen.ptr(), token.ptr()));
        merged.append(token);
    };
    for (nb::handle token : base) add(token);
    for (nb::handle token : extra) add(token);
    return nb::tuple(merged);
}


nb::str resolve_policy(nb::handle policy, bool threshold_set, bool gpu_threshold_set) {
    if (!policy.is_none()) {
        nb::object text = PyUnicode_Check(policy.ptr()) ? nb::borrow(policy)
                                                        : nb::object(nb::str(policy));
        if (const char *name = policy_name(stripped_lower(text))) return nb::str(name);
        nb::object msg = nb::steal(check(PyUnicode_FromFormat(
            "overflow(policy=%R) must be one of %s", policy.ptr(), kPolicyChoices)));
        PyErr_SetObject(PyExc_ValueError, msg.ptr());
        throw nb::python_error();
    }
    nb::object env = env_value(nb::str("CORVID_OVERFLOW_POLICY"));
    if (!env.is_none() && truthy(env)) {
        if (const char *name = policy_name(stripped_lower(env))) return nb::str(name);
    }
    return nb::str((threshold_set || gpu_threshold_set) ? "loaded" : "auto");
}

// ---------------------------------------------------------------------------

// The installation prefixes that mark library code: absolute directories of
// the standard library, installed packages and this package.
nb::object compute_exclude_prefixes() {
    nb::object abspath = nb::module_::import_("os.path").attr("abspath");
    nb::object dirname = nb::module_::import_("os.path").attr("dirname");
    nb::set found;

    nb::object paths = nb::module_::import_("sysconfig").attr("get_paths")();
    for (const char *key : {"stdlib", "platstdlib", "purelib", "platlib"}) {
        nb::object path = paths.attr("get")(key);
        if (!path.is_none() && truthy(path)) found.add(abspath(path));
    }

    try {
        nb::object site = nb::module_::import_("site");
        for (nb::handle path : site.attr("getsitepackages")()) found.add(abspath(path));
        nb::object user = site.attr("getusersitepackages")();
        if (PyUnicode_Check(user.ptr())) found.add(abspath(user));
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
    }

    nb::object own_file = optional_attr(module_handle(), names().dunder_file);
    if (own_file.is_valid() && !own_file.is_none()) found.add(dirname(abspath(own_file)));

    // Longest first, so the most specific prefix is tried first; equal
    // lengths in text order, so the result does not depend on set order.
    // Only text can be a prefix: a replaced os.path or site may answer anything.
    std::vector<nb::object> sorted;
    for (nb::handle p : found)
        if (PyUnicode_Check(p.ptr())) sorted.push_back(nb::borrow(p));
    std::sort(sorted.begin(), sorted.end(), [](const nb::object &a, const nb::object &b) {
        Py_ssize_t la = PyUnicode_GET_LENGTH(a.ptr()), lb = PyUnicode_GET_LENGTH(b.ptr());
        if (la != lb) return la > lb;
        return PyUnicode_Compare(a.ptr(), b.ptr()) < 0;
    });
    nb::object result = nb::steal(check(PyTuple_New(static_cast<Py_ssize_t>(sorted.size()))));
    for (size_t i = 0; i < sorted.size(); ++i)
        PyTuple_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), sorted[i].release().ptr());
    return result;
}

namespace {
// Held for the process: user code may delete the module attributes.
PyObject *g_submit_error = nullptr;
PyObject *g_state_sync_error = nullptr;
}  // namespace

nb::handle submit_error_type() { return g_submit_error; }
nb::handle state_sync_error_type() { return g_state_sync_error; }

void register_config(nb::module_ &m) {
    auto *st = new ConfigState();
    // The capsule owns the state; it goes away with the module's dict.
    nb::capsule owner(st, [](void *p) noexcept {
        auto *s = static_cast<ConfigState *>(p);
        if (g_state == s) g_state = nullptr;
        delete s;
    });
    m.attr("_config_state") = owner;
    g_state = st;
    st->module = m.ptr();

    st->logger = nb::module_::import_("logging").attr("getLogger")(kModuleName);
    m.attr("_logger") = st->logger;

    // Decision vocabulary.
    nb::list action_members;
    action_members.append(nb::make_tuple("OFFLOAD", "offload"));
    action_members.append(nb::make_tuple("LOCAL", "local"));
    st->action_type = create_enum("Action", action_members);
    st->action_offload = st->action_type.attr("OFFLOAD");
    st->action_local = st->action_type.attr("LOCAL");

    nb::list reason_members;
    for (const char *name : kReasonNames)
        reason_members.append(nb::make_tuple(name, stripped_lower(nb::str(name))));
    st->reason_type = create_enum("Reason", reason_members);
    for (size_t i = 0; i < std::size(kReasonNames); ++i)
        st->reasons[i] = st->reason_type.attr(kReasonNames[i]);

    st->decision_type = create_decision_type(m);
    st->offload = make_decision(st->action_offload, st->reasons[static_cast<size_t>(ReasonId::OffloadOk)]);
    m.attr("Action") = st->action_type;
    m.attr("Reason") = st->reason_type;
    m.attr("Decision") = st->decision_type;
    m.attr("_OFFLOAD") = st->offload;
    st->unset = nb::steal(check(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(&PyBaseObject_Type))));
    m.attr("_UNSET") = st->unset;
    m.attr("_DEFAULT_API_URL") = kDefaultApiUrl;
    // Built on first use by the safety analysis.
    m.attr("_UNPICKLABLE_TYPES") = nb::none();

    nb::object submit = nb::steal(check(
        PyErr_NewExceptionWithDoc("corvid.overflow._SubmitError",
                                  "The call was not submitted (no gateway session available).",
                                  PyExc_Exception, nullptr)));
    nb::object sync = nb::steal(check(
        PyErr_NewExceptionWithDoc("corvid.overflow._StateSyncError",
                                  "A remote call's changes to its arguments could not be written back.",
                                  PyExc_Exception, nullptr)));
    m.attr("_SubmitError") = submit;
    m.attr("_StateSyncError") = sync;
    g_submit_error = submit.release().ptr();
    g_state_sync_error = sync.release().ptr();

    m.def("_is_finite", [](nb::handle val) { return is_finite(val); }, "val"_a.none(),
          "True when val equals itself and is neither +inf nor -inf.");
    m.def("_env_float", &env_float, "name"_a.none(), "default"_a.none(),
          "The variable as a finite float; default when unset, unparsable or not finite.");
    m.def("_env_int", &env_int, "name"_a.none(), "default"_a.none(),
          "Like _env_float, then truncated toward zero.");
    m.def("_env_bool", &env_bool, "name"_a.none(), "default"_a.none(),
          "default when unset; else True exactly for 1/true/yes/on (stripped, any case).");
    m.def("_env_tokens", &env_tokens, "name"_a.none(), "base"_a.none(),
          "base extended by the comma/line separated tokens of the variable, each kept once.");
    m.def(
        "_resolve_policy",
        [](nb::handle policy, nb::handle threshold_set, nb::handle gpu_threshold_set) {
            return resolve_policy(policy, truthy(threshold_set), truthy(gpu_threshold_set));
        },
        "policy"_a.none(), "threshold_set"_a.none(), "gpu_threshold_set"_a.none(),
        "The effective policy: the argument, else CORVID_OVERFLOW_POLICY, else the threshold rule.");
    m.def("_local", [](nb::handle reason) { return make_local(reason); }, "reason"_a.none(),
          "A new Decision(Action.LOCAL, reason).");

    // Module constants, computed once, in this order.
    Settings &s = st->settings;
    auto tokens = [&](const char *attr, const char *var, nb::tuple base,
                      std::vector<std::string> &copy) {
        nb::object value = env_tokens(nb::str(var), base);
        m.attr(attr) = value;
        copy = utf8_list(value);
        return value;
    };
    st->heavy_libs = tokens("_HEAVY_LIBS", "CORVID_OVERFLOW_HEAVY_LIBS", tuple_of(kHeavyLibs), s.heavy_libs);
    st->compute_tokens = tokens("_COMPUTE_TOKENS", "CORVID_OVERFLOW_COMPUTE_TOKENS",
                                tuple_of(kComputeTokens), s.compute_tokens);
    st->name_tokens = tokens("_NAME_TOKENS", "CORVID_OVERFLOW_NAME_TOKENS", tuple_of(kNameTokens),
                             s.name_tokens);
    st->local_read_tokens = tokens("_LOCAL_READ_TOKENS", "CORVID_OVERFLOW_LOCAL_READ_TOKENS",
                                   tuple_of(kLocalReadTokens), s.local_read_tokens);
    st->side_effect_tokens = tokens("_SIDE_EFFECT_TOKENS", "CORVID_OVERFLOW_SIDE_EFFECT_TOKENS",
                                    tuple_of(kSideEffectTokens), s.side_effect_tokens);

    st->reserved = nb::steal(check(PyFrozenSet_New(tuple_of(kReserved).ptr())));
    m.attr("_RESERVED") = st->reserved;

    st->gpu_src_tokens = tokens("_GPU_SRC_TOKENS", "CORVID_OVERFLOW_GPU_TOKENS",
                                tuple_of(kGpuSrcTokens), s.gpu_src_tokens);

    nb::list roots;
    for (nb::handle lib : st->heavy_libs) roots.append(lib.attr("partition")(".")[0]);
    st->heavy_roots = nb::steal(check(PyFrozenSet_New(roots.ptr())));
    m.attr("_HEAVY_ROOTS") = st->heavy_roots;

    st->immutable_atoms = nb::make_tuple(
        nb::handle(reinterpret_cast<PyObject *>(&PyLong_Type)),
        nb::handle(reinterpret_cast<PyObject *>(&PyFloat_Type)),
        nb::handle(reinterpret_cast<PyObject *>(&PyComplex_Type)),
        nb::handle(reinterpret_cast<PyObject *>(&PyBool_Type)),
        nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)),
        nb::handle(reinterpret_cast<PyObject *>(&PyBytes_Type)),
        nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(Py_None))));
    m.attr("_IMMUTABLE_ATOMS") = st->immutable_atoms;

    auto int_const = [&](const char *attr, const char *var, long long dflt) {
        nb::object v = env_int(nb::str(var), nb::int_(dflt));
        m.attr(attr) = v;
        return saturating_ll(v);
    };
    auto float_const = [&](const char *attr, const char *var, double dflt) {
        nb::object v = env_float(nb::str(var), nb::float_(dflt));
        m.attr(attr) = v;
        return nb::cast<double>(v);
    };

    s.container_scan_cap = int_const("_CONTAINER_SCAN_CAP", "CORVID_OVERFLOW_SCAN_CAP", 4096);
    s.global_scan_cap = int_const("_GLOBAL_SCAN_CAP", "CORVID_OVERFLOW_GLOBAL_SCAN_CAP", 512);
    s.size_depth = int_const("_SIZE_DEPTH", "CORVID_OVERFLOW_SIZE_DEPTH", 4);

    {
        nb::object mb = env_float(nb::str("CORVID_OVERFLOW_MAX_PAYLOAD_MB"), nb::float_(256.0));
        nb::object bytes = payload_bytes(mb);
        m.attr("_MAX_PAYLOAD_BYTES_DEFAULT") = bytes;
        s.max_payload_bytes_default = saturating_ll(bytes);
    }

    s.min_seconds_default = float_const("_MIN_SECONDS_DEFAULT", "CORVID_OVERFLOW_MIN_SECONDS", 2.0);
    s.cooldown_base_default = float_const("_COOLDOWN_BASE_DEFAULT", "CORVID_OVERFLOW_COOLDOWN", 30.0);
    s.cooldown_cap_default =
        float_const("_COOLDOWN_CAP_DEFAULT", "CORVID_OVERFLOW_COOLDOWN_CAP", 600.0);
    s.loop_hot_window = float_const("_LOOP_HOT_WINDOW", "CORVID_OVERFLOW_LOOP_WINDOW", 20.0);
    s.loop_hot_max = int_const("_LOOP_HOT_MAX", "CORVID_OVERFLOW_LOOP_MAX", 3);
    s.hook_deadline = float_const("_HOOK_DEADLINE", "CORVID_OVERFLOW_HOOK_DEADLINE", 8.0);
    s.hook_call_cap = int_const("_HOOK_CALL_CAP", "CORVID_OVERFLOW_HOOK_CALL_CAP", 20000);
    s.offload_fail_max = int_const("_OFFLOAD_FAIL_MAX", "CORVID_OVERFLOW_OFFLOAD_FAIL_MAX", 3);

    // Fixed; the variables named after them are read at each use instead.
    s.gpu_free_min = 8.0;
    s.gpu_others_min = 60.0;
    m.attr("_GPU_FREE_MIN") = s.gpu_free_min;
    m.attr("_GPU_OTHERS_MIN") = s.gpu_others_min;

    s.proc_rss_min = float_const("_PROC_RSS_MIN", "CORVID_OVERFLOW_PROC_RSS_MIN", 25.0);
    s.mem_on = float_const("_MEM_ON", "CORVID_OVERFLOW_MEM_ON", 90.0);
    s.mem_off = float_const("_MEM_OFF", "CORVID_OVERFLOW_MEM_OFF", 80.0);
    s.effect_visit_cap = int_const("_EFFECT_VISIT_CAP", "CORVID_OVERFLOW_EFFECT_CAP", 500);

    {
        nb::object v = env_float(nb::str("CORVID_OVERFLOW_SAMPLE_INTERVAL"), nb::float_(0.25));
        double interval = std::max(nb::cast<double>(v), 0.01);
        m.attr("_SAMPLE_INTERVAL") = interval;
        s.sample_interval = interval;
    }
    s.hyst_on = int_const("_HYST_ON", "CORVID_OVERFLOW_HYSTERESIS_ON", 4);
    s.hyst_off = int_const("_HYST_OFF", "CORVID_OVERFLOW_HYSTERESIS_OFF", 4);
    s.cpu_on_margin = float_const("_CPU_ON_MARGIN", "CORVID_OVERFLOW_CPU_ON_MARGIN", 5.0);
    s.cpu_off_margin = float_const("_CPU_OFF_MARGIN", "CORVID_OVERFLOW_CPU_OFF_MARGIN", 15.0);
    m.def("_compute_exclude_prefixes", &compute_exclude_prefixes);
}

}  // namespace corvid::overflow
