#include "cargo/sizing.hpp"

#include <algorithm>
#include <cstring>

namespace corvid::cargo {

namespace {

// Attribute probe that tells a miss from a failure without raising.
nb::object optional_attr(nb::handle obj, const char *name) {
    nb::object key = nb::steal(check(PyUnicode_InternFromString(name)));
    PyObject *out = nullptr;
    check(get_optional_attr(obj.ptr(), key.ptr(), &out));
    return nb::steal(out);
}

nb::object as_int(nb::handle value) { return nb::steal(check(PyNumber_Long(value.ptr()))); }

nb::object getsizeof(nb::handle obj) {
    return nb::module_::import_("sys").attr("getsizeof")(obj);
}

nb::object length(nb::handle obj) { return nb::int_(static_cast<Py_ssize_t>(nb::len(obj))); }

void add_to(nb::object &total, nb::handle term) {
    total = nb::steal(check(PyNumber_InPlaceAdd(total.ptr(), term.ptr())));
}

nb::object shallow_size(nb::handle x) {
    if (nb::object nbytes = optional_attr(x, "nbytes")) return as_int(nbytes);
    if (PyBytes_Check(x.ptr()) || PyByteArray_Check(x.ptr()) || PyUnicode_Check(x.ptr()))
        return length(x);
    return getsizeof(x);
}

nb::object estimate(nb::handle obj) {
    if (nb::object data = optional_attr(obj, "_data")) {
        if (optional_attr(obj, "_filename")) return length(data);
    }
    if (nb::object nbytes = optional_attr(obj, "nbytes")) return as_int(nbytes);
    if (nb::object memory_usage = optional_attr(obj, "memory_usage")) {
        nb::object usage = memory_usage(nb::arg("deep") = true);
        if (nb::object sum = optional_attr(usage, "sum")) return as_int(sum());
        return as_int(usage);
    }
    PyObject *p = obj.ptr();
    if (PyBytes_Check(p) || PyByteArray_Check(p) || PyUnicode_Check(p)) return length(obj);
    if (PyList_Check(p) || PyTuple_Check(p)) {
        nb::object total = getsizeof(obj);
        // Iterate a snapshot: a list element's __sizeof__ may mutate the list.
        nb::object items = nb::steal(check(PySequence_Tuple(p)));
        for (nb::handle item : nb::borrow<nb::tuple>(items)) add_to(total, shallow_size(item));
        return total;
    }
    if (PyDict_Check(p)) {
        nb::object total = getsizeof(obj);
        nb::object items = nb::steal(check(PySequence_List(nb::borrow<nb::dict>(obj).items().ptr())));
        for (nb::handle pair : nb::borrow<nb::list>(items)) {
            add_to(total, shallow_size(pair[0]));
            add_to(total, shallow_size(pair[1]));
        }
        return total;
    }
    return getsizeof(obj);
}

// ---------------------------------------------------------------------------
// _stream_bytes: a chunk iterator over one buffer view of the payload. The
// progress callback runs when the consumer asks for the next chunk, i.e. after
// the previous one was handed over, and reports the cumulative count.

struct StreamBytes {
    Py_buffer view{};
    bool has_view = false;
    nb::object on_progress;
    Py_ssize_t chunk_size = 262144;
    Py_ssize_t offset = 0;
    Py_ssize_t sent = 0;
    bool report_pending = false;

    StreamBytes(nb::handle data, nb::handle progress, Py_ssize_t chunk)
        : on_progress(nb::borrow(progress)), chunk_size(chunk) {
        check(PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE));
        has_view = true;
    }
    ~StreamBytes() {
        if (has_view) PyBuffer_Release(&view);
    }
    StreamBytes(const StreamBytes &) = delete;
    StreamBytes &operator=(const StreamBytes &) = delete;

    void report() {
        report_pending = false;
        if (!on_progress || on_progress.is_none()) return;
        try {
            on_progress(nb::int_(sent), nb::int_(view.len));
        } catch (nb::python_error &e) {
            if (!is_ordinary(e)) throw;
        }
    }

