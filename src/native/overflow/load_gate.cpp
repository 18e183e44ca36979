#include "overflow/load_gate.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <thread>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "common/instance_gc.hpp"
#include "overflow/config.hpp"

namespace corvid::overflow {

using namespace nb::literals;

namespace {

constexpr const char *kThreadName = "corvid-overflow-load";

// Held for the process: user code may delete the module attribute.
PyTypeObject *g_gate_type = nullptr;
PyObject *g_own_overloaded = nullptr, *g_own_gpu_pressure = nullptr;  // identity only

nb::object none_if_null(const nb::object &o) { return o.is_valid() ? o : nb::none(); }

nb::object module_attr(const char *name) { return nb::getattr(overflow_module(), name); }


LoadGate &gate_of(nb::handle self) {
    if (!nb::isinstance<LoadGate>(self) || !nb::inst_ready(self))
        throw nb::type_error("expected an initialised _LoadGate");
    return *nb::inst_ptr<LoadGate>(self);
}

// GC: the gate holds the monitor's hook (a bound method of the monitor, which
// holds the gate) and its own thread (whose target is a bound method of the
// gate), so both cycles must be visible to the collector.

// ---------------------------------------------------------------------------

void wake(LoadGate &g) {
    {
        std::lock_guard<std::mutex> lock(g.wake_mutex);
        ++g.wake_seq;
    }
    g.wake_cv.notify_all();
}

// A daemon thread that asks for the GIL after interpreter shutdown began is
// ended by CPython (before 3.14) with pthread_exit. Its forced unwinding
// cannot cross nanobind's dispatcher, which would abort the process at exit;
// the thread parks instead, as newer interpreters do themselves.
[[noreturn]] void park_forever() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

void restore_gil(PyThreadState *ts) {
#if defined(__GLIBCXX__)
    try {
        PyEval_RestoreThread(ts);
    } catch (abi::__forced_unwind &) {
        park_forever();
    }
#else
    PyEval_RestoreThread(ts);
#endif
}

// Sleeps `seconds` with the GIL released; stop() and start() cut it short.
void sleep_interval(LoadGate &g, double seconds) {
    if (!(seconds > 0.0)) return;
    seconds = std::min(seconds, 86400.0);
    uint64_t seen;
    {
        std::lock_guard<std::mutex> lock(g.wake_mutex);
        seen = g.wake_seq;
    }
    PyThreadState *ts = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(g.wake_mutex);
        g.wake_cv.wait_for(lock, std::chrono::duration<double>(seconds),
                           [&] { return g.wake_seq != seen; });
    }
    restore_gil(ts);
}

bool owns_loop(const LoadGate &g, uint64_t token) {
    return g.running.load() && g.active_loop == token;
}

double refresh_children(LoadGate &g) {
    if (!g.proc.is_valid() || g.proc.is_none()) return 0.0;
    nb::dict live;
    if (!swallow([&] {
            for (nb::handle child : g.proc.attr("children")("recursive"_a = true))
                live[child.attr("pid")] = child;
        }))
        return 0.0;

    nb::object children = g.children;
    for (auto [pid, handle] : live) {
        if (check(PySequence_Contains(children.ptr(), pid.ptr()))) continue;
        // psutil measures CPU between two calls: prime it, the reading comes next sample.
        swallow([&] { handle.attr("cpu_percent")(nb::none()); });
        children[pid] = handle;
    }
    nb::list known = nb::list(children);
    for (nb::handle pid : known)
        if (!PyDict_Contains(live.ptr(), pid.ptr())) check(PyObject_DelItem(children.ptr(), pid.ptr()));

    double total = 0.0;
    nb::list snapshot = nb::list(children.attr("items")());
    for (nb::handle item : snapshot) {
        nb::handle pid = item[0], handle = item[1];
        if (!swallow([&] { total += as_double(handle.attr("cpu_percent")(nb::none())); }))
            children.attr("pop")(pid, nb::none());
    }
    return total;
}

nb::list gpu_devices(LoadGate &g) {
    nb::list out;
    if (!g.gpu_ready) return out;
    nb::object nv = module_attr("_pynvml")();
    if (nv.is_none()) return out;

    nb::object own = nb::steal(check(PySet_New(nullptr)));
    check(PySet_Add(own.ptr(), nb::module_::import_("os").attr("getpid")().ptr()));
    for (nb::handle pid : nb::list(g.children)) check(PySet_Add(own.ptr(), pid.ptr()));

    nb::list handles = nb::list(g.gpu_handles);
    for (nb::handle handle : handles) {
        swallow([&] {
            nb::object mem = nv.attr("nvmlDeviceGetMemoryInfo")(handle);
            double total = as_double(mem.attr("total"));
            if (total == 0.0) total = 1.0;
            double free_pct = as_double(mem.attr("free")) / total * 100.0;
            double others = 0.0;
            bool attrib_ok = true;
            if (!swallow([&] {
                    for (nb::handle p : nv.attr("nvmlDeviceGetComputeRunningProcesses")(handle)) {
                        nb::object used = nb::getattr(p, "usedGpuMemory", nb::none());
                        if (used.is_none()) {
                            attrib_ok = false;
                            continue;
                        }
                        if (!check(PySet_Contains(own.ptr(), p.attr("pid").ptr())))
                            others += as_double(used);
                    }
                }))
                attrib_ok = false;
            nb::dict record;
            record["free_pct"] = free_pct;
            record["others_pct"] = others / total * 100.0;
            record["attrib_ok"] = attrib_ok;
            out.append(record);
        });
    }
    return out;
}

nb::object sample(nb::handle self) {
    LoadGate &g = gate_of(self);
    if (g.sample_source.is_valid() && !g.sample_source.is_none()) return g.sample_source();

    nb::module_ psutil = nb::module_::import_("psutil");
    bool have_proc = g.proc.is_valid() && !g.proc.is_none();
    double cpu = 0.0;
    if (have_proc) swallow([&] { cpu += as_double(g.proc.attr("cpu_percent")(nb::none())); });
    cpu += as_double(self.attr("_refresh_children")());
    cpu /= static_cast<double>(std::max<long long>(g.ncpu, 1));

    double mem = 0.0;
    swallow([&] {
        nb::object vm = psutil.attr("virtual_memory")();
        double total = as_double(vm.attr("total"));
        if (total == 0.0) total = 1.0;
        double avail = as_double(vm.attr("available"));
        double rss = 0.0;
        if (have_proc && !swallow([&] { rss = as_double(g.proc.attr("memory_info")().attr("rss")); }))
            rss = 0.0;
        for (nb::handle handle : nb::list(g.children.attr("values")()))
            swallow([&] { rss += as_double(handle.attr("memory_info")().attr("rss")); });
        double rss_min = const_float(names().proc_rss_min, settings().proc_rss_min);
        // A synthetic signal: memory only counts when the machine is short of it
        // and our own tree is a large part of the reason.
        if ((total - avail) / total * 100.0 > g.mem_on && rss / total * 100.0 > rss_min)
            mem = g.mem_on + 1.0;
    });

    nb::object gpu = module_attr("_reduce_gpu_pressure")(self.attr("_gpu_devices")());
    return nb::make_tuple(cpu, mem, gpu);
}

void init_gpu(LoadGate &g) {
    nb::object visible = nb::module_::import_("os").attr("environ").attr("get")("CUDA_VISIBLE_DEVICES");
    if (!visible.is_none() && nb::len(visible.attr("strip")()) == 0) return;
    nb::object nv = module_attr("_pynvml")();
    if (nv.is_none()) return;
    bool ok = swallow([&] {
        nv.attr("nvmlInit")();
        g.nvml_inited = true;
        long long n = nb::cast<long long>(nv.attr("nvmlDeviceGetCount")());
        nb::list handles;
        for (long long i = 0; i < n; ++i) handles.append(nv.attr("nvmlDeviceGetHandleByIndex")(i));
        g.gpu_handles = handles;
        g.gpu_ready = n > 0;
    });
    if (!ok) {
        g.gpu_ready = false;
        g.gpu_handles = nb::list();
    }
}

void start(nb::handle self) {
    LoadGate &g = gate_of(self);
    if (g.running.load()) return;
    if (g.sample_source.is_none()) {
        if (!swallow([&] {
                nb::module_ psutil = nb::module_::import_("psutil");
                g.proc = psutil.attr("Process")();
                nb::object n = psutil.attr("cpu_count")("logical"_a = true);
                g.ncpu = std::max<long long>(1, n.is_none() ? 1 : nb::cast<long long>(n));
                g.proc.attr("cpu_percent")(nb::none());
                self.attr("_refresh_children")();
            }))
            g.proc = nb::none();
        self.attr("_init_gpu")();
    }
    g.running = true;
    wake(g);  // a leftover loop from before a quick restart must not sleep on
    nb::object thread = nb::module_::import_("threading")
                            .attr("Thread")("target"_a = self.attr("_loop"), "name"_a = kThreadName,
                                            "daemon"_a = true);
    g.thread = thread;
    try {
        thread.attr("start")();
    } catch (...) {
        g.running = false;
        g.thread = nb::none();
        throw;
    }
}

// Gives a loop that was just woken a moment to leave before the caller goes
// on. The thread is not joined: a sample in progress is not waited for beyond
// this bound. Without it, a gate stopped at interpreter exit leaves its thread
// parked inside the extension, holding the gate (and the monitor) forever.
void let_loops_leave(LoadGate &g) {
    constexpr double kGraceSeconds = 0.2;
    {
        std::lock_guard<std::mutex> lock(g.wake_mutex);
        if (g.loops_alive == 0 || g.loop_thread == PyThread_get_thread_ident()) return;
    }
    PyThreadState *ts = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(g.wake_mutex);
        g.wake_cv.wait_for(lock, std::chrono::duration<double>(kGraceSeconds),
                           [&] { return g.loops_alive == 0; });
    }
    restore_gil(ts);
}

