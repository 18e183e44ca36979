#include "common/signatures.hpp"

#include <charconv>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "common/gil.hpp"

namespace corvid {
namespace {

constexpr size_t kNotFound = std::string_view::npos;

// The first of `targets` in `s` that stands outside brackets and string
// literals, or kNotFound.
size_t find_top_level(std::string_view s, std::string_view targets) {
    int depth = 0;
    char quote = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quote) {
            if (c == '\\') ++i;
            else if (c == quote) quote = 0;
            continue;
        }
        if (depth == 0 && targets.find(c) != kNotFound) return i;
        if (c == '\'' || c == '"') quote = c;
        else if (c == '(' || c == '[' || c == '{') ++depth;
        else if (c == ')' || c == ']' || c == '}') --depth;
    }
    return kNotFound;
}

std::string_view trim(std::string_view s) {
    size_t first = s.find_first_not_of(" \t");
    if (first == kNotFound) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// In the order of inspect.Parameter's kinds.
enum class Kind { positional_only, positional_or_keyword, var_positional, keyword_only, var_keyword };
constexpr const char *kKindNames[] = {"POSITIONAL_ONLY", "POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL",
                                      "KEYWORD_ONLY", "VAR_KEYWORD"};

struct ParamText {
    std::string_view name;
    Kind kind;
    std::string_view default_text;  // empty when the parameter has no default
};

// The text cannot be turned into a signature; the generic one stands.
struct Unreadable {};

// The parameters of "def name(a: T = \0, /, *, b: U) -> R", the last line of
// nanobind's text (a custom signature may put decorator lines above it).
std::vector<ParamText> parse_parameters(std::string_view text) {
    if (size_t newline = text.rfind('\n'); newline != kNotFound) text = text.substr(newline + 1);
    size_t open = text.find('(');
    if (open == kNotFound) throw Unreadable{};
    std::string_view list = text.substr(open + 1);
    size_t close = find_top_level(list, ")");
    if (close == kNotFound) throw Unreadable{};
    list = list.substr(0, close);

    std::vector<ParamText> params;
    Kind named = Kind::positional_or_keyword;
    while (!trim(list).empty()) {
        size_t comma = find_top_level(list, ",");
        std::string_view part = trim(list.substr(0, comma));
        list = comma == kNotFound ? std::string_view() : list.substr(comma + 1);
        if (part == "/") {
            for (ParamText &p : params) p.kind = Kind::positional_only;
            continue;
        }
        if (part == "*") {
            named = Kind::keyword_only;
            continue;
        }
        ParamText p{{}, named, {}};
        if (part.starts_with("**")) {
            p.kind = Kind::var_keyword;
            part.remove_prefix(2);
        } else if (part.starts_with('*')) {
            p.kind = Kind::var_positional;
            named = Kind::keyword_only;
            part.remove_prefix(1);
        }
        if (size_t eq = find_top_level(part, "="); eq != kNotFound) {
            p.default_text = trim(part.substr(eq + 1));
            if (p.default_text.empty()) throw Unreadable{};
            part = part.substr(0, eq);
        }
        p.name = trim(part.substr(0, find_top_level(part, ":")));
        params.push_back(p);
    }
    return params;
}

// A default nanobind knows only as text renders as that text: a str whose
// repr is the text itself (its own small type, made for the signature that
// needs one; such defaults are rare).
nb::object text_default(nb::handle text, nb::object &type) {
    if (!type.is_valid()) {
        nb::handle str_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
        nb::dict body;
        body["__slots__"] = nb::tuple();
        body["__repr__"] = str_type.attr("__str__");
        body["__module__"] = "corvid";
        nb::handle type_type(reinterpret_cast<PyObject *>(&PyType_Type));
        type = type_type("DefaultText", nb::make_tuple(str_type), body);
    }
    return type(text);
}

// "\N" is the N-th default value nanobind lists, "\=N" the N-th text given
// with nb::arg().sig(); any other text was written in a custom nb::sig().
nb::object default_value(std::string_view text, nb::handle values, nb::object &text_type) {
    if (!text.starts_with('\\')) return text_default(nb::str(text.data(), text.size()), text_type);
    text.remove_prefix(1);
    bool described = text.starts_with('=');
    if (described) text.remove_prefix(1);
    size_t index = 0;
    const char *end = text.data() + text.size();
    auto [stop, ec] = std::from_chars(text.data(), end, index);
    if (ec != std::errc() || stop != end || !PyTuple_Check(values.ptr()) ||
        index >= static_cast<size_t>(PyTuple_GET_SIZE(values.ptr())))
        throw Unreadable{};
    nb::handle value = PyTuple_GET_ITEM(values.ptr(), static_cast<Py_ssize_t>(index));
    return described ? text_default(value, text_type) : nb::borrow(value);
}

std::string_view utf8(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) throw Unreadable{};
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<size_t>(size)};
}

