// Access to the standard logging module from C++.
//
// Messages use %-style formatting with the arguments passed separately, so a
// disabled level costs one isEnabledFor() check and no string building.
#pragma once
#include <nanobind/nanobind.h>

#include "common/exit_guard.hpp"

namespace corvid {
namespace nb = nanobind;

// logging.getLogger(name); the logging module keeps the instance cache.
nb::object get_logger(const char *name);

enum class LogLevel : int { Debug = 10, Info = 20, Warning = 30, Error = 40 };

template <typename... Args>
void log(const char *logger_name, LogLevel level, const char *fmt, Args &&...args) {
    nb::object logger = get_logger(logger_name);
    if (!nb::cast<bool>(logger.attr("isEnabledFor")(static_cast<int>(level)))) return;
    logger.attr("log")(static_cast<int>(level), fmt, std::forward<Args>(args)...);
}

// Logging must never break the caller: errors inside the handlers are dropped.
template <typename... Args>
void log_quiet(const char *logger_name, LogLevel level, const char *fmt, Args &&...args) noexcept {
    try {
        log(logger_name, level, fmt, std::forward<Args>(args)...);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable(logger_name);
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        park_thread();  // interpreter exit ends this thread: see exit_guard.hpp
#endif
    } catch (...) {
    }
}

}  // namespace corvid
