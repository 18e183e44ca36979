// Configuration and the decision vocabulary of corvid.overflow.
//
// Every module constant is computed once, when the module is imported, and
// stored both as a module attribute (the name Python code sees) and in a C++
// copy (settings()).
//
// One rule for reading them: code reads the module attribute when it uses a
// constant (const_float / const_int below), so that patching
// `corvid.overflow._HOOK_DEADLINE` (or any other) takes effect at once, as it
// would for a Python module. A read is one look-up in the module dict; the
// hook reads its two limits once per trace event. settings() is the
// import-time value: the fallback when the attribute is missing or not a
// number, and the source of what is built once at import (the token
// matchers, default argument values). The Python objects of the decision
// vocabulary (Action/Reason members, Decision, _OFFLOAD, _UNSET) are owned by
// the module's state and exposed here as borrowed handles; they stay valid
// while the module lives.
#pragma once
#include <string>
#include <vector>

#include "overflow/common.hpp"

namespace corvid::overflow {

// C++ copies of the numeric module constants, filled during register_config.
// Integer constants that do not fit 64 bits saturate here (the module
// attribute keeps the exact value).
struct Settings {
    long long container_scan_cap = 4096;      // _CONTAINER_SCAN_CAP
    long long global_scan_cap = 512;          // _GLOBAL_SCAN_CAP
    long long size_depth = 4;                 // _SIZE_DEPTH
    long long max_payload_bytes_default = 268435456;  // _MAX_PAYLOAD_BYTES_DEFAULT
    double min_seconds_default = 2.0;         // _MIN_SECONDS_DEFAULT
    double cooldown_base_default = 30.0;      // _COOLDOWN_BASE_DEFAULT
    double cooldown_cap_default = 600.0;      // _COOLDOWN_CAP_DEFAULT
    double loop_hot_window = 20.0;            // _LOOP_HOT_WINDOW
    long long loop_hot_max = 3;               // _LOOP_HOT_MAX
    double hook_deadline = 8.0;               // _HOOK_DEADLINE
    long long hook_call_cap = 20000;          // _HOOK_CALL_CAP
    long long offload_fail_max = 3;           // _OFFLOAD_FAIL_MAX
    double gpu_free_min = 8.0;                // _GPU_FREE_MIN
    double gpu_others_min = 60.0;             // _GPU_OTHERS_MIN
    double proc_rss_min = 25.0;               // _PROC_RSS_MIN
    double mem_on = 90.0;                     // _MEM_ON
    double mem_off = 80.0;                    // _MEM_OFF
    long long effect_visit_cap = 500;         // _EFFECT_VISIT_CAP
    double sample_interval = 0.25;            // _SAMPLE_INTERVAL
    long long hyst_on = 4;                    // _HYST_ON
    long long hyst_off = 4;                   // _HYST_OFF
    double cpu_on_margin = 5.0;               // _CPU_ON_MARGIN
    double cpu_off_margin = 15.0;             // _CPU_OFF_MARGIN

    // The token lists as UTF-8 strings (lone surrogates from the environment
    // are kept with "surrogatepass"), in list order, built-ins first.
    std::vector<std::string> heavy_libs, compute_tokens, name_tokens, local_read_tokens,
        side_effect_tokens, gpu_src_tokens;
};

const Settings &settings();

// The module constant `name` as it stands now; `fallback` (its settings()
// value) when the attribute is missing or not a number. Integers beyond 64
// bits saturate.
double const_float(PyObject *name, double fallback);
long long const_int(PyObject *name, long long fallback);

// Members of Reason, in declaration order.
enum class ReasonId : int {
    PolicyOff,
    NotHeavy,
    Demoted,
    NotOverloaded,
    LoopHot,
    Cooldown,
    Unpicklable,
    TooLarge,
    LocalIo,
    SideEffect,
    Generator,
    LiveCuda,
    UnsyncableMutation,
    Incompatible,
    Unproven,
    SelfMutation,
    OffloadOk,
    Count
};

// Borrowed handles to objects owned by the module.
nb::handle action_type();     // Action
nb::handle action_local();    // Action.LOCAL
nb::handle action_offload();  // Action.OFFLOAD
nb::handle reason_type();     // Reason
nb::handle reason(ReasonId id);
nb::handle decision_type();   // Decision
nb::handle offload_decision();  // _OFFLOAD, the one offload decision
nb::handle unset();           // _UNSET
nb::handle module_logger();   // logging.getLogger("corvid.overflow")
nb::handle overflow_module(); // the corvid.overflow module object

// Token lists and sets as the module attributes hold them (tuples / frozensets).
nb::handle heavy_libs();
nb::handle heavy_roots();
nb::handle compute_tokens();
nb::handle name_tokens();
nb::handle local_read_tokens();
nb::handle side_effect_tokens();
nb::handle gpu_src_tokens();
nb::handle reserved_names();
nb::handle immutable_atoms();

// Layout of a Decision instance: fields may be read directly on hot paths
// once is_decision() holds. A field is null until the constructor ran.
struct DecisionObject {
    PyObject_HEAD
    PyObject *action;
    PyObject *reason;
};
bool is_decision(nb::handle obj);  // isinstance(obj, Decision)

// Decision(action, reason) without argument parsing.
nb::object make_decision(nb::handle action, nb::handle reason);
// _local(reason): a new Decision(Action.LOCAL, reason).
nb::object make_local(nb::handle reason);
nb::object make_local(ReasonId id);

// The environment readers, as the module functions of the same names.
// They read os.environ when called and never raise for a bad value.
bool is_finite(nb::handle val);
nb::object env_float(nb::handle name, nb::handle default_);
nb::object env_int(nb::handle name, nb::handle default_);
nb::object env_bool(nb::handle name, nb::handle default_);
nb::object env_tokens(nb::handle name, nb::handle base);

// The payload limit in bytes for a figure in megabytes, truncated to an
// integer; a product too large to represent gives the built-in 256 MB.
nb::object payload_bytes(nb::handle megabytes);

// _resolve_policy(policy, threshold_set, gpu_threshold_set); raises ValueError
// for an invalid explicit policy.
// Absolute directories of the standard library, installed packages and this
// package, longest first (a tuple of str).
nb::object compute_exclude_prefixes();

nb::str resolve_policy(nb::handle policy, bool threshold_set, bool gpu_threshold_set);

void register_config(nb::module_ &m);

// The module's _SubmitError / _StateSyncError classes (held for the process):
// the remote road raises them, dispatch answers each its own way.
nb::handle submit_error_type();
nb::handle state_sync_error_type();

}  // namespace corvid::overflow
