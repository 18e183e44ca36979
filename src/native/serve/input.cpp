#include "serve/input.hpp"

namespace corvid::serve {

namespace {

bool ends_with_newline(nb::handle line) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(line.ptr());
    return n > 0 && PyUnicode_READ_CHAR(line.ptr(), n - 1) == '\n';
}

// raw == "__STOP__"; anything but a plain str is asked through its own __eq__.
bool is_stop_line(nb::handle raw) {
    if (PyUnicode_CheckExact(raw.ptr())) return PyUnicode_CompareWithASCIIString(raw.ptr(), kStopLine) == 0;
    return check(PyObject_RichCompareBool(raw.ptr(), make_str(kStopLine).ptr(), Py_EQ)) == 1;
}

nb::dict text_request(nb::handle text) {
    nb::dict msg;
    msg[names().text] = text;
    return msg;
}

}  // namespace

nb::list read_new_lines(nb::handle fh) {
    nb::list lines;
    for (;;) {
        nb::object pos = call_method(fh, names().tell);
        nb::object line = call_method(fh, names().readline);
        if (!PyUnicode_Check(line.ptr())) throw nb::type_error("the input file must be opened in text mode");
        if (PyUnicode_GET_LENGTH(line.ptr()) == 0 || !ends_with_newline(line)) {
            // Nothing new, or a line still being written: read it whole later.
            call_method(fh, names().seek, pos);
            return lines;
        }
        // rstrip("\n"): a file object of the caller's may hand over more
        // than one newline at the end of a line.
        Py_ssize_t n = PyUnicode_GET_LENGTH(line.ptr());
        while (n > 0 && PyUnicode_READ_CHAR(line.ptr(), n - 1) == '\n') --n;
        lines.append(nb::steal(check(PyUnicode_Substring(line.ptr(), 0, n))));
    }
}

nb::object parse_input(nb::handle line, nb::handle loads) {
    // The strip() of a str subclass, or of a line a replaced _read_new_lines
    // handed over, may answer any object: it is tested the way Python code
    // would test it, never read as a str.
    nb::object raw = call_method(line, names().strip);
    if (!truthy(raw)) return nb::none();
    if (is_stop_line(raw)) {
        nb::dict msg;
        msg["stop"] = true;
        return msg;
    }
    // Anything that does not parse as a request is a plain-text prompt. That
    // includes valid JSON too deeply nested for the parser (RecursionError),
    // which must not end the session.
    PyObject *args[] = {raw.ptr()};
    PyObject *value = safe_vectorcall(loads.ptr(), args, 1, nullptr);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
        PyErr_Clear();
        return text_request(raw);
    }
    nb::object parsed = nb::steal(value);
    if (PyDict_Check(parsed.ptr())) return parsed;
    PyObject *text = PyObject_Str(parsed.ptr());
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
        PyErr_Clear();
        return text_request(raw);
    }
    return text_request(nb::steal(text));
}

void register_input(nb::module_ &m) {
    m.def("_read_new_lines", &read_new_lines, nb::arg("fh"),
          "Complete new lines of the input file; a partial last line waits for its newline.");
    m.def("_parse_input", [](nb::str line) {
        return parse_input(line, nb::module_::import_("json").attr("loads"));
    }, nb::arg("line"), "Parse one input line: None, a stop request, a JSON request or a text prompt.");
    own_globals().read_new_lines = nb::object(m.attr("_read_new_lines")).release().ptr();
    own_globals().parse_input = nb::object(m.attr("_parse_input")).release().ptr();
}

}  // namespace corvid::serve
