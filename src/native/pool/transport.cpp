#include "pool/transport.hpp"

#include <string_view>

#include "common/api_key.hpp"
#include "pool/auth.hpp"

namespace corvid::pool {

using namespace nb::literals;

namespace {

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_' || c == '.' || c == '~';
}

std::string_view utf8_of(nb::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<size_t>(size)};
}

// corvid.pool.PoolError, created with the module; one reference is kept for
// the life of the process, like the module's own functions.
PyObject *g_pool_error = nullptr;

// The error text of a failed response: the JSON `detail` when there is one,
// else the raw body.
nb::object error_detail(nb::handle resp) {
    try {
        nb::object body = resp.attr("json")();
        return body.attr("get")("detail", resp.attr("text"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return resp.attr("text");
}

}  // namespace

std::string path_segment(nb::handle ident, const char *what) {
    nb::object text;
    if (PyUnicode_Check(ident.ptr())) {
        text = nb::borrow(ident);
    } else if (PyLong_Check(ident.ptr()) && !PyBool_Check(ident.ptr())) {
        text = nb::str(ident);
    } else {
        PyErr_Format(PyExc_TypeError, "%s must be a string, not %.100s", what,
                     Py_TYPE(ident.ptr())->tp_name);
        throw nb::python_error();
    }
    std::string_view raw = utf8_of(text);
    if (raw.empty()) {
        // An empty segment would address the collection itself.
        PyErr_Format(PyExc_ValueError, "%s must not be empty", what);
        throw nb::python_error();
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    const bool dot_segment = raw == "." || raw == "..";
    std::string out;
    out.reserve(raw.size() * 3);
    for (unsigned char c : raw) {
        if (unreserved(c) && !(dot_segment && c == '.')) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

nb::object raise_for_status(nb::handle resp) {
    nb::object code = resp.attr("status_code");
    long status = PyLong_AsLong(code.ptr());
    if (status == -1 && PyErr_Occurred()) throw nb::python_error();
    if (status >= 400) {
        // str() of the detail in the message: services also answer with
        // structured details (lists of validation errors), which must not
        // turn into a TypeError; the attribute keeps the detail as decoded.
        nb::object detail = error_detail(resp);
        nb::object message =
            nb::steal(check(PyUnicode_FromFormat("Pool request failed (%ld): %S", status, detail.ptr())));
        nb::object error = nb::handle(g_pool_error)(message);
        error.attr("status") = nb::int_(status);
        error.attr("detail") = detail;
        PyErr_SetObject(g_pool_error, error.ptr());
        throw nb::python_error();
    }
    // A success without a body (204 No Content) is a success, not a JSON error.
    if (status == 204) return nb::none();
    PyObject *content = nullptr;
    check(get_optional_attr(resp.ptr(), nb::str("content").ptr(), &content));
    nb::object body = nb::steal(content);
    if (body.is_valid() && !check(PyObject_IsTrue(body.ptr()))) return nb::none();
    return resp.attr("json")();
}

nb::object send(const char *method, const std::string &path, const CallOptions &opts,
                nb::handle params, nb::handle json) {
    nb::module_ httpx = nb::module_::import_("httpx");
    Credentials cred = resolve_auth(opts.api_key, opts.api_url);

    std::string url{utf8_of(cred.base_url)};
    url += path;
    nb::dict headers;
    headers["Authorization"] = nb::str("Bearer {}").format(cred.key);
    nb::dict query = team_params(opts.org_id);
    if (params.is_valid()) check(PyDict_Update(query.ptr(), params.ptr()));

    nb::object call = httpx.attr(method);
    nb::str url_text(url.data(), url.size());
    nb::object resp;
    try {
        nb::object timeout = nb::cast(opts.timeout);
        resp = json.is_valid()
                   ? call_blocking(call, {url_text},
                                   {{"headers", headers}, {"params", query}, {"json", json}, {"timeout", timeout}})
                   : call_blocking(call, {url_text}, {{"headers", headers}, {"params", query}, {"timeout", timeout}});
    } catch (nb::python_error &e) {
        scrub_key(e.value(), cred.key);
        throw;
    }
    return raise_for_status(resp);
}

void register_transport(nb::module_ &m) {
    nb::dict defaults;
    defaults["status"] = nb::none();
    defaults["detail"] = nb::none();
    g_pool_error = check(PyErr_NewExceptionWithDoc(
        "corvid.pool.PoolError",
        "A request the service answered with a status of 400 or above: `status` is that status,\n"
        "`detail` the service's JSON `detail` (or the body's text when it has none).",
        PyExc_RuntimeError, defaults.ptr()));
    m.attr("PoolError") = nb::handle(g_pool_error);
    m.def("_raise_for_status", [](nb::handle resp) { return raise_for_status(resp); },
          nb::arg("resp"),
          "Return the decoded JSON body of `resp`, or raise PoolError for a status of 400 or "
          "above with the service's `detail` text.");
}

}  // namespace corvid::pool