    nb::bytes next() {
        if (report_pending) report();
        // A zero step is refused when the first chunk is asked for; a negative
        // one yields nothing, as range() would.
        if (chunk_size == 0) throw nb::value_error("chunk_size must not be zero");
        if (chunk_size < 0 || offset >= view.len) throw nb::stop_iteration();
        Py_ssize_t n = std::min(chunk_size, view.len - offset);
        nb::bytes chunk(static_cast<const char *>(view.buf) + offset, static_cast<size_t>(n));
        offset += n;
        sent += n;
        report_pending = true;
        return chunk;
    }
};

int stream_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    StreamBytes *s = nb::inst_ptr<StreamBytes>(self);
    Py_VISIT(s->on_progress.ptr());
    if (s->has_view) Py_VISIT(s->view.obj);
    return 0;
}

int stream_clear(PyObject *self) noexcept {
    if (!nb::inst_ready(self)) return 0;
    StreamBytes *s = nb::inst_ptr<StreamBytes>(self);
    nb::object cb = std::move(s->on_progress);
    (void)cb;
    return 0;
}

PyType_Slot stream_slots[] = {
    {Py_tp_traverse, (void *)stream_traverse},
    {Py_tp_clear, (void *)stream_clear},
    {0, nullptr},
};

}  // namespace

nb::object estimate_arg_size(nb::handle obj) {
    try {
        return estimate(obj);
    } catch (...) {
        (void)caught_ordinary_error();
        return nb::int_(0);
    }
}

nb::tuple body_pieces(nb::handle view, Py_ssize_t off, Py_ssize_t end) {
    Py_ssize_t count = end > off ? (end - off + kBodyPiece - 1) / kBodyPiece : 0;
    nb::object pieces = nb::steal(check(PyTuple_New(count)));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_ssize_t a = off + i * kBodyPiece;
        PyObject *piece = check(PySequence_GetSlice(view.ptr(), a, std::min(a + kBodyPiece, end)));
        PyTuple_SET_ITEM(pieces.ptr(), i, piece);
    }
    return nb::borrow<nb::tuple>(pieces);
}

nb::object payload_body(nb::handle data) {
    if (!PyObject_CheckBuffer(data.ptr())) return nb::borrow(data);
    nb::object view = nb::steal(check(PyMemoryView_FromObject(data.ptr())));
    // Offsets count bytes whatever the exporter's item format.
    view = view.attr("cast")("B");
    return body_pieces(view, 0, static_cast<Py_ssize_t>(nb::len(view)));
}

nb::object stream_bytes(nb::handle data, nb::handle on_progress, Py_ssize_t chunk_size) {
    nb::object cls = module_value("_StreamBytes");
    return cls(data, on_progress, chunk_size);
}

void register_sizing(nb::module_ &m) {
    m.def(
        "estimate_arg_size",
        &estimate_arg_size,
        nb::arg("obj").none(), "Estimated payload size of one call argument in bytes (0 when unknown).");

    m.def("_shallow_size", &shallow_size, nb::arg("obj").none(),
          "Size of one container element, without looking inside nested containers.");

    nb::class_<StreamBytes>(m, "_StreamBytes", nb::type_slots(stream_slots))
        .def(nb::init<nb::handle, nb::handle, Py_ssize_t>(), nb::arg("data").none(),
             nb::arg("on_progress").none() = nb::none(), nb::arg("chunk_size") = 262144)
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", &StreamBytes::next);

    m.def(
        "_stream_bytes",
        [](nb::handle data, nb::handle on_progress, Py_ssize_t chunk_size) {
            return stream_bytes(data, on_progress, chunk_size);
        },
        nb::arg("data").none(), nb::arg("on_progress").none() = nb::none(), nb::arg("chunk_size") = 262144,
        "Yield the payload in chunks, reporting the cumulative count sent before each resumption.");
}

}  // namespace corvid::cargo
