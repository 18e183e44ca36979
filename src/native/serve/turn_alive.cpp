#include "serve/turn_alive.hpp"

#include "common/instance_gc.hpp"
#include "serve/exit_guard.hpp"
#include "serve/output.hpp"

namespace corvid::serve {

TurnAlive::TurnAlive(nb::object turn_arg, nb::handle interval_arg) : turn(std::move(turn_arg)) {
    nb::object value = interval_arg.is_none() ? module_global(names().heartbeat_interval)
                                              : nb::borrow(interval_arg);
    interval = PyFloat_AsDouble(value.ptr());
    if (interval == -1.0 && PyErr_Occurred()) throw nb::python_error();
    done = nb::module_::import_("threading").attr("Event")();
    thread = nb::none();
}

void TurnAlive::stop() { call_method(done, names().set); }

void TurnAlive::join() {
    if (thread.is_none() || thread.attr("ident").is_none()) return;  // never started
    nb::object current = nb::module_::import_("threading").attr("current_thread")();
    if (current.is(thread)) return;
    thread.attr("join")();
}

void TurnAlive::run(nb::handle self) {
    ActiveFrame active;
    track_alive(self);
    struct Untrack {
        nb::handle self;
        ~Untrack() { untrack_alive(self); }
    } untrack{self};
    EmitLock lock;
    // Fields are read on every round, so changes made while it runs count.
    // The first line comes one interval after the start.
    while (!exiting() && !truthy(call_method(done, names().wait, nb::float_(interval))))
        emit_text(lock, std::string(kTurnAlive) + " " + str_of(turn));
}

namespace {

nb::object enter(TurnAlive *alive, nb::handle self) {
    nb::object threading = nb::module_::import_("threading");
    nb::object thread = threading.attr("Thread")(nb::arg("target") = self.attr(names().run),
                                                 nb::arg("daemon") = true);
    alive->thread = thread;
    call_method(thread, names().start);
    return nb::borrow(self);
}


}  // namespace

nb::object start_turn_alive(nb::handle turn) {
    nb::object alive = nb::cast(TurnAlive(nb::borrow(turn), nb::none()), nb::rv_policy::move);
    return enter(nb::inst_ptr<TurnAlive>(alive), alive);
}

void stop_turn_alive(nb::handle alive) { nb::inst_ptr<TurnAlive>(alive)->stop(); }

void finish_turn_alive(nb::handle alive) {
    auto *a = nb::inst_ptr<TurnAlive>(alive);
    a->stop();
    a->join();
}

void register_turn_alive(nb::module_ &m) {
    nb::class_<TurnAlive>(m, "_TurnAlive", nb::dynamic_attr(), nb::type_slots(state_gc_slots<TurnAlive>),
                          "Emits liveness lines for a turn until its first piece arrives.")
        .def(nb::init<nb::object, nb::handle>(), nb::arg("turn"), nb::arg("interval") = nb::none())
        .def("__enter__", [](nb::pointer_and_handle<TurnAlive> self) { return enter(self.p, self.h); })
        // Stopped and joined: a daemon thread still inside this extension when
        // the interpreter exits brings the process down (the thread is
        // unwound while native frames are on its stack). Once stopped, the
        // thread ends at once, so the join costs nothing.
        .def("__exit__", [](TurnAlive &self, nb::args) {
            self.stop();
            self.join();
            return false;
        })
        .def("stop", &TurnAlive::stop, "End the liveness lines.")
        .def("_run", [](nb::pointer_and_handle<TurnAlive> self) { self.p->run(self.h); })
        .def_rw("_turn", &TurnAlive::turn)
        .def_rw("_interval", &TurnAlive::interval)
        .def_rw("_done", &TurnAlive::done)
        .def_rw("_thread", &TurnAlive::thread);
    own_globals().turn_alive = nb::object(m.attr("_TurnAlive")).release().ptr();
}

}  // namespace corvid::serve