void stop(LoadGate &g) {
    g.running = false;
    g.active_loop = 0;
    g.thread = nb::none();
    wake(g);
    let_loops_leave(g);
    if (!g.nvml_inited) return;
    nb::object nv = module_attr("_pynvml")();
    if (!nv.is_none()) swallow([&] { nv.attr("nvmlShutdown")(); });
    g.nvml_inited = false;
    g.gpu_ready = false;
    g.gpu_handles = nb::list();
}

// Turns a sample tuple into step arguments: (cpu, mem) or (cpu, mem, gpu),
// where gpu may be a boolean, a list of device records, or anything truthy.
void step_from_sample(nb::handle self, nb::handle s) {
    nb::tuple t = nb::steal<nb::tuple>(check(PySequence_Tuple(s.ptr())));
    size_t n = nb::len(t);
    nb::object gpu;
    if (n == 2) {
        gpu = nb::bool_(false);
    } else if (n == 3) {
        gpu = nb::borrow(t[2]);
        if (PyBool_Check(gpu.ptr())) {
        } else if (PyList_Check(gpu.ptr())) {
            gpu = module_attr("_reduce_gpu_pressure")(gpu);
        } else {
            gpu = nb::bool_(truthy(gpu));
        }
    } else {
        PyErr_Format(PyExc_ValueError, "sample has %zu values, expected 2 or 3", n);
        throw nb::python_error();
    }
    self.attr("step")(t[0], t[1], gpu);
}

