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

// The raw value of `name`, or nothing when unset.
std::optional<std::string> env_text(const char *name);

// float(text) with the host's rules; nothing when it fails or is not finite.
std::optional<double> parse_finite_float(nb::handle text);

bool is_finite(double v);

// Numeric value of the variable, or nothing when unset / unusable.
std::optional<double> env_finite_float(const char *name);

// True for "1", "true", "yes", "on" (stripped, case-insensitive); nothing when unset.
std::optional<bool> env_flag(const char *name);

}  // namespace corvid
