#include "cargo/offloader.hpp"

#include <algorithm>

#include "cargo/sizing.hpp"

namespace corvid::cargo {

using namespace nb::literals;

namespace {

// The wrapper shipped in place of the user's function runs on a worker where
// this extension may be absent, so it is ordinary Python compiled once at
// import; cloudpickle then carries it by value. It captures only plain data
// (the function, two key maps, the base URL), never the offloader.
constexpr const char *kWrapperSource = R"PY(
def _make_resolving_wrapper(_original_func, _arg_refs, _kwarg_refs, _api_url):
    import functools

    @functools.wraps(_original_func)
    def _resolving_wrapper(*call_args, **call_kwargs):
        import cloudpickle
        import httpx

        resolved_args = list(call_args)
        resolved_kwargs = dict(call_kwargs)
        for index, key in _arg_refs.items():
            resp = httpx.get(_api_url + "/v1/data/" + key, timeout=600.0, follow_redirects=True)
            resp.raise_for_status()
            resolved_args[index] = cloudpickle.loads(resp.content)
        for name, key in _kwarg_refs.items():
            resp = httpx.get(_api_url + "/v1/data/" + key, timeout=600.0, follow_redirects=True)
            resp.raise_for_status()
            resolved_kwargs[name] = cloudpickle.loads(resp.content)
        return _original_func(*resolved_args, **resolved_kwargs)

    return _resolving_wrapper
)PY";

constexpr double kApiTimeout = 60.0;
constexpr double kDeleteTimeout = 10.0;

struct DataOffloader {};

nb::object httpx() { return nb::module_::import_("httpx"); }

nb::dict bearer(nb::handle self) {
    nb::dict h;
    h["Authorization"] = nb::str("Bearer ") + to_str(self.attr("api_key"));
    return h;
}

nb::object endpoint(nb::handle self, const char *path) {
    return nb::steal(check(PyNumber_Add(self.attr("api_url").ptr(), nb::str(path).ptr())));
}

nb::dict octet_headers(nb::handle size) {
    nb::dict h;
    h["Content-Type"] = "application/octet-stream";
    h["Content-Length"] = to_str(size);
    return h;
}

// Holds `_keys_lock` for a scope; the lock is looked up on the instance each
// time because unpickling replaces it.
class KeysLock {
public:
    explicit KeysLock(nb::handle self) : lock_(self.attr("_keys_lock")) { lock_.attr("acquire")(); }
    ~KeysLock() {
        try {
            lock_.attr("release")();
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("corvid.cargo: releasing _keys_lock");
        }
    }
    KeysLock(const KeysLock &) = delete;
    KeysLock &operator=(const KeysLock &) = delete;

private:
    nb::object lock_;
};

void call_quietly(nb::handle fn, nb::handle arg) {
    (void)try_ordinary([&] { fn(arg); });
}

// ---------------------------------------------------------------------------

void init(nb::handle self, nb::object api_url, nb::object api_key, nb::object size_threshold,
          nb::object progress_factory) {
    ensure_constructed<DataOffloader>(self, "__init__");
    self.attr("api_url") = api_url;
    self.attr("api_key") = stripped_key(api_key);
    self.attr("_size_threshold") =
        size_threshold.is_none() ? module_value("_DEFAULT_SIZE_THRESHOLD") : size_threshold;
    self.attr("_pending_keys") = nb::list();
    self.attr("_keys_lock") = nb::module_::import_("threading").attr("Lock")();
    self.attr("_upload_cache") = nb::dict();
    self.attr("_progress_factory") = progress_factory;
}

nb::dict getstate(nb::handle self) {
    nb::dict state = nb::borrow<nb::dict>(self.attr("__dict__").attr("copy")());
    state.attr("pop")("_keys_lock", nb::none());
    return state;
}

void setstate(nb::handle self, nb::handle state) {
    restore_state<DataOffloader>(self, state);
    self.attr("_keys_lock") = nb::module_::import_("threading").attr("Lock")();
}

// One argument: offloaded when its estimate reaches the threshold and an
// upload route answers a key. Answers the key or an empty object.
nb::object offload_one(nb::handle self, nb::handle arg, nb::handle threshold, nb::handle label) {
    nb::object size = module_value("estimate_arg_size")(arg);
    if (check(PyObject_RichCompareBool(size.ptr(), threshold.ptr(), Py_LT))) return {};
    nb::object key;
    nb::object exc = try_ordinary([&] { key = self.attr("_upload")(arg, "label"_a = label); });
    if (exc) {
        // _upload handles its own failures; this covers a replaced or
        // subclassed route so that the call is still shipped, with the
        // argument in place.
        log_event(LogLevel::Warning, "Data upload error: %s", error_text(self, exc));
        return {};
    }
    if (key.is_none()) return {};
    return key;
}

nb::tuple offload_large_args(nb::handle self, nb::object func, nb::object args, nb::object kwargs) {
    nb::object threshold = self.attr("_size_threshold");
    nb::dict arg_refs, kwarg_refs;
    nb::list data_keys;
    nb::list modified_args = nb::steal<nb::list>(check(PySequence_List(args.ptr())));
    nb::dict modified_kwargs;
    if (!kwargs.is_none()) modified_kwargs.update(kwargs);

    Py_ssize_t n = static_cast<Py_ssize_t>(nb::len(modified_args));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object a = modified_args[i];
        nb::object label = nb::str("Uploading arg #") + nb::str(nb::int_(i));
        if (nb::object key = offload_one(self, a, threshold, label)) {
            arg_refs[nb::int_(i)] = key;
            data_keys.append(key);
            modified_args[i] = nb::none();
        }
    }
    nb::list names = modified_kwargs.keys();
    for (nb::handle k : names) {
        nb::object label = nb::str("Uploading kwarg '") + to_str(k) + nb::str("'");
        if (nb::object key = offload_one(self, modified_kwargs[k], threshold, label)) {
            kwarg_refs[k] = key;
            data_keys.append(key);
            modified_kwargs[k] = nb::none();
        }
    }

