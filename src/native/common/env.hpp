// Readers of the process environment, shared by every module.
//
// They read os.environ at the moment they are called (so changes made from
// Python are seen) and never raise for a bad value.
#pragma once
#include <nanobind/nanobind.h>

#include <optional>
#include <string>

namespace corvid {
namespace nb = nanobind;

// os.environ.get(name): the value as a str, or None when unset.
nb::object env_value(nb::handle name);

// The value of `name` as UTF-8, or nothing when unset or not valid text
// (undecodable bytes, or a non-str put into os.environ).
std::optional<std::string> env_text(const char *name);

// float(value) with the host's rules; nothing when the conversion fails with
// a type or value error, or the result is NaN or infinite.
std::optional<double> parse_finite_float(nb::handle value);

}  // namespace corvid
