#include "serve/handler.hpp"

#include "common/instance_gc.hpp"

namespace corvid::serve {

namespace {

// Binds placeholder arguments to the signature: true when they fit.
bool binds(nb::handle signature, size_t nargs) {
    nb::object bind = signature.attr("bind");
    PyObject *argv[] = {Py_None, Py_None};
    PyObject *r = safe_vectorcall(bind.ptr(), argv, nargs, nullptr);
    if (r) {
        Py_DECREF(r);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
    PyErr_Clear();
    return false;
}

nb::object call1(nb::handle f, nb::handle a) {
    PyObject *args[] = {a.ptr()};
    return nb::steal(check(safe_vectorcall(f.ptr(), args, 1, nullptr)));
}

nb::object call2(nb::handle f, nb::handle a, nb::handle b) {
    PyObject *args[] = {a.ptr(), b.ptr()};
    return nb::steal(check(safe_vectorcall(f.ptr(), args, 2, nullptr)));
}

bool is_iterable(nb::handle value) {
    nb::object iterable = nb::module_::import_("collections.abc").attr("Iterable");
    return check(PyObject_IsInstance(value.ptr(), iterable.ptr())) != 0;
}

nb::object as_piece(nb::object value) {
    if (PyUnicode_Check(value.ptr())) return value;
    return nb::steal(check(PyObject_Str(value.ptr())));
}

}  // namespace

HandlerForm handler_form(nb::handle handler) {
    nb::object signature;
    try {
        signature = nb::module_::import_("inspect").attr("signature")(handler);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return HandlerForm::Unknown;
    }
    if (binds(signature, 2)) return HandlerForm::PromptAndHistory;
    if (binds(signature, 1)) return HandlerForm::PromptOnly;
    // Neither form fits; the two-argument call raises the TypeError that says why.
    return HandlerForm::PromptAndHistory;
}

nb::object call_handler(nb::handle handler, HandlerForm form, nb::handle prompt, nb::handle history) {
    switch (form) {
        case HandlerForm::PromptAndHistory: return call2(handler, prompt, history);
        case HandlerForm::PromptOnly: return call1(handler, prompt);
        case HandlerForm::Unknown: break;
    }
    PyObject *args[] = {prompt.ptr(), history.ptr()};
    PyObject *r = safe_vectorcall(handler.ptr(), args, 2, nullptr);
    if (r) return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
    PyErr_Clear();
    return call1(handler, prompt);
}

nb::object PieceSource::next() {
    switch (state_) {
        case State::Done: return {};
        case State::Fresh:
            if (PyUnicode_Check(response_.ptr()) || !is_iterable(response_)) {
                state_ = State::Done;
                return as_piece(response_);
            }
            iterator_ = nb::steal(check(PyObject_GetIter(response_.ptr())));
            state_ = State::Iterating;
            [[fallthrough]];
        case State::Iterating: {
            PyObject *item = exit_safe([&] { return PyIter_Next(iterator_.ptr()); });
            if (item) return as_piece(nb::steal(item));
            state_ = State::Done;
            iterator_.reset();
            if (PyErr_Occurred()) throw nb::python_error();
            return {};
        }
    }
    return {};
}

namespace {

PyObject *pieces_iter(PyObject *self) { return new_ref(self); }

PyObject *pieces_iternext(PyObject *self) {
    try {
        // One made by __new__ alone has no C++ part to read.
        if (!nb::inst_ready(self)) throw nb::type_error("_ResponsePieces objects are made by _iter_response()");
        return nb::inst_ptr<PieceSource>(self)->next().release().ptr();
    } catch (...) {
        restore_error_from_current_exception();
        return nullptr;
    }
}

int pieces_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    auto *s = nb::inst_ptr<PieceSource>(self);
    Py_VISIT(s->response_.ptr());
    Py_VISIT(s->iterator_.ptr());
    return 0;
}

int pieces_clear(PyObject *self) {
    if (nb::inst_ready(self)) {
        auto *s = nb::inst_ptr<PieceSource>(self);
        nb::object response = std::move(s->response_);
        nb::object iterator = std::move(s->iterator_);
        s->state_ = PieceSource::State::Done;
    }
    return 0;
}

PyType_Slot pieces_slots[] = {
    {Py_tp_iter, reinterpret_cast<void *>(pieces_iter)},
    {Py_tp_iternext, reinterpret_cast<void *>(pieces_iternext)},
    {Py_tp_traverse, reinterpret_cast<void *>(pieces_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(pieces_clear)},
    {0, nullptr},
};

}  // namespace

void register_handler(nb::module_ &m) {
    nb::class_<PieceSource>(m, "_ResponsePieces", nb::type_slots(pieces_slots),
                            "Iterator over the text pieces of a handler's answer.");

    m.def("_call_handler", [](nb::handle handler, nb::handle prompt, nb::handle history) {
        return call_handler(handler, handler_form(handler), prompt, history);
    }, nb::arg("handler").none(), nb::arg("prompt").none(), nb::arg("history").none(),
       "Call the handler in the form its signature accepts: (prompt, history) or (prompt).");

    m.def("_iter_response", [](nb::object response) {
        return nb::cast(PieceSource(std::move(response)), nb::rv_policy::move);
    }, nb::arg("response").none(), "The text pieces of a handler's answer, as an iterator.");
    own_globals().call_handler = nb::object(m.attr("_call_handler")).release().ptr();
    own_globals().iter_response = nb::object(m.attr("_iter_response")).release().ptr();
}

}  // namespace corvid::serve