void loop_body(nb::handle self) {
    LoadGate &g = gate_of(self);
    nb::object me = nb::module_::import_("threading").attr("current_thread")();
    // A thread started before a quick stop/start finds another thread in
    // _thread and leaves at once; only the current thread runs the loop.
    if (g.thread.is_valid() && !g.thread.is_none() && !g.thread.is(me)) return;
    uint64_t token = ++g.loop_seq;
    g.active_loop = token;
    {
        std::lock_guard<std::mutex> lock(g.wake_mutex);
        ++g.loops_alive;
        g.loop_thread = PyThread_get_thread_ident();
    }
    struct Leave {
        LoadGate &g;
        ~Leave() {
            {
                std::lock_guard<std::mutex> lock(g.wake_mutex);
                --g.loops_alive;
            }
            g.wake_cv.notify_all();
        }
    } leave{g};

    while (owns_loop(g, token)) {
        nb::object failure;
        try {
            nb::object s = self.attr("_sample")();
            // The sample may have taken a while; skip it if the gate stopped or
            // another loop took over meanwhile.
            if (owns_loop(g, token)) {
                step_from_sample(self, s);
                if (g.on_sample.is_valid() && !g.on_sample.is_none()) g.on_sample();
            }
        } catch (nb::python_error &e) {
            failure = nb::borrow(e.value());
        } catch (std::exception &e) {
            failure = nb::str(e.what());
        }
        // Logged after the handler: the thread may be ended at interpreter
        // exit inside any Python call, which must not happen inside one.
        if (failure.is_valid()) {
            log_quiet(kLogger, LogLevel::Debug, "load-gate sampling failed: %s", failure);
            failure = nb::object();
        }
        sleep_interval(g, g.sample_interval);
    }
}

void loop(nb::handle self) {
#if defined(__GLIBCXX__)
    // Shutdown can also catch the thread inside a sample (any Python call may
    // hand the GIL over); see park_forever.
    try {
        loop_body(self);
    } catch (abi::__forced_unwind &) {
        park_forever();
    }
#else
    loop_body(self);
#endif
}

}  // namespace

// ---------------------------------------------------------------------------

