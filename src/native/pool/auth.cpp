#include "pool/auth.hpp"

#include "common/api_key.hpp"

namespace corvid::pool {

namespace {

constexpr const char *kNoKeyMessage =
    "No API key found. Pass api_key= or set CORVID_API_KEY. Team pool actions require a "
    "team-provisioned key (or membership in exactly one organization).";

constexpr const char *kModuleDoc =
    "Client for a team's shared data pool and saved environments on the service's REST API.\n"
    "\n"
    "Every request function resolves credentials, performs one HTTP request through httpx\n"
    "(two for ``fetch_dataset_entries``) and returns the decoded JSON body. The module keeps\n"
    "no state between calls.\n"
    "\n"
    "Credentials: the ``api_key`` argument, else the environment variable ``CORVID_API_KEY``,\n"
    "else ``GATEWAY_API_KEY``. Base URL: the ``api_url`` argument, else ``CORVID_API_URL``,\n"
    "else ``DEFAULT_API_URL`` (read from this module at call time). Trailing \"/\" characters\n"
    "of the base URL are dropped.\n"
    "\n"
    "``DEFAULT_API_URL`` is \"http://127.0.0.1:8765\": the address where a locally started\n"
    "reference service answers (``python tests/refservice/server.py --port 8765``), so the\n"
    "client works out of the box against it. Point ``CORVID_API_URL`` at a real deployment.\n"
    "\n"
    "Identifiers placed in a URL path (``sha256``, ``dataset_id``, ``name_or_id``) are\n"
    "percent-encoded as one path segment, so no value can address another resource.\n"
    "\n"
    "Keys lose surrounding white space wherever they come from.\n"
    "\n"
    "Errors: missing credentials, and a variable holding bytes that are not UTF-8, raise\n"
    "RuntimeError before any network use; an HTTP status of 400 or above raises\n"
    "PoolError(\"Pool request failed (<status>): <detail>\"), a RuntimeError carrying\n"
    "``status`` and ``detail``; transport errors and time-outs of httpx propagate, with the\n"
    "API key taken out of their text.\n";

bool is_empty(nb::handle text) { return PyUnicode_GET_LENGTH(text.ptr()) == 0; }

// Non-empty text from an optional argument; nothing for None or an empty value.
nb::object truthy_text(nb::handle value, const char *what) {
    if (value.is_none() || !check(PyObject_IsTrue(value.ptr()))) return nb::object();
    if (!PyUnicode_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s must be a string, not %.100s", what,
                     Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

// os.environ[name] as text the request can carry; nothing when unset or empty.
// Bytes the file system encoding could not decode arrive as lone surrogates,
// which no UTF-8 header or URL can hold: refused naming the variable, never
// quoting its value (it may be a key).
nb::object env_nonempty(const char *name) {
    nb::object value = nb::module_::import_("os").attr("environ").attr("get")(name);
    if (value.is_none()) return nb::object();
    if (!PyUnicode_Check(value.ptr())) {
        PyErr_Format(PyExc_RuntimeError, "Environment variable %s must hold text, not %.100s", name,
                     Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    if (!PyUnicode_AsUTF8AndSize(value.ptr(), nullptr)) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
        PyErr_Clear();
        PyErr_Format(PyExc_RuntimeError, "Environment variable %s holds bytes that are not valid UTF-8", name);
        throw nb::python_error();
    }
    if (is_empty(value)) return nb::object();
    return value;
}

// A key from `source` without surrounding white space; nothing when that
// leaves it empty.
nb::object key_text(nb::object source) {
    if (!source.is_valid()) return source;
    nb::object key = stripped_key(source);
    if (is_empty(key)) return nb::object();
    return key;
}

// Read at call time so that assigning corvid.pool.DEFAULT_API_URL takes effect.
nb::object default_api_url() {
    PyObject *mod = PyImport_GetModule(nb::str(kModuleName).ptr());
    if (!mod) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::str(kDefaultApiUrl);
    }
    nb::object module = nb::steal(mod);
    PyObject *value = nullptr;
    check(get_optional_attr(module.ptr(), nb::str("DEFAULT_API_URL").ptr(), &value));
    if (!value) return nb::str(kDefaultApiUrl);
    return nb::steal(value);
}

}  // namespace

Credentials resolve_auth(nb::handle api_key, nb::handle api_url) {
    nb::object key = key_text(truthy_text(api_key, "api_key"));
    if (!key.is_valid()) key = key_text(env_nonempty("CORVID_API_KEY"));
    if (!key.is_valid()) key = key_text(env_nonempty("GATEWAY_API_KEY"));
    if (!key.is_valid()) {
        PyErr_SetString(PyExc_RuntimeError, kNoKeyMessage);
        throw nb::python_error();
    }

    nb::object base = truthy_text(api_url, "api_url");
    if (!base.is_valid()) base = env_nonempty("CORVID_API_URL");
    if (!base.is_valid()) base = default_api_url();
    nb::str stripped = nb::str(base.attr("rstrip")("/"));
    return {nb::str(key), stripped};
}

nb::dict team_params(nb::handle org_id) {
    nb::dict params;
    if (org_id.is_valid() && !org_id.is_none() && check(PyObject_IsTrue(org_id.ptr())))
        params["org_id"] = org_id;
    return params;
}

void register_auth(nb::module_ &m) {
    m.doc() = kModuleDoc;
    m.attr("DEFAULT_API_URL") = kDefaultApiUrl;
    m.attr("CORVID_API_KEY") = "CORVID_API_KEY";
    m.attr("GATEWAY_API_KEY") = "GATEWAY_API_KEY";
    m.attr("CORVID_API_URL") = "CORVID_API_URL";

    m.def(
        "_resolve_auth",
        [](nb::handle api_key, nb::handle api_url) {
            Credentials c = resolve_auth(api_key, api_url);
            return nb::make_tuple(c.key, c.base_url);
        },
        nb::arg("api_key").none(), nb::arg("api_url").none(),
        "Return (key, base_url) from the arguments, the environment or the defaults.");
    m.def("_params", [](nb::handle org_id) { return team_params(org_id); },
          nb::arg("org_id").none() = nb::none(),
          "Query parameters selecting the team: {'org_id': org_id} when given, else {}.");
}

}  // namespace corvid::pool
