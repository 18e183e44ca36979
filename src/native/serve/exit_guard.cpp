#include "serve/exit_guard.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace corvid::serve {

namespace {

// Longest the exit hook waits beyond the frames' own latency; a handler that
// is still busy after that is left to the interpreter.
constexpr double kExitMargin = 1.0;
constexpr double kExitWaitCap = 10.0;

std::atomic<bool> g_exiting{false};

// Threads inside counted frames, with each frame's latency. Guarded by
// g_mutex; never touched while waiting for the GIL.
std::mutex g_mutex;
std::condition_variable g_left;
std::vector<std::pair<unsigned long, double>> g_frames;

// Running liveness objects (strong references), with their thread. Guarded
// by the GIL.
std::vector<std::pair<unsigned long, PyObject *>> g_alive;

void at_exit() {
    g_exiting.store(true);
    // Copied first: stop() runs Python code, which may let a liveness thread
    // finish and untrack itself meanwhile.
    std::vector<nb::object> alive;
    for (auto &entry : g_alive) alive.push_back(nb::borrow(entry.second));
    for (nb::handle a : alive) {
        try {
            call_method(a, names().stop);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("corvid.serve: stopping a liveness thread at exit");
        }
    }
    alive.clear();

    // Frames of this thread (an exit hook run by hand from a handler) cannot
    // end while it waits here.
    unsigned long self = PyThread_get_thread_ident();
    GilRelease unlocked;
    std::unique_lock<std::mutex> lock(g_mutex);
    double latency = 0.0;
    for (auto &frame : g_frames) latency = std::max(latency, frame.second);
    auto wait = std::chrono::duration<double>(std::min(latency + kExitMargin, kExitWaitCap));
    g_left.wait_for(lock, wait, [self] {
        return std::all_of(g_frames.begin(), g_frames.end(), [self](const auto &f) { return f.first == self; });
    });
}

// Only the forking thread lives on in a child: entries of the others would
// keep the child's exit waiting for threads that do not exist there.
// The lock is made afresh first: the exit hook may have held it (without
// the GIL) in the thread that is gone.
void after_fork_in_child() {
    unsigned long self = PyThread_get_thread_ident();
    new (&g_mutex) std::mutex();
    new (&g_left) std::condition_variable();
    std::erase_if(g_frames, [self](const auto &f) { return f.first != self; });
    std::erase_if(g_alive, [self](const auto &a) {
        if (a.first == self) return false;
        Py_DECREF(a.second);
        return true;
    });
}

}  // namespace

bool exiting() { return g_exiting.load(std::memory_order_relaxed); }

ActiveFrame::ActiveFrame(double latency) : ident_(PyThread_get_thread_ident()) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_frames.emplace_back(ident_, latency > 0.0 ? latency : 0.0);
}

ActiveFrame::~ActiveFrame() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = std::find_if(g_frames.begin(), g_frames.end(),
                               [this](const auto &f) { return f.first == ident_; });
        if (it != g_frames.end()) g_frames.erase(it);
    }
    g_left.notify_all();
}

void track_alive(nb::handle alive) {
    g_alive.emplace_back(PyThread_get_thread_ident(), nb::borrow(alive).release().ptr());
}

void untrack_alive(nb::handle alive) {
    auto it = std::find_if(g_alive.begin(), g_alive.end(),
                           [&](const auto &a) { return a.second == alive.ptr(); });
    if (it == g_alive.end()) return;
    PyObject *obj = it->second;
    g_alive.erase(it);
    Py_DECREF(obj);
}

void register_exit_guard(nb::module_ &m) {
    (void)m;
    nb::object hook = nb::cpp_function([] { at_exit(); }, nb::name("_serve_at_exit"));
    nb::module_::import_("atexit").attr("register")(hook);
    nb::object os = nb::module_::import_("os");
    if (nb::hasattr(os, "register_at_fork")) {
        nb::object child = nb::cpp_function([] { after_fork_in_child(); }, nb::name("_serve_after_fork"));
        os.attr("register_at_fork")(nb::arg("after_in_child") = child);
    }
}

}  // namespace corvid::serve