nb::object read_signature(nb::handle func) {
    nb::object overloads = func.attr("__nb_signature__");
    if (!PyTuple_Check(overloads.ptr()) || PyTuple_GET_SIZE(overloads.ptr()) != 1) throw Unreadable{};
    nb::handle entry = PyTuple_GET_ITEM(overloads.ptr(), 0);
    if (!PyTuple_Check(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) != 3) throw Unreadable{};
    nb::handle text = PyTuple_GET_ITEM(entry.ptr(), 0), values = PyTuple_GET_ITEM(entry.ptr(), 2);

    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::list params;
    nb::object text_type;
    for (const ParamText &p : parse_parameters(utf8(text))) {
        nb::str name(p.name.data(), p.name.size());
        nb::object kind = parameter.attr(kKindNames[static_cast<int>(p.kind)]);
        if (p.default_text.empty()) {
            params.append(parameter(name, kind));
            continue;
        }
        nb::object value = default_value(p.default_text, values, text_type);
        params.append(parameter(name, kind, nb::arg("default") = value));
    }
    return inspect.attr("Signature")(params);
}

// None where the text makes no signature: inspect then falls back to its own.
nb::object signature_or_none(nb::handle func) {
    try {
        return read_signature(func);
    } catch (const Unreadable &) {
    } catch (nb::python_error &e) {
        // A name that is not an identifier, parameters in an order Python
        // would not accept.
        if (!e.matches(PyExc_ValueError)) throw;
    }
    return nb::none();
}

// A bound method's signature is its function's without the first parameter.
nb::object bound_signature(nb::handle bound) {
    nb::object sig = bound.attr("__func__").attr("__signature__");
    if (sig.is_none()) return sig;
    nb::list params(sig.attr("parameters").attr("values")());
    if (params.size() == 0) return sig;
    check(PyList_SetSlice(params.ptr(), 0, 1, nullptr));
    return sig.attr("replace")(nb::arg("parameters") = params);
}

// A getter slot over one of the functions above.
template <nb::object (*Read)(nb::handle)>
PyObject *signature_getter(PyObject *self, void *) {
    try {
        return Read(self).release().ptr();
    } catch (...) {
        restore_error_from_current_exception();
        return nullptr;
    }
}

// Static: a descriptor keeps pointing at its definition for as long as the
// type lives, and an extension module is never unloaded.
PyGetSetDef function_getter{"__signature__", signature_getter<signature_or_none>, nullptr,
                            "inspect.Signature read from __nb_signature__ (None: overloaded or not readable)",
                            nullptr};
PyGetSetDef bound_getter{"__signature__", signature_getter<bound_signature>, nullptr,
                         "The function's inspect.Signature without its first parameter", nullptr};

nb::object type_dict(PyTypeObject *type) {
#if PY_VERSION_HEX >= 0x030C0000
    return nb::steal(check(PyType_GetDict(type)));
#else
    return nb::borrow(type->tp_dict);
#endif
}

bool has_getter(PyTypeObject *type) {
    return check(PyDict_Contains(type_dict(type).ptr(), nb::str("__signature__").ptr())) != 0;
}

void add_getter(PyTypeObject *type, PyGetSetDef *def) {
    nb::object descr = nb::steal(check(PyDescr_NewGetSet(type, def)));
    check(PyDict_SetItemString(type_dict(type).ptr(), def->name, descr.ptr()));
    PyType_Modified(type);
}

}  // namespace

void register_signatures(nb::module_ &) {
    // Throw-away specimens, to reach nanobind's types. The three getters go
    // in together, by the first module of the domain to be imported (or not
    // at all, should nanobind come to provide __signature__ itself).
    nb::object func = nb::cpp_function([] {});
    if (has_getter(Py_TYPE(func.ptr()))) return;
    nb::object method = nb::cpp_function([](nb::handle) {}, nb::is_method());
    descrgetfunc bind = Py_TYPE(method.ptr())->tp_descr_get;
    if (!bind) throw std::runtime_error("nanobind's method type has no __get__");
    nb::object bound = nb::steal(check(bind(method.ptr(), Py_None, nullptr)));
    if (has_getter(Py_TYPE(method.ptr())) || has_getter(Py_TYPE(bound.ptr()))) return;

    add_getter(Py_TYPE(func.ptr()), &function_getter);
    add_getter(Py_TYPE(method.ptr()), &function_getter);
    add_getter(Py_TYPE(bound.ptr()), &bound_getter);
}

}  // namespace corvid
