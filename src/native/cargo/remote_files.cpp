#include "cargo/remote_files.hpp"

namespace corvid::cargo {

using namespace nb::literals;

namespace {

constexpr Py_ssize_t kMaxPathLength = 4096;
constexpr const char *kUrlPrefixes[] = {"http://", "https://", "s3://", "gs://"};

nb::object os_path() { return nb::module_::import_("os").attr("path"); }

bool is_path_object(nb::handle obj) {
    return nb::isinstance(obj, nb::module_::import_("pathlib").attr("Path"));
}

bool string_written_as_path(nb::handle s) {
    nb::object sep = nb::module_::import_("os").attr("sep");
    return check(PySequence_Contains(s.ptr(), nb::str("/").ptr())) ||
           check(PySequence_Contains(s.ptr(), sep.ptr()));
}

// A string is looked at only when it could be a path at all: short, not a
// URL, and written with a separator (a bare name is taken for plain text).
bool is_path_candidate(nb::handle s) {
    if (PyUnicode_GetLength(s.ptr()) >= kMaxPathLength) return false;
    for (const char *prefix : kUrlPrefixes)
        if (check(PyObject_IsTrue(s.attr("startswith")(prefix).ptr()))) return false;
    return string_written_as_path(s);
}

bool is_local(nb::handle obj, const char *path_method, const char *os_test) {
    if (is_path_object(obj)) return nb::cast<bool>(nb::bool_(obj.attr(path_method)()));
    if (PyUnicode_Check(obj.ptr()) && is_path_candidate(obj))
        return nb::cast<bool>(nb::bool_(os_path().attr(os_test)(obj)));
    return false;
}

bool is_local_file(nb::handle obj) { return is_local(obj, "is_file", "isfile"); }
bool is_local_dir(nb::handle obj) { return is_local(obj, "is_dir", "isdir"); }

// Names stored in a pickled object are not trusted to stay inside the fresh
// temporary directory: keep the last component only.
nb::object contained_name(nb::handle name, const char *fallback) {
    nb::object base = os_path().attr("basename")(name);
    // Compared as Python objects: a name read from disk may hold surrogate
    // escapes, which have no UTF-8 form.
    if (base.equal(nb::str(".")) || base.equal(nb::str(".."))) return nb::str(fallback);
    return base;
}

nb::object mkdtemp(const char *prefix) {
    return nb::module_::import_("tempfile").attr("mkdtemp")("prefix"_a = prefix);
}

// Runs `use(obj)` and closes `obj` afterwards, also when `use` fails; a close
// failure on that path must not hide the original error.
template <typename F>
void use_then_close(nb::handle obj, F &&use) {
    try {
        use(obj);
    } catch (...) {
        try {
            obj.attr("close")();
        } catch (...) {
        }
        throw;
    }
    obj.attr("close")();
}

// ---------------------------------------------------------------------------

struct RemoteFile {};
struct RemoteDir {};

nb::tuple zip_directory(nb::object dir_path) {
    nb::object zipfile = nb::module_::import_("zipfile");
    nb::object buf = nb::module_::import_("io").attr("BytesIO")();
    nb::object zf = zipfile.attr("ZipFile")(buf, "w", zipfile.attr("ZIP_DEFLATED"));
    Py_ssize_t count = 0;
    use_then_close(zf, [&](nb::handle) {
        nb::object join = os_path().attr("join");
        nb::object relpath = os_path().attr("relpath");
        for (nb::handle entry : nb::module_::import_("os").attr("walk")(dir_path)) {
            nb::object root = entry[0];
            for (nb::handle fname : entry[2]) {
                nb::object full = join(root, fname);
                zf.attr("write")(full, relpath(full, dir_path));
                ++count;
            }
        }
    });
    return nb::make_tuple(buf.attr("getvalue")(), nb::int_(count));
}

nb::object resolve_one(nb::handle obj) {
    bool is_path = is_path_object(obj);
    bool is_str = PyUnicode_Check(obj.ptr());
    nb::object path_ctor = nb::module_::import_("pathlib").attr("Path");
    nb::object cargo = nb::module_::import_("corvid.cargo");
    if (is_path && nb::cast<bool>(nb::bool_(obj.attr("is_file")())))
        return cargo.attr("_RemoteFile")(obj.attr("read_bytes")(), obj.attr("name"));
    if (is_str && nb::cast<bool>(nb::bool_(os_path().attr("isfile")(obj))))
        return cargo.attr("_RemoteFile")(path_ctor(obj).attr("read_bytes")(), os_path().attr("basename")(obj));
    if (is_path && nb::cast<bool>(nb::bool_(obj.attr("is_dir")()))) {
        nb::object packed = cargo.attr("_zip_directory")(to_str(obj));
        return cargo.attr("_RemoteDir")(packed[0], obj.attr("name"), packed[1]);
    }
    if (is_str && nb::cast<bool>(nb::bool_(os_path().attr("isdir")(obj)))) {
        nb::object packed = cargo.attr("_zip_directory")(obj);
        nb::object name = os_path().attr("basename")(obj.attr("rstrip")("/\\"));
        return cargo.attr("_RemoteDir")(packed[0], name, packed[1]);
    }
    return nb::borrow(obj);
}

// The path tests and the replacement are the module's own functions, looked
// up once per call like module globals.
struct Walker {
    Py_ssize_t files_found = 0;
    nb::object cargo = nb::module_::import_("corvid.cargo");
    nb::object local_file = cargo.attr("_is_local_file");
    nb::object local_dir = cargo.attr("_is_local_dir");
    nb::object replace = cargo.attr("_resolve_one");