    if (nb::len(data_keys) == 0) return nb::make_tuple(func, args, kwargs, nb::list());

    log_event(LogLevel::Info, "Offloaded %d arg(s) to backend data store",
        nb::int_(nb::len(data_keys)));
    nb::object wrapper = module_value("_make_resolving_wrapper")(
        func, nb::dict(arg_refs), nb::dict(kwarg_refs), self.attr("api_url"));
    return nb::make_tuple(wrapper, nb::tuple(modified_args), modified_kwargs, data_keys);
}

// ---------------------------------------------------------------------------
// Upload: serialise, de-duplicate by content, then multipart → single PUT →
// legacy until one answers a key.

nb::object upload(nb::handle self, nb::handle arg, nb::handle label) {
    nb::object serialized;
    if (nb::object exc = try_ordinary(
            [&] { serialized = nb::module_::import_("cloudpickle").attr("dumps")(arg); })) {
        log_event(LogLevel::Warning, "Cannot serialise arg for offload: %s", exc);
        return nb::none();
    }

    nb::object content_hash =
        nb::module_::import_("hashlib").attr("sha256")(serialized).attr("hexdigest")();
    nb::object cache = self.attr("_upload_cache");
    nb::object cached = cache.attr("get")(content_hash);
    if (!cached.is_none()) {
        log_event(LogLevel::Debug, "Upload cache hit hash=%s → key=%s", content_hash[nb::slice(0, 12, 1)],
            cached);
        return cached;
    }

    const Py_ssize_t nbytes = static_cast<Py_ssize_t>(nb::len(serialized));
    nb::int_ size(nbytes);
    nb::float_ upload_timeout(std::max(300.0, static_cast<double>(nbytes) / 262144.0));

    nb::object data_key = nb::none();
    nb::object exc = try_ordinary([&] {
        nb::object progress = nb::none();
        nb::object factory = self.attr("_progress_factory");
        if (!factory.is_none() &&
            check(PyObject_RichCompareBool(size.ptr(), self.attr("UPLOAD_PROGRESS_THRESHOLD").ptr(),
                                           Py_GE))) {
            (void)try_ordinary([&] { progress = factory(label, size); });
        }
        // The progress object is closed however the routes end.
        struct CloseProgress {
            nb::handle progress;
            ~CloseProgress() {
                if (progress.is_none()) return;
                try {
                    progress.attr("close")();
                } catch (...) {
                    // the caller's progress display must not turn an upload into a failure
                }
            }
        } closer{progress};
        if (check(PyObject_RichCompareBool(size.ptr(), module_value("_DATA_MULTIPART_THRESHOLD").ptr(),
                                           Py_GT)))
            data_key = self.attr("_upload_multipart_to_r2")(serialized, size, upload_timeout, progress);
        if (data_key.is_none())
            data_key = self.attr("_upload_direct_to_r2")(serialized, size, upload_timeout, progress);
        if (data_key.is_none())
            data_key = self.attr("_upload_legacy")(serialized, size, upload_timeout, progress);
        // An empty key would make the argument unreachable on the worker:
        // count it as no answer.
        if (!nb::bool_(data_key)) data_key = nb::none();
    });
    if (!exc && !data_key.is_none()) {
        exc = try_ordinary([&] {
            cache[content_hash] = data_key;
            KeysLock hold(self);
            nb::borrow<nb::list>(self.attr("_pending_keys")).append(data_key);
        });
    }
    if (exc) {
        log_event(LogLevel::Warning, "Data upload error: %s", error_text(self, exc));
        return nb::none();
    }
    return data_key;
}