void LoadGate::step(double cpu, double mem, bool gpu_bad) {
    last_gpu_bad = gpu_bad;
    bool hot = cpu > cpu_on || mem > mem_on || gpu_bad;
    bool cool = cpu < cpu_off && mem < mem_off && !gpu_bad;
    if (!overloaded.load()) {
        if (!hot) {
            on_streak = 0;
            return;
        }
        if (++on_streak >= n_on) {
            overloaded = true;
            off_streak = 0;
        }
    } else {
        if (!cool) {
            off_streak = 0;
            return;
        }
        if (++off_streak >= n_off) {
            overloaded = false;
            on_streak = 0;
        }
    }
}


bool reduce_gpu_pressure(nb::handle devices) {
    if (!devices.is_valid() || !truthy(devices)) return false;
    nb::object free_min = env_float(nb::str("CORVID_OVERFLOW_GPU_FREE_MIN"), module_attr("_GPU_FREE_MIN"));
    nb::object others_min =
        env_float(nb::str("CORVID_OVERFLOW_GPU_OTHERS_MIN"), module_attr("_GPU_OTHERS_MIN"));
    nb::object hundred = nb::float_(100.0), zero = nb::float_(0.0);
    for (nb::handle record : devices) {
        nb::object attrib_ok = record.attr("get")("attrib_ok", false);
        if (!truthy(attrib_ok)) return false;
        nb::object free_pct = record.attr("get")("free_pct", hundred);
        if (!check(PyObject_RichCompareBool(free_pct.ptr(), free_min.ptr(), Py_LT))) return false;
        nb::object others_pct = record.attr("get")("others_pct", zero);
        if (!check(PyObject_RichCompareBool(others_pct.ptr(), others_min.ptr(), Py_GE))) return false;
    }
    return true;
}

namespace {

// True when `gate` is a _LoadGate whose method `name` is still the class's
// own `impl` (not replaced on the class nor shadowed on the instance).
// The class look-up is made once per class version: `tag` remembers the
// version tag under which the class held `impl` (a tag is never handed out
// twice, and any change to the class drops its tag).
bool own_gate_method(nb::handle gate, PyObject *name, PyObject *impl, unsigned int &tag) {
    if (Py_TYPE(gate.ptr()) != g_gate_type || !nb::inst_ready(gate)) return false;
    if (tag == 0 || tag != g_gate_type->tp_version_tag) {
        tag = 0;
        if (_PyType_Lookup(g_gate_type, name) != impl) return false;
        tag = g_gate_type->tp_version_tag;  // the look-up assigns one when it can
    }
    PyObject *d = instance_dict(gate.ptr());
    return !d || PyDict_GET_SIZE(d) == 0 || check(PyDict_Contains(d, name)) == 0;
}

}  // namespace

nb::handle load_gate_type() { return reinterpret_cast<PyObject *>(g_gate_type); }

bool gate_sustained_overloaded(nb::handle gate) {
    static unsigned int tag = 0;
    if (own_gate_method(gate, names().sustained_overloaded, g_own_overloaded, tag))
        return nb::inst_ptr<LoadGate>(gate)->overloaded.load();
    return truthy(gate.attr(names().sustained_overloaded)());
}

bool gate_gpu_pressure(nb::handle gate) {
    static unsigned int tag = 0;
    if (own_gate_method(gate, names().gpu_pressure, g_own_gpu_pressure, tag))
        return nb::inst_ptr<LoadGate>(gate)->gpu_pressure();
    return truthy(gate.attr(names().gpu_pressure)());
}

