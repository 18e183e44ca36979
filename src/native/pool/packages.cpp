#include "pool/packages.hpp"

namespace corvid::pool {

using namespace nb::literals;

namespace {

// `line` up to the first occurrence of `marker`, trailing white space removed;
// `line` itself when the marker does not occur.
nb::str cut_at(nb::str line, nb::handle marker) {
    Py_ssize_t at = PyUnicode_Find(line.ptr(), marker.ptr(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) throw nb::python_error();
    if (at < 0) return line;
    nb::object head = nb::steal(check(PyUnicode_Substring(line.ptr(), 0, at)));
    return nb::str(head.attr("rstrip")());
}

bool starts_with(nb::handle text, nb::handle prefix) {
    return check(PyUnicode_Tailmatch(text.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1)) == 1;
}

nb::tuple parse_requirements_text(nb::str text) {
    nb::str hash("#"), dash("-"), space_hash(" #"), tab_hash("\t#");
    nb::list packages, ignored;
    nb::list lines = nb::steal<nb::list>(check(PyUnicode_Splitlines(text.ptr(), 0)));
    for (nb::handle raw : lines) {
        nb::str line = nb::str(raw.attr("strip")());
        if (PyUnicode_GET_LENGTH(line.ptr()) == 0 || starts_with(line, hash)) continue;
        line = cut_at(line, space_hash);
        line = cut_at(line, tab_hash);
        // pip options (-r, -e, --index-url, ...) are not packages
        (starts_with(line, dash) ? ignored : packages).append(line);
    }
    return nb::make_tuple(packages, ignored);
}

nb::tuple merge_environment(nb::handle env, nb::handle pip_packages, nb::handle python_version) {
    nb::list merged;
    nb::object existing = env.attr("get")("pip_packages");
    if (truthy(existing))
        for (nb::handle p : existing) merged.append(nb::str(p));

    if (truthy(pip_packages)) {
        nb::object added = PyUnicode_Check(pip_packages.ptr())
                               ? nb::object(nb::make_tuple(pip_packages))
                               : nb::steal(check(PySequence_List(pip_packages.ptr())));
        // Membership is tested against the existing packages only: repeats
        // inside the new list are the caller's to keep.
        nb::list fresh;
        for (nb::handle p : added)
            if (!check(PySequence_Contains(merged.ptr(), p.ptr()))) fresh.append(p);
        for (nb::handle p : fresh) merged.append(p);
    }

    nb::object version = nb::none();
    if (truthy(python_version)) {
        version = nb::borrow(python_version);
    } else {
        nb::object stored = env.attr("get")("python_version");
        if (truthy(stored)) version = stored;
    }
    return nb::make_tuple(merged, version);
}

}  // namespace

void register_packages(nb::module_ &m) {
    m.def("parse_requirements_text", &parse_requirements_text, "text"_a,
          "Split a requirements text into (packages, ignored): comments and blank lines are\n"
          "dropped, inline ' #' comments cut, and pip option lines (starting with '-') ignored.");
    m.def("merge_environment", &merge_environment, "env"_a, "pip_packages"_a.none() = nb::none(),
          "python_version"_a.none() = nb::none(),
          "Merge packages into a saved environment: returns (packages, python_version or None).\n"
          "New packages follow the environment's own, skipping those it already has.");
}

}  // namespace corvid::pool