nb::object upload_direct(nb::handle self, nb::handle serialized, nb::handle size, nb::handle upload_timeout,
                         nb::handle progress) {
    nb::object hx = httpx();
    nb::dict auth = bearer(self);
    nb::object resp;
    if (nb::object exc = try_ordinary([&] {
            resp = call_blocking(hx.attr("post"), {endpoint(self, "/v1/data/upload-init")},
                                 {{"headers", auth}, {"timeout", nb::float_(kApiTimeout)}});
        })) {
        log_event(LogLevel::Debug, "upload-init request failed (%s); using legacy path", error_text(self, exc));
        return nb::none();
    }
    long status = status_of(resp);
    if (status == 404) return nb::none();
    if (status != 200) {
        log_event(LogLevel::Debug, "upload-init returned %d; using legacy path", status);
        return nb::none();
    }
    // An unreadable init answer is not a route refusal: it leaves this route
    // as an error, and _upload ships the argument in place.
    nb::object info = resp.attr("json")();
    nb::object data_key = info.attr("get")("data_key");
    nb::object put_url = info.attr("get")("put_url");
    if (!nb::bool_(data_key) || !nb::bool_(put_url)) return nb::none();

    if (nb::object exc = try_ordinary([&] {
            call_blocking(hx.attr("put"), {put_url},
                          {{"content", payload_body(serialized)},
                           {"headers", octet_headers(size)},
                           {"timeout", upload_timeout}})
                .attr("raise_for_status")();
            if (!progress.is_none()) call_quietly(progress.attr("update"), size);
        })) {
        log_event(LogLevel::Debug, "direct-to-R2 PUT failed (%s); falling back to legacy", error_text(self, exc));
        return nb::none();
    }

    (void)try_ordinary([&] {
        nb::dict body;
        body["data_key"] = data_key;
        body["size"] = size;
        call_blocking(hx.attr("post"), {endpoint(self, "/v1/data/upload-complete")},
                      {{"json", body}, {"headers", auth}, {"timeout", nb::float_(kApiTimeout)}});
    });
    return data_key;
}

nb::object upload_legacy(nb::handle self, nb::handle serialized, nb::handle size, nb::handle upload_timeout,
                         nb::handle progress) {
    nb::dict headers = bearer(self);
    headers.update(octet_headers(size));
    nb::object payload;
    if (progress.is_none()) {
        payload = payload_body(serialized);
    } else {
        nb::object update = progress.attr("update");
        nb::object report = nb::cpp_function([update](nb::handle sent, nb::handle) { update(sent); });
        payload = module_value("_stream_bytes")(serialized, "on_progress"_a = report);
    }
    nb::object resp;
    try {
        resp = call_blocking(httpx().attr("post"), {endpoint(self, "/v1/data/upload")},
                             {{"content", payload}, {"headers", headers}, {"timeout", upload_timeout}});
    } catch (nb::python_error &e) {
        scrub_key(e.value(), current_key(self));
        throw;
    }
    long status = status_of(resp);
    if (status != 200) {
        nb::object text = resp.attr("text")[nb::slice(0, 200, 1)];
        log_event(LogLevel::Warning, "Data upload failed: %d %s", status, text);
        return nb::none();
    }
    return resp.attr("json")().attr("get")("data_key");
}

// ---------------------------------------------------------------------------