    nb::object walk(nb::handle obj, int depth) {
        if (truthy(local_file(obj)) || truthy(local_dir(obj))) {
            ++files_found;
            return replace(obj);
        }
        if (depth > 0) return nb::borrow(obj);
        PyObject *p = obj.ptr();
        if (PyList_Check(p) || PyTuple_Check(p)) {
            nb::list items;
            for (nb::handle x : obj) items.append(walk(x, depth + 1));
            nb::handle cls = obj.type();
            // A named tuple takes its fields one by one, not as one iterable.
            if (PyTuple_Check(p) && !PyTuple_CheckExact(p) && nb::hasattr(cls, "_fields") &&
                nb::hasattr(cls, "_make"))
                return cls.attr("_make")(items);
            return cls(items);
        }
        if (PyDict_Check(p)) {
            nb::dict out;
            nb::list pairs = nb::steal<nb::list>(check(PySequence_List(nb::borrow<nb::dict>(obj).items().ptr())));
            for (nb::handle pair : pairs) out[pair[0]] = walk(pair[1], depth + 1);
            return out;
        }
        return nb::borrow(obj);
    }
};

nb::tuple resolve_file_args(nb::object args, nb::object kwargs) {
    Walker w;
    nb::list resolved_args;
    for (nb::handle a : args) resolved_args.append(w.walk(a, 0));
    nb::dict resolved_kwargs;
    if (!kwargs.is_none()) {
        nb::list pairs = nb::steal<nb::list>(check(PySequence_List(kwargs.attr("items")().ptr())));
        for (nb::handle pair : pairs) resolved_kwargs[pair[0]] = w.walk(pair[1], 0);
    }
    return nb::make_tuple(nb::tuple(resolved_args), resolved_kwargs, nb::int_(w.files_found));
}

// ---------------------------------------------------------------------------
// Materialising. _path is set only once the copy is complete, so a failed
// write is retried on the next use instead of handing out a broken path.

nb::object materialize_file(nb::handle self) {
    nb::object path = self.attr("_path");
    if (!path.is_none()) return path;
    nb::object target = os_path().attr("join")(mkdtemp("corvid_files_"),
                                                contained_name(self.attr("_filename"), "data"));
    nb::object fh = nb::module_::import_("io").attr("open")(target, "wb");
    use_then_close(fh, [&](nb::handle f) { f.attr("write")(self.attr("_data")); });
    self.attr("_path") = target;
    return target;
}

nb::object materialize_dir(nb::handle self) {
    nb::object path = self.attr("_path");
    if (!path.is_none()) return path;
    nb::object target =
        os_path().attr("join")(mkdtemp("corvid_dirs_"), contained_name(self.attr("_dirname"), "dir"));
    // An archive of an empty directory has no members; the directory itself
    // must still exist where the function looks for it.
    nb::module_::import_("os").attr("makedirs")(target, "exist_ok"_a = true);
    nb::object zf = nb::module_::import_("zipfile").attr("ZipFile")(
        nb::module_::import_("io").attr("BytesIO")(self.attr("_data")), "r");
    use_then_close(zf, [&](nb::handle z) { z.attr("extractall")(target); });
    self.attr("_path") = target;
    return target;
}

nb::object call_materialize(nb::handle self) { return self.attr("_materialize")(); }

nb::str text_of_size(nb::handle data) { return nb::str(nb::int_(static_cast<Py_ssize_t>(nb::len(data)))); }

nb::object repr_file(nb::handle self) {
    return nb::str("RemoteFile(") + nb::repr(self.attr("_filename")) + nb::str(", ") +
           text_of_size(self.attr("_data")) + nb::str(" bytes)");
}

nb::object repr_dir(nb::handle self) {
    return nb::str("RemoteDir(") + nb::repr(self.attr("_dirname")) + nb::str(", ") +
           to_str(self.attr("_file_count")) + nb::str(" files, ") + text_of_size(self.attr("_data")) +
           nb::str(" bytes)");
}

nb::dict getstate(nb::handle self) { return nb::borrow<nb::dict>(self.attr("__dict__").attr("copy")()); }


void init_file(nb::handle self, nb::object data, nb::object filename) {
    ensure_constructed<RemoteFile>(self, "__init__");
    self.attr("_data") = data;
    self.attr("_filename") = filename;
    self.attr("_path") = nb::none();
}

void init_dir(nb::handle self, nb::object data, nb::object dirname, nb::object file_count) {
    ensure_constructed<RemoteDir>(self, "__init__");
    self.attr("_data") = data;
    self.attr("_dirname") = dirname;
    self.attr("_file_count") = file_count;
    self.attr("_path") = nb::none();
}

}  // namespace

void register_remote_files(nb::module_ &m) {
    nb::class_<RemoteFile>(m, "_RemoteFile", nb::dynamic_attr(), nb::is_weak_referenceable(),
                           "A local file's bytes, written back to a fresh temporary path at first use.")
        .def("__init__", &init_file, "data"_a.none(), "filename"_a.none())
        .def("_materialize", &materialize_file)
        .def("__fspath__", &call_materialize)
        .def("__str__", &call_materialize)
        .def("__repr__", &repr_file)
        .def("__getstate__", &getstate)
        .def("__setstate__", &restore_state<RemoteFile>, "state"_a.none())
        .def("__reduce__", &reduce_by_state);

    nb::class_<RemoteDir>(m, "_RemoteDir", nb::dynamic_attr(), nb::is_weak_referenceable(),
                          "A local directory as a ZIP archive, extracted to a fresh temporary path at first use.")
        .def("__init__", &init_dir, "data"_a.none(), "dirname"_a.none(),
             "file_count"_a.none() = 0)
        .def("_materialize", &materialize_dir)
        .def("__fspath__", &call_materialize)
        .def("__str__", &call_materialize)
        .def("__repr__", &repr_dir)
        .def("__getstate__", &getstate)
        .def("__setstate__", &restore_state<RemoteDir>, "state"_a.none())
        .def("__reduce__", &reduce_by_state);

    m.def("_zip_directory", &zip_directory, "dir_path"_a.none());
    m.def("_string_written_as_path", &string_written_as_path, "obj"_a.none());
    m.def("_is_local_file", &is_local_file, "obj"_a.none());
    m.def("_is_local_dir", &is_local_dir, "obj"_a.none());
    m.def("_resolve_one", &resolve_one, "obj"_a.none());
    m.def("resolve_file_args", &resolve_file_args, "args"_a.none(), "kwargs"_a.none(),
          "Replace local file and directory arguments by objects that carry their content.");
}

}  // namespace corvid::cargo
