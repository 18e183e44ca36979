// Shared declarations of the corvid.overflow module.
#pragma once
#include <nanobind/nanobind.h>

#include <utility>

#include "common/compat.hpp"
#include "common/gil.hpp"
#include "common/log.hpp"

namespace corvid::overflow {
namespace nb = nanobind;

inline constexpr const char *kLogger = "corvid.overflow";

// The _OverflowMonitor methods are spread over one file per concern. Each file
// attaches its methods to the class (registered first, by register_monitor)
// with this helper. Methods take `nb::handle self` first and reach each other
// through attribute look-up on self, so an instance attribute or a subclass
// can replace any of them.
template <typename Func, typename... Extra>
void def_monitor_method(nb::module_ &m, const char *name, Func &&f, const Extra &...extra) {
    nb::object cls = m.attr("_OverflowMonitor");
    nb::setattr(cls, name,
                nb::cpp_function(std::forward<Func>(f), nb::name(name), nb::is_method(),
                                 nb::scope(cls), extra...));
}

}  // namespace corvid::overflow