void flush_keys(nb::handle self, nb::object keys) {
    if (!nb::bool_(keys)) return;
    nb::list doomed = nb::steal<nb::list>(check(PySequence_List(keys.ptr())));
    nb::object hx = httpx();
    nb::dict auth = bearer(self);
    for (nb::handle key : doomed) {
        (void)try_ordinary([&] {
            nb::object url = nb::steal(check(PyNumber_Add(endpoint(self, "/v1/data/").ptr(), key.ptr())));
            call_blocking(hx.attr("delete"), {url},
                          {{"headers", auth}, {"timeout", nb::float_(kDeleteTimeout)}});
        });
    }
    nb::object gone = nb::steal(check(PySet_New(doomed.ptr())));
    {
        KeysLock hold(self);
        nb::object left = nb::steal(check(PyNumber_Subtract(
            nb::steal(check(PySet_New(self.attr("_pending_keys").ptr()))).ptr(), gone.ptr())));
        self.attr("_pending_keys") = nb::list(left);
    }
    // A cache entry pointing at a deleted key would hand that dead key to the
    // next upload of the same content.
    nb::object cache = self.attr("_upload_cache");
    nb::list entries = nb::steal<nb::list>(check(PySequence_List(cache.attr("items")().ptr())));
    for (nb::handle entry : entries) {
        nb::object key = entry[1];
        if (check(PySequence_Contains(gone.ptr(), key.ptr()))) cache.attr("pop")(entry[0], nb::none());
    }
    log_event(LogLevel::Debug, "Flushed %d data key(s)", nb::int_(nb::len(doomed)));
}

void flush_all(nb::handle self) {
    nb::list keys;
    {
        KeysLock hold(self);
        keys = nb::list(self.attr("_pending_keys"));
    }
    if (nb::len(keys) == 0) return;
    log_event(LogLevel::Info, "Flushing %d remaining data key(s)…", nb::int_(nb::len(keys)));
    self.attr("flush_keys")(keys);
    self.attr("_upload_cache").attr("clear")();
}

// <DataOffloader url='https://…' pending=2>; the credential never appears.
nb::object offloader_repr(nb::handle self) {
    auto attr = [&](const char *name) {
        PyObject *v = nullptr;
        check(get_optional_attr(self.ptr(), nb::str(name).ptr(), &v));
        return nb::steal(v);
    };
    nb::object url = attr("api_url"), keys = attr("_pending_keys");
    nb::object url_text = url.is_valid() ? nb::object(nb::repr(url)) : nb::str("?");
    nb::object pending = nb::str("?");
    if (keys.is_valid()) {
        Py_ssize_t n = PyObject_Size(keys.ptr());
        if (n >= 0) pending = nb::int_(n);
        else if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
        else PyErr_Clear();
    }
    nb::object type_name = nb::steal(check(PyType_GetName(Py_TYPE(self.ptr()))));
    return nb::str("<{} url={} pending={}>").format(type_name, url_text, pending);
}

void compile_wrapper_factory(nb::module_ &m) {
    nb::dict ns;
    ns["__name__"] = m.attr("__name__");
    ns["__builtins__"] = nb::module_::import_("builtins");
    nb::object code = nb::steal(check(Py_CompileString(kWrapperSource, "<corvid.cargo>", Py_file_input)));
    nb::steal(check(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr())));
    m.attr("_make_resolving_wrapper") = ns["_make_resolving_wrapper"];
}

}  // namespace

void register_offloader(nb::module_ &m) {
    compile_wrapper_factory(m);

    nb::class_<DataOffloader> cls(m, "DataOffloader", nb::dynamic_attr(), nb::is_weak_referenceable(),
                                  "Uploads large call arguments to the data store and tracks their keys.");
    cls.attr("UPLOAD_PROGRESS_THRESHOLD") = nb::int_(5242880);
    cls.def("__init__", &init, "api_url"_a.none(), "api_key"_a.none(), "size_threshold"_a.none() = nb::none(),
            "progress_factory"_a.none() = nb::none())
        .def("__getstate__", &getstate)
        .def("__setstate__", &setstate, "state"_a.none())
        .def("__reduce__", &reduce_by_state)
        .def("__repr__", &offloader_repr)
        .def("offload_large_args", &offload_large_args, "func"_a.none(), "args"_a.none(), "kwargs"_a.none(),
             "Upload large arguments; answer (func, args, kwargs, data_keys) to ship.")
        .def("_upload", &upload, "arg"_a.none(), "label"_a.none() = "Uploading data")
        .def("_upload_direct_to_r2", &upload_direct, "serialized"_a.none(), "size"_a.none(),
             "upload_timeout"_a.none(), "progress"_a.none())
        .def("_upload_legacy", &upload_legacy, "serialized"_a.none(), "size"_a.none(),
             "upload_timeout"_a.none(), "progress"_a.none())
        .def("flush_keys", &flush_keys, "keys"_a.none(), "Delete the given data keys from the store.")
        .def("flush_all", &flush_all, "Delete every data key this offloader still holds.");
}

}  // namespace corvid::cargo
