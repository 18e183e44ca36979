// Shared declarations of the corvid.pool module.
#pragma once
#include <nanobind/nanobind.h>

#include "common/compat.hpp"
#include "common/exit_guard.hpp"
#include "common/gil.hpp"
#include "common/values.hpp"

namespace corvid::pool {
namespace nb = nanobind;

inline constexpr const char *kModuleName = "corvid.pool";
inline constexpr const char *kDefaultApiUrl = "http://127.0.0.1:8765";
inline constexpr double kDefaultTimeout = 30.0;
inline constexpr double kShareTimeout = 120.0;

// The keywords every request function shares, as the caller passed them.
struct CallOptions {
    nb::handle org_id;
    nb::handle api_key;
    nb::handle api_url;
    nb::handle timeout;
};

}  // namespace corvid::pool
