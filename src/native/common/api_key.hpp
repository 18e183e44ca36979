// API keys: how they are read and how they are kept out of messages.
//
// A key is taken with its surrounding white space dropped, since a key pasted
// with a trailing newline would make the HTTP client refuse the header. The
// client's error for a refused header quotes the header whole, key included,
// so every text built from a transport error goes through redact_key before
// it is logged, and an exception that leaves a request goes through
// scrub_key. Header-only: cargo and pool read and hide their keys this way.
#pragma once
#include <nanobind/nanobind.h>

#include <algorithm>
#include <vector>

#include "common/gil.hpp"

namespace corvid {
namespace nb = nanobind;

inline constexpr const char *kRedactedKey = "***";

// str.strip(key) as a plain str (a subclass's own strip() is not asked); any
// other value unchanged.
inline nb::object stripped_key(nb::handle key) {
    if (!PyUnicode_Check(key.ptr())) return nb::borrow(key);
    nb::object strip = nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)).attr("strip");
    return strip(key);
}

// The texts under which `key` shows in a message: as itself, escaped as in
// the repr of a str, and escaped as in the repr of its UTF-8 bytes (how the
// HTTP client quotes a refused header). Longest first, so that no shorter
// form leaves part of a longer one behind.
inline std::vector<nb::object> key_forms(nb::handle key) {
    std::vector<nb::object> forms;
    if (!key.is_valid() || key.is_none()) return forms;
    nb::object text = PyUnicode_Check(key.ptr()) ? nb::steal(check(PyUnicode_FromObject(key.ptr())))
                                                 : nb::steal(check(PyObject_Str(key.ptr())));
    auto add = [&](nb::object form) {
        if (PyUnicode_GET_LENGTH(form.ptr()) == 0) return;
        for (const nb::object &f : forms)
            if (f.equal(form)) return;
        forms.push_back(std::move(form));
    };
    auto inner = [](nb::handle repr, Py_ssize_t lead) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(repr.ptr());
        return nb::steal(check(PyUnicode_Substring(repr.ptr(), lead, std::max(lead, n - 1))));
    };
    add(text);
    add(inner(nb::steal(check(PyObject_Repr(text.ptr()))), 1));
    nb::object utf8 = nb::steal(check(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace")));
    add(inner(nb::steal(check(PyObject_Repr(utf8.ptr()))), 2));
    std::sort(forms.begin(), forms.end(), [](const nb::object &a, const nb::object &b) {
        return PyUnicode_GET_LENGTH(a.ptr()) > PyUnicode_GET_LENGTH(b.ptr());
    });
    return forms;
}

// `text` (str() of it when it is no str) with every one of `forms` replaced.
inline nb::str redact_forms(nb::handle text, const std::vector<nb::object> &forms) {
    nb::object out = PyUnicode_Check(text.ptr()) ? nb::steal(check(PyUnicode_FromObject(text.ptr())))
                                                 : nb::steal(check(PyObject_Str(text.ptr())));
    nb::str mask(kRedactedKey);
    for (const nb::object &form : forms)
        out = nb::steal(check(PyUnicode_Replace(out.ptr(), form.ptr(), mask.ptr(), -1)));
    return nb::steal<nb::str>(out.release());
}

inline nb::str redact_key(nb::handle text, nb::handle key) { return redact_forms(text, key_forms(key)); }

// Removes `key` from the arguments of `exc` and of every exception chained to
// it (cause and context), in place: the exception keeps its type, attributes
// and traceback, and its text (built from the arguments) no longer holds the
// key.
inline void scrub_key(nb::handle exc, nb::handle key) {
    std::vector<nb::object> forms = key_forms(key);
    if (forms.empty()) return;
    std::vector<nb::object> pending{nb::borrow(exc)}, seen;
    while (!pending.empty()) {
        nb::object e = std::move(pending.back());
        pending.pop_back();
        if (e.is_none() || !PyExceptionInstance_Check(e.ptr())) continue;
        if (std::any_of(seen.begin(), seen.end(), [&](const nb::object &s) { return s.is(e); })) continue;
        seen.push_back(e);
        nb::object args = e.attr("args");
        if (PyTuple_Check(args.ptr())) {
            Py_ssize_t n = PyTuple_GET_SIZE(args.ptr());
            nb::object clean = nb::steal(check(PyTuple_New(n)));
            bool changed = false;
            for (Py_ssize_t i = 0; i < n; ++i) {
                nb::object item = nb::borrow(PyTuple_GET_ITEM(args.ptr(), i));
                if (PyUnicode_Check(item.ptr())) {
                    nb::object redacted = redact_forms(item, forms);
                    if (!redacted.equal(item)) {
                        item = redacted;
                        changed = true;
                    }
                }
                PyTuple_SET_ITEM(clean.ptr(), i, item.release().ptr());
            }
            if (changed) e.attr("args") = clean;
        }
        pending.push_back(e.attr("__cause__"));
        pending.push_back(e.attr("__context__"));
    }
}

}  // namespace corvid