void register_load_gate(nb::module_ &m) {
    const Settings &s = settings();

    m.def("_reduce_gpu_pressure", &reduce_gpu_pressure, "devices"_a.none(),
          "True when every device record is attributed, nearly full and mostly used by others.");

    nb::class_<LoadGate> cls(m, "_LoadGate", nb::dynamic_attr(), nb::type_slots(state_gc_slots<LoadGate>),
                             "Background sampler of the own process tree's load with a hysteresis "
                             "verdict.");
    g_gate_type = reinterpret_cast<PyTypeObject *>(cls.inc_ref().ptr());

    cls.def(
        "__init__",
        [](LoadGate *g, nb::object clock, nb::object sample_source, double sample_interval,
           long long n_on, long long n_off, double cpu_on, double cpu_off, double mem_on,
           double mem_off, nb::object on_sample) {
            new (g) LoadGate();
            g->clock = std::move(clock);
            g->sample_source = std::move(sample_source);
            g->sample_interval = sample_interval;
            g->n_on = n_on;
            g->n_off = n_off;
            g->cpu_on = cpu_on;
            g->cpu_off = cpu_off;
            g->mem_on = mem_on;
            g->mem_off = mem_off;
            g->on_sample = std::move(on_sample);
            g->thread = nb::none();
            g->proc = nb::none();
            g->children = nb::dict();
            g->gpu_handles = nb::list();
        },
        "clock"_a.none(), "sample_source"_a.none() = nb::none(),
        "sample_interval"_a = s.sample_interval, "n_on"_a = s.hyst_on, "n_off"_a = s.hyst_off,
        "cpu_on"_a = 90.0, "cpu_off"_a = 70.0, "mem_on"_a = s.mem_on, "mem_off"_a = s.mem_off,
        "on_sample"_a.none() = nb::none());

    cls.def("start", [](nb::handle self) { start(self); },
            "Start sampling on a daemon thread; does nothing while running.");
    cls.def("stop", [](LoadGate &g) { stop(g); },
            "Stop sampling (the thread is not joined) and release NVML.");
    cls.def(
        "step",
        [](LoadGate &g, double cpu, double mem, nb::handle gpu_bad) {
            g.step(cpu, mem, truthy(gpu_bad));
        },
        "cpu"_a, "mem"_a, "gpu_bad"_a = false, "Feed one sample into the hysteresis state machine.");
    cls.def("sustained_overloaded", [](LoadGate &g) { return g.overloaded.load(); },
            "The current verdict; never measures anything.");
    cls.def("gpu_pressure", [](LoadGate &g) { return g.gpu_pressure(); },
            "Overloaded and the latest sample found every GPU taken by others.");
    g_own_overloaded = Py_NewRef(_PyType_Lookup(g_gate_type, names().sustained_overloaded));
    g_own_gpu_pressure = Py_NewRef(_PyType_Lookup(g_gate_type, names().gpu_pressure));
    cls.def("_init_gpu", [](LoadGate &g) { init_gpu(g); });
    cls.def("_refresh_children", [](LoadGate &g) { return refresh_children(g); });
    cls.def("_gpu_devices", [](LoadGate &g) { return gpu_devices(g); });
    cls.def("_sample", [](nb::handle self) { return sample(self); });
    cls.def("_loop", [](nb::handle self) { loop(self); });

#define CORVID_OBJECT_FIELD(name, member)                                              \
    cls.def_prop_rw(                                                                   \
        name, [](LoadGate &g) { return none_if_null(g.member); },                     \
        [](LoadGate &g, nb::object v) { g.member = std::move(v); }, nb::arg("value").none())
#define CORVID_PLAIN_FIELD(name, member, type)                                         \
    cls.def_prop_rw(                                                                   \
        name, [](LoadGate &g) -> type { return g.member; },                           \
        [](LoadGate &g, type v) { g.member = v; })

    CORVID_OBJECT_FIELD("_clock", clock);
    CORVID_OBJECT_FIELD("_sample_source", sample_source);
    CORVID_OBJECT_FIELD("_on_sample", on_sample);
    CORVID_OBJECT_FIELD("_thread", thread);
    CORVID_OBJECT_FIELD("_proc", proc);
    CORVID_OBJECT_FIELD("_children", children);
    CORVID_OBJECT_FIELD("_gpu_handles", gpu_handles);
    CORVID_PLAIN_FIELD("_sample_interval", sample_interval, double);
    CORVID_PLAIN_FIELD("_n_on", n_on, long long);
    CORVID_PLAIN_FIELD("_n_off", n_off, long long);
    CORVID_PLAIN_FIELD("_cpu_on", cpu_on, double);
    CORVID_PLAIN_FIELD("_cpu_off", cpu_off, double);
    CORVID_PLAIN_FIELD("_mem_on", mem_on, double);
    CORVID_PLAIN_FIELD("_mem_off", mem_off, double);
    CORVID_PLAIN_FIELD("_on_streak", on_streak, long long);
    CORVID_PLAIN_FIELD("_off_streak", off_streak, long long);
    CORVID_PLAIN_FIELD("_ncpu", ncpu, long long);
    CORVID_PLAIN_FIELD("_gpu_ready", gpu_ready, bool);
    CORVID_PLAIN_FIELD("_nvml_inited", nvml_inited, bool);
#define CORVID_ATOMIC_FIELD(name, member)                                              \
    cls.def_prop_rw(                                                                   \
        name, [](LoadGate &g) { return g.member.load(); },                            \
        [](LoadGate &g, bool v) { g.member = v; })
    CORVID_ATOMIC_FIELD("_overloaded", overloaded);
    CORVID_ATOMIC_FIELD("_last_gpu_bad", last_gpu_bad);
    CORVID_ATOMIC_FIELD("_running", running);
#undef CORVID_ATOMIC_FIELD
#undef CORVID_OBJECT_FIELD
#undef CORVID_PLAIN_FIELD
}

}  // namespace corvid::overflow
